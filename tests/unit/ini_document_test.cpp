// The document model: first-match, case-insensitive lookups over lists that only grow.
#include <gtest/gtest.h>

#include <random>

#include "common/ascii.h"
#include "ini/ini_file.h"

namespace {

TEST(IniDocument, EmptyDocumentFindsNothing) {
    CIniFile ini("unused.ini");
    EXPECT_EQ(CIniFile::npos, ini.FindSection(""));
    EXPECT_EQ(CIniFile::npos, ini.FindSection("cltskin"));
    EXPECT_EQ(CIniFile::npos, ini.FindEntry(0, "filelist"));
    EXPECT_EQ("fallback", ini.LookupValue("cltskin", "filelist", "fallback"));
}

TEST(IniDocument, NamesMatchIgnoringAsciiCaseOnly) {
    CIniFile ini("unused.ini");
    ASSERT_TRUE(ini.PutValue("cltskin", "filelist", "a.bmp", true));
    ASSERT_EQ(1u, ini.AddSection("CltLogo"));
    EXPECT_EQ(1u, ini.FindSection("CLTLOGO"));
    EXPECT_EQ("a.bmp", ini.LookupValue("CLTSKIN", "FILELIST", ""));

    // Bytes above 0x7F are compared as they are: no letters there.
    ini.AddSection("\xC4");
    EXPECT_EQ(CIniFile::npos, ini.FindSection("\xE4"));
    const std::uint32_t folded = ini.AddSection("AbC\xC4Z");
    EXPECT_EQ(folded, ini.FindSection("aBc\xC4z"));

    // Spaces count.
    ASSERT_TRUE(ini.PutValue("cltlogo", "FileList ", "x", true));
    EXPECT_EQ("none", ini.LookupValue("cltlogo", "filelist", "none"));
}

TEST(IniDocument, DuplicatesAreKeptAndTheFirstWins) {
    CIniFile ini("unused.ini");
    EXPECT_EQ(0u, ini.AddSection("a"));
    EXPECT_EQ(1u, ini.AddSection("a"));
    EXPECT_EQ(0u, ini.FindSection("A"));
    ASSERT_TRUE(ini.PutValue("a", "k", "v", true));
    EXPECT_EQ(1u, ini.Sections()[0].entryNames.size());
    EXPECT_TRUE(ini.Sections()[1].entryNames.empty());

    ASSERT_TRUE(ini.PutValue("s", "k", "1", true));
    ASSERT_TRUE(ini.PutValue("s", "K", "2", true));
    const IniSection& s = ini.Sections()[ini.FindSection("s")];
    ASSERT_EQ(1u, s.entryNames.size());
    EXPECT_EQ("k", s.entryNames[0]);
    EXPECT_EQ("2", s.entryValues[0]);
}

TEST(IniDocument, PutValueWithoutCreateChangesNothing) {
    CIniFile ini("unused.ini");
    EXPECT_FALSE(ini.PutValue("s", "k", "v", false));
    EXPECT_TRUE(ini.SectionNames().empty());
    ASSERT_TRUE(ini.PutValue("S", "k", "v", true));
    EXPECT_EQ("S", ini.SectionNames()[0]);  // created in the case passed in
    EXPECT_FALSE(ini.PutValue("s", "other", "v", false));
    EXPECT_EQ(1u, ini.Sections()[0].entryNames.size());
    EXPECT_TRUE(ini.PutValue("s", "K", "w", false));
    EXPECT_EQ("w", ini.LookupValue("s", "k", ""));
}

TEST(IniDocument, EmptyNamesAndValues) {
    CIniFile ini("unused.ini");
    ASSERT_TRUE(ini.PutValue("", "", "", true));
    EXPECT_EQ(0u, ini.FindSection(""));
    EXPECT_EQ(0u, ini.FindEntry(0, ""));
    // An existing key with an empty value is not the fallback.
    EXPECT_EQ("", ini.LookupValue("", "", "fallback"));
}

TEST(IniDocument, Comments) {
    CIniFile ini("unused.ini");
    ini.AddHeaderComment(" top");
    EXPECT_FALSE(ini.AddSectionCommentAt(0, "x"));
    EXPECT_FALSE(ini.AddSectionComment("a", "lost"));
    ini.AddSection("a");
    EXPECT_FALSE(ini.AddSectionCommentAt(1, "x"));  // index equal to the count
    EXPECT_TRUE(ini.AddSectionComment("A", "kept"));
    EXPECT_EQ(std::vector<std::string>{" top"}, ini.HeaderComments());
    EXPECT_EQ(std::vector<std::string>{"kept"}, ini.Sections()[0].comments);
}

// The index must answer exactly what a front-to-back scan answers.
std::uint32_t ScanFor(const std::vector<std::string>& names, const std::string& wanted) {
    for (std::uint32_t i = 0; i < names.size(); ++i) {
        if (ascii::EqualIgnoringCase(names[i], wanted)) return i;
    }
    return CIniFile::npos;
}

TEST(IniDocument, LookupsAgreeWithALinearScan) {
    CIniFile ini("unused.ini");
    std::mt19937 random(7);
    const std::string alphabet = "aAbB_\xC4\xE4 ";
    auto randomName = [&] {
        std::string name;
        const int length = static_cast<int>(random() % 4);
        for (int i = 0; i < length; ++i) name += alphabet[random() % alphabet.size()];
        return name;
    };
    for (int i = 0; i < 3000; ++i) {
        const std::string section = randomName();
        if (random() % 5 == 0) {
            ini.AddSection(section);
        } else {
            ini.PutValue(section, randomName(), std::to_string(i), true);
        }
    }
    for (int i = 0; i < 2000; ++i) {
        const std::string section = randomName();
        const std::uint32_t s = ini.FindSection(section);
        ASSERT_EQ(ScanFor(ini.SectionNames(), section), s) << section;
        if (s == CIniFile::npos) continue;
        const std::string key = randomName();
        ASSERT_EQ(ScanFor(ini.Sections()[s].entryNames, key), ini.FindEntry(s, key)) << key;
    }
    EXPECT_EQ(CIniFile::npos, ini.FindEntry(static_cast<std::uint32_t>(ini.Sections().size()), ""));
}

}  // namespace
