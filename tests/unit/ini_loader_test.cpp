// Loading INI text: the line grammar, the first-byte rule, and what a failure keeps.
#include <gtest/gtest.h>

#include "ini/ini_file.h"
#include "scratch.h"

namespace {

using testing_support::CaptureStdout;
using testing_support::ScratchDir;

struct Loaded {
    bool result;
    std::string output;
};

Loaded LoadInto(CIniFile& ini) {
    Loaded loaded{false, ""};
    loaded.output = CaptureStdout([&] { loaded.result = ini.Load(); });
    return loaded;
}

const char kWorkedExample[] =
    "; update manifest\r\n"
    "[cltskin]\r\n"
    "filelist=a.bmp,b.bmp\r\n"
    ";two skins\r\n"
    "[CltLogo]\r\n"
    "FileList = logo.png\r\n"
    "[cltmain]\r\n"
    "mainfile=client.exe\r\n"
    "[cltskin]\r\n"
    "filelist=c.bmp\r\n"
    "[unfinished\r\n";

TEST(IniLoader, WorkedExample) {
    ScratchDir dir;
    dir.Write("m.ini", kWorkedExample);
    CIniFile ini(dir.Path("m.ini"));
    const Loaded loaded = LoadInto(ini);
    EXPECT_TRUE(loaded.result);
    EXPECT_EQ("", loaded.output);

    EXPECT_EQ(std::vector<std::string>{" update manifest"}, ini.HeaderComments());
    EXPECT_EQ((std::vector<std::string>{"cltskin", "CltLogo", "cltmain", "cltskin"}),
              ini.SectionNames());
    const auto& sections = ini.Sections();
    EXPECT_EQ(std::vector<std::string>{"filelist"}, sections[0].entryNames);
    EXPECT_EQ(std::vector<std::string>{"c.bmp"}, sections[0].entryValues);
    EXPECT_EQ(std::vector<std::string>{"two skins"}, sections[0].comments);
    EXPECT_EQ(std::vector<std::string>{"FileList "}, sections[1].entryNames);
    EXPECT_EQ(std::vector<std::string>{" logo.png"}, sections[1].entryValues);
    EXPECT_EQ(std::vector<std::string>{"client.exe"}, sections[2].entryValues);
    EXPECT_TRUE(sections[3].entryNames.empty());

    EXPECT_EQ("c.bmp", ini.LookupValue("cltskin", "filelist", ""));
    EXPECT_EQ("fb", ini.LookupValue("cltlogo", "filelist", "fb"));
    EXPECT_EQ("client.exe", ini.LookupValue("CLTMAIN", "MAINFILE", ""));
}

TEST(IniLoader, FirstByteRuleStopsTheLoadAndKeepsEarlierLines) {
    ScratchDir dir;
    std::string text = kWorkedExample;
    text.replace(text.find(";two"), 1, "\t");
    dir.Write("tab.ini", text);
    CIniFile tab(dir.Path("tab.ini"));
    const Loaded loaded = LoadInto(tab);
    EXPECT_FALSE(loaded.result);
    EXPECT_EQ("Failing on char 9\n", loaded.output);
    EXPECT_EQ(std::vector<std::string>{"cltskin"}, tab.SectionNames());
    EXPECT_EQ("a.bmp,b.bmp", tab.LookupValue("cltskin", "filelist", ""));
    EXPECT_EQ(1u, tab.HeaderComments().size());

    dir.Write("bom.ini", "\xEF\xBB\xBF[cltskin]\nfilelist=a\n");
    CIniFile bom(dir.Path("bom.ini"));
    const Loaded bomLoaded = LoadInto(bom);
    EXPECT_FALSE(bomLoaded.result);
    EXPECT_EQ("Failing on char -17\n", bomLoaded.output);
    EXPECT_TRUE(bom.SectionNames().empty());

    // A double-byte character may not open a line, but may follow the first byte.
    dir.Write("gbk.ini", "[s]\nk=\xD6\xD0\n\xD6\xD0=v\n");
    CIniFile gbk(dir.Path("gbk.ini"));
    const Loaded gbkLoaded = LoadInto(gbk);
    EXPECT_FALSE(gbkLoaded.result);
    EXPECT_EQ("Failing on char -42\n", gbkLoaded.output);
    EXPECT_EQ("\xD6\xD0", gbk.LookupValue("s", "k", ""));

    dir.Write("del.ini", "[s]\n\x7F=v\n");
    CIniFile del(dir.Path("del.ini"));
    EXPECT_EQ("Failing on char 127\n", LoadInto(del).output);
}

TEST(IniLoader, DocumentsWithoutSectionsLoadFalse) {
    ScratchDir dir;
    dir.Write("empty.ini", "");
    CIniFile empty(dir.Path("empty.ini"));
    EXPECT_FALSE(LoadInto(empty).result);

    dir.Write("comments.ini", "# one\n\n   \r\nplain text\n;two\n");
    CIniFile comments(dir.Path("comments.ini"));
    const Loaded loaded = LoadInto(comments);
    EXPECT_FALSE(loaded.result);
    EXPECT_EQ("", loaded.output);
    EXPECT_EQ((std::vector<std::string>{" one", "two"}), comments.HeaderComments());

    CIniFile missing(dir.Path("missing.ini"));
    EXPECT_FALSE(LoadInto(missing).result);
    CIniFile noPath("");
    EXPECT_FALSE(LoadInto(noPath).result);
}

TEST(IniLoader, KeyBeforeAnyHeaderMakesTheEmptySection) {
    ScratchDir dir;
    dir.Write("m.ini", "k=v\n;after\n=\n");
    CIniFile ini(dir.Path("m.ini"));
    EXPECT_TRUE(LoadInto(ini).result);
    ASSERT_EQ(std::vector<std::string>{""}, ini.SectionNames());
    EXPECT_EQ("v", ini.LookupValue("", "k", ""));
    EXPECT_EQ(std::vector<std::string>{"after"}, ini.Sections()[0].comments);
    EXPECT_NE(CIniFile::npos, ini.FindEntry(0, ""));
    EXPECT_EQ("", ini.LookupValue("", "", "fb"));
}

TEST(IniLoader, HeaderShapes) {
    ScratchDir dir;
    dir.Write("m.ini",
              "[base]\n"
              "[abc\n"    // no ']': ignored
              "k1=1\n"    // still in base
              "]x[\n"     // last ']' before '[': ignored
              "k2=2\n"
              "[a]b]\n"
              "[]\n"
              "[ a ]\n"
              "  [lead]\n"
              "x[t]y\n"); // bytes around the brackets are dropped
    CIniFile ini(dir.Path("m.ini"));
    EXPECT_TRUE(LoadInto(ini).result);
    EXPECT_EQ((std::vector<std::string>{"base", "a]b", "", " a ", "lead", "t"}), ini.SectionNames());
    EXPECT_EQ((std::vector<std::string>{"k1", "k2"}), ini.Sections()[0].entryNames);
}

TEST(IniLoader, NothingIsTrimmedAndOnlyTheFirstMarkerCounts) {
    ScratchDir dir;
    dir.Write("m.ini", "[s]\n  k = v\nk=v;x\n;k=v\na=b=c\n# hash\n");
    CIniFile ini(dir.Path("m.ini"));
    EXPECT_TRUE(LoadInto(ini).result);
    const IniSection& s = ini.Sections()[0];
    EXPECT_EQ((std::vector<std::string>{"  k ", "k", "a"}), s.entryNames);
    EXPECT_EQ((std::vector<std::string>{" v", "v;x", "b=c"}), s.entryValues);
    EXPECT_EQ((std::vector<std::string>{"k=v", " hash"}), s.comments);
    EXPECT_EQ("fb", ini.LookupValue("s", "k ", "fb"));
}

TEST(IniLoader, LineEnds) {
    ScratchDir dir;
    dir.Write("lf.ini", "[s]\nk=v\n");
    dir.Write("crlf.ini", "[s]\r\nk=v\r\n");
    dir.Write("nofinal.ini", "[s]\r\nk=v");
    dir.Write("cr.ini", "[s]\rk=v\r");  // one single line
    for (const char* name : {"lf.ini", "crlf.ini", "nofinal.ini"}) {
        CIniFile ini(dir.Path(name));
        EXPECT_TRUE(LoadInto(ini).result) << name;
        EXPECT_EQ("v", ini.LookupValue("s", "k", "")) << name;
    }
    CIniFile cr(dir.Path("cr.ini"));
    EXPECT_TRUE(LoadInto(cr).result);
    EXPECT_EQ(std::vector<std::string>{"s"}, cr.SectionNames());
    EXPECT_EQ("", cr.LookupValue("s", "k", ""));

    // A CR alone is a line of its own that is skipped.
    dir.Write("blank.ini", "[s]\r\n\r\n   \nk=v\n");
    CIniFile blank(dir.Path("blank.ini"));
    EXPECT_TRUE(LoadInto(blank).result);
    EXPECT_EQ("v", blank.LookupValue("s", "k", ""));
}

TEST(IniLoader, BytesAreBytes) {
    ScratchDir dir;
    static const char kText[] = "[s]\nk=a\0b\n\x1A=z\n";
    dir.Write("m.ini", std::string(kText, sizeof kText - 1));
#if defined(_WIN32)
    // The runtime's text mode ends the input at 0x1A.
    const bool eofAtSub = true;
#else
    const bool eofAtSub = false;
#endif
    CIniFile ini(dir.Path("m.ini"));
    const Loaded loaded = LoadInto(ini);
    EXPECT_EQ(std::string("a\0b", 3), ini.LookupValue("s", "k", ""));
    if (eofAtSub) {
        EXPECT_TRUE(loaded.result);
        EXPECT_EQ("", loaded.output);
    } else {
        EXPECT_FALSE(loaded.result);
        EXPECT_EQ("Failing on char 26\n", loaded.output);
    }
}

TEST(IniLoader, TextModeTurnsCrLfIntoLf) {
    ScratchDir dir;
    // Text mode makes "\r\r\n" a line ending in one CR, which is then removed;
    // without it, one CR of the two stays in the value.
    dir.Write("m.ini", "[s]\r\nk=v\r\r\n");
    CIniFile ini(dir.Path("m.ini"));
    EXPECT_TRUE(LoadInto(ini).result);
#if defined(_WIN32)
    EXPECT_EQ("v", ini.LookupValue("s", "k", ""));
#else
    EXPECT_EQ("v\r", ini.LookupValue("s", "k", ""));
#endif
}

TEST(IniLoader, LineEndsAcrossReadBlocks) {
    ScratchDir dir;
    // CR LF pairs and 0x1A-free text straddling every position near block edges.
    std::string text = "[s]\r\n";
    for (int i = 0; i < 3000; ++i) {
        text += "k" + std::to_string(i) + "=" + std::string(static_cast<std::size_t>(i % 37), 'v') + "\r\n";
    }
    dir.Write("m.ini", text);
    CIniFile ini(dir.Path("m.ini"));
    EXPECT_TRUE(LoadInto(ini).result);
    const IniSection& s = ini.Sections()[0];
    ASSERT_EQ(3000u, s.entryValues.size());
    for (int i = 0; i < 3000; ++i) {
        ASSERT_EQ(std::string(static_cast<std::size_t>(i % 37), 'v'), s.entryValues[static_cast<std::size_t>(i)])
            << i;
    }
}

TEST(IniLoader, RepeatedHeadersAndKeys) {
    ScratchDir dir;
    dir.Write("m.ini", "[a]\nk=1\n[b]\n[A]\nK=2\nnew=3\n;c\n");
    CIniFile ini(dir.Path("m.ini"));
    EXPECT_TRUE(LoadInto(ini).result);
    EXPECT_EQ((std::vector<std::string>{"a", "b", "A"}), ini.SectionNames());
    const IniSection& a = ini.Sections()[0];
    EXPECT_EQ((std::vector<std::string>{"k", "new"}), a.entryNames);
    EXPECT_EQ((std::vector<std::string>{"2", "3"}), a.entryValues);
    EXPECT_EQ(std::vector<std::string>{"c"}, a.comments);
    EXPECT_TRUE(ini.Sections()[2].entryNames.empty());
}

TEST(IniLoader, SecondLoadAddsToTheDocument) {
    ScratchDir dir;
    dir.Write("m.ini", ";lost the second time\n[s]\nk=1\n");
    CIniFile ini(dir.Path("m.ini"));
    EXPECT_TRUE(LoadInto(ini).result);
    dir.Write("m.ini", ";lost the second time\n[s]\nk=2\n");
    EXPECT_TRUE(LoadInto(ini).result);
    EXPECT_EQ((std::vector<std::string>{"s", "s"}), ini.SectionNames());
    EXPECT_EQ("2", ini.LookupValue("s", "k", ""));
    // With sections present, a leading comment goes to the empty-named section: none here.
    EXPECT_EQ(1u, ini.HeaderComments().size());
    EXPECT_TRUE(ini.Sections()[0].comments.empty());
}

TEST(IniLoader, LargeSectionsAndLongLines) {
    ScratchDir dir;
    std::string text = "[big]\n";
    for (int i = 0; i < 40000; ++i) text += "Key" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    for (int i = 0; i < 40000; i += 1000) text += "KEY" + std::to_string(i) + "=again\n";
    const std::string longValue(300000, 'x');  // spans several read blocks
    text += "long=" + longValue + "\n";
    dir.Write("m.ini", text);
    CIniFile ini(dir.Path("m.ini"));
    EXPECT_TRUE(LoadInto(ini).result);
    const IniSection& big = ini.Sections()[0];
    EXPECT_EQ(40001u, big.entryNames.size());
    EXPECT_EQ("again", ini.LookupValue("big", "key1000", ""));
    EXPECT_EQ("1001", ini.LookupValue("big", "key1001", ""));
    EXPECT_EQ("Key39000", big.entryNames[39000]);
    EXPECT_EQ(longValue, ini.LookupValue("big", "LONG", ""));
}

}  // namespace
