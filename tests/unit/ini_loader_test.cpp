// Loading INI text: the line grammar, the first-byte rule, what a failure
// keeps, and the two inputs: strings read as either platform reads a file, and files.
#include <gtest/gtest.h>

#include "ini/ini_file.h"
#include "ini/ini_reader.h"
#include "scratch.h"

namespace {

using testing_support::CaptureStdout;
using testing_support::ScratchDir;

struct Loaded {
    bool result;
    std::string output;
};

// What Load returns and prints for a file whose bytes arrive as text in mode.
Loaded LoadText(CIniFile& ini, const std::string& text, StringMode mode = kAsBytes) {
    StringReader reader(text, mode);
    const LoadOutcome outcome = ini.LoadQuietly(&reader);
    return Loaded{outcome.loaded, CaptureStdout([&] { ShowLoadFailure(outcome); })};
}

Loaded LoadFile(CIniFile& ini) {
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
    CIniFile ini("");
    const Loaded loaded = LoadText(ini, kWorkedExample);
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
    std::string text = kWorkedExample;
    text.replace(text.find(";two"), 1, "\t");
    CIniFile tab("");
    const Loaded loaded = LoadText(tab, text);
    EXPECT_FALSE(loaded.result);
    EXPECT_EQ("Failing on char 9\n", loaded.output);
    EXPECT_EQ(std::vector<std::string>{"cltskin"}, tab.SectionNames());
    EXPECT_EQ("a.bmp,b.bmp", tab.LookupValue("cltskin", "filelist", ""));
    EXPECT_EQ(1u, tab.HeaderComments().size());

    CIniFile bom("");
    const Loaded bomLoaded = LoadText(bom, "\xEF\xBB\xBF[cltskin]\nfilelist=a\n");
    EXPECT_FALSE(bomLoaded.result);
    EXPECT_EQ("Failing on char -17\n", bomLoaded.output);
    EXPECT_TRUE(bom.SectionNames().empty());

    // A double-byte character may not open a line, but may follow the first byte.
    CIniFile gbk("");
    const Loaded gbkLoaded = LoadText(gbk, "[s]\nk=\xD6\xD0\n\xD6\xD0=v\n");
    EXPECT_FALSE(gbkLoaded.result);
    EXPECT_EQ("Failing on char -42\n", gbkLoaded.output);
    EXPECT_EQ("\xD6\xD0", gbk.LookupValue("s", "k", ""));

    CIniFile del("");
    EXPECT_EQ("Failing on char 127\n", LoadText(del, "[s]\n\x7F=v\n").output);
}

TEST(IniLoader, DocumentsWithoutSectionsLoadFalse) {
    CIniFile empty("");
    EXPECT_FALSE(LoadText(empty, "").result);

    CIniFile comments("");
    const Loaded loaded = LoadText(comments, "# one\n\n   \r\nplain text\n;two\n");
    EXPECT_FALSE(loaded.result);
    EXPECT_EQ("", loaded.output);
    EXPECT_EQ((std::vector<std::string>{" one", "two"}), comments.HeaderComments());
}

TEST(IniLoader, KeyBeforeAnyHeaderMakesTheEmptySection) {
    CIniFile ini("");
    EXPECT_TRUE(LoadText(ini, "k=v\n;after\n=\n").result);
    ASSERT_EQ(std::vector<std::string>{""}, ini.SectionNames());
    EXPECT_EQ("v", ini.LookupValue("", "k", ""));
    EXPECT_EQ(std::vector<std::string>{"after"}, ini.Sections()[0].comments);
    EXPECT_NE(CIniFile::npos, ini.FindEntry(0, ""));
    EXPECT_EQ("", ini.LookupValue("", "", "fb"));
}

TEST(IniLoader, HeaderShapes) {
    CIniFile ini("");
    const Loaded loaded = LoadText(ini,
                                   "[base]\n"
                                   "[abc\n"    // no ']': ignored
                                   "k1=1\n"    // still in base
                                   "]x[\n"     // last ']' before '[': ignored
                                   "k2=2\n"
                                   "[a]b]\n"
                                   "[]\n"
                                   "[ a ]\n"
                                   "  [lead]\n"
                                   "x[t]y\n");  // bytes around the brackets are dropped
    EXPECT_TRUE(loaded.result);
    EXPECT_EQ((std::vector<std::string>{"base", "a]b", "", " a ", "lead", "t"}), ini.SectionNames());
    EXPECT_EQ((std::vector<std::string>{"k1", "k2"}), ini.Sections()[0].entryNames);
}

TEST(IniLoader, NothingIsTrimmedAndOnlyTheFirstMarkerCounts) {
    CIniFile ini("");
    EXPECT_TRUE(LoadText(ini, "[s]\n  k = v\nk=v;x\n;k=v\na=b=c\n# hash\n").result);
    const IniSection& s = ini.Sections()[0];
    EXPECT_EQ((std::vector<std::string>{"  k ", "k", "a"}), s.entryNames);
    EXPECT_EQ((std::vector<std::string>{" v", "v;x", "b=c"}), s.entryValues);
    EXPECT_EQ((std::vector<std::string>{"k=v", " hash"}), s.comments);
    EXPECT_EQ("fb", ini.LookupValue("s", "k ", "fb"));
}

TEST(IniLoader, LineEnds) {
    for (const StringMode mode : {kAsBytes, kWindowsText}) {
        for (const char* text : {"[s]\nk=v\n", "[s]\r\nk=v\r\n", "[s]\r\nk=v"}) {
            CIniFile ini("");
            EXPECT_TRUE(LoadText(ini, text, mode).result) << text;
            EXPECT_EQ("v", ini.LookupValue("s", "k", "")) << text;
        }
        CIniFile cr("");
        EXPECT_TRUE(LoadText(cr, "[s]\rk=v\r", mode).result);  // one single line
        EXPECT_EQ(std::vector<std::string>{"s"}, cr.SectionNames());
        EXPECT_EQ("", cr.LookupValue("s", "k", ""));
    }

    // A CR alone is a line of its own that is skipped.
    CIniFile blank("");
    EXPECT_TRUE(LoadText(blank, "[s]\r\n\r\n   \nk=v\n").result);
    EXPECT_EQ("v", blank.LookupValue("s", "k", ""));
}

TEST(IniLoader, BytesAreBytesAndWindowsTextModeEndsAtSub) {
    static const char kText[] = "[s]\nk=a\0b\n\x1A=z\n";
    const std::string text(kText, sizeof kText - 1);
    CIniFile bytes("");
    const Loaded asBytes = LoadText(bytes, text);
    EXPECT_EQ(std::string("a\0b", 3), bytes.LookupValue("s", "k", ""));
    EXPECT_FALSE(asBytes.result);
    EXPECT_EQ("Failing on char 26\n", asBytes.output);

    // The Windows runtime's text mode ends the input at 0x1A.
    CIniFile windows("");
    const Loaded asText = LoadText(windows, text, kWindowsText);
    EXPECT_EQ(std::string("a\0b", 3), windows.LookupValue("s", "k", ""));
    EXPECT_TRUE(asText.result);
    EXPECT_EQ("", asText.output);
}

TEST(IniLoader, TextModeTurnsCrLfIntoLf) {
    // Text mode makes "\r\r\n" a line ending in one CR, which is then removed;
    // without it, one CR of the two stays in the value.
    CIniFile windows("");
    EXPECT_TRUE(LoadText(windows, "[s]\r\nk=v\r\r\n", kWindowsText).result);
    EXPECT_EQ("v", windows.LookupValue("s", "k", ""));
    CIniFile bytes("");
    EXPECT_TRUE(LoadText(bytes, "[s]\r\nk=v\r\r\n").result);
    EXPECT_EQ("v\r", bytes.LookupValue("s", "k", ""));
}

TEST(IniLoader, LineEndsAcrossReadBlocks) {
    // CR LF pairs and 0x1A-free text straddling every position near block edges.
    std::string text = "[s]\r\n";
    for (int i = 0; i < 3000; ++i) {
        text += "k" + std::to_string(i) + "=" + std::string(static_cast<std::size_t>(i % 37), 'v') + "\r\n";
    }
    for (const StringMode mode : {kAsBytes, kWindowsText}) {
        CIniFile ini("");
        EXPECT_TRUE(LoadText(ini, text, mode).result);
        const IniSection& s = ini.Sections()[0];
        ASSERT_EQ(3000u, s.entryValues.size());
        for (int i = 0; i < 3000; ++i) {
            ASSERT_EQ(std::string(static_cast<std::size_t>(i % 37), 'v'), s.entryValues[static_cast<std::size_t>(i)])
                << i;
        }
    }
}

TEST(IniLoader, RepeatedHeadersAndKeys) {
    CIniFile ini("");
    EXPECT_TRUE(LoadText(ini, "[a]\nk=1\n[b]\n[A]\nK=2\nnew=3\n;c\n").result);
    EXPECT_EQ((std::vector<std::string>{"a", "b", "A"}), ini.SectionNames());
    const IniSection& a = ini.Sections()[0];
    EXPECT_EQ((std::vector<std::string>{"k", "new"}), a.entryNames);
    EXPECT_EQ((std::vector<std::string>{"2", "3"}), a.entryValues);
    EXPECT_EQ(std::vector<std::string>{"c"}, a.comments);
    EXPECT_TRUE(ini.Sections()[2].entryNames.empty());
}

TEST(IniLoader, SecondLoadAddsToTheDocument) {
    CIniFile ini("");
    EXPECT_TRUE(LoadText(ini, ";lost the second time\n[s]\nk=1\n").result);
    EXPECT_TRUE(LoadText(ini, ";lost the second time\n[s]\nk=2\n").result);
    EXPECT_EQ((std::vector<std::string>{"s", "s"}), ini.SectionNames());
    EXPECT_EQ("2", ini.LookupValue("s", "k", ""));
    // With sections present, a leading comment goes to the empty-named section: none here.
    EXPECT_EQ(1u, ini.HeaderComments().size());
    EXPECT_TRUE(ini.Sections()[0].comments.empty());
}

TEST(IniLoader, LargeSectionsAndLongLines) {
    std::string text = "[big]\n";
    for (int i = 0; i < 40000; ++i) text += "Key" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    for (int i = 0; i < 40000; i += 1000) text += "KEY" + std::to_string(i) + "=again\n";
    const std::string longValue(300000, 'x');  // spans several read blocks
    text += "long=" + longValue + "\n";
    CIniFile ini("");
    EXPECT_TRUE(LoadText(ini, text).result);
    const IniSection& big = ini.Sections()[0];
    EXPECT_EQ(40001u, big.entryNames.size());
    EXPECT_EQ("again", ini.LookupValue("big", "key1000", ""));
    EXPECT_EQ("1001", ini.LookupValue("big", "key1001", ""));
    EXPECT_EQ("Key39000", big.entryNames[39000]);
    EXPECT_EQ(longValue, ini.LookupValue("big", "LONG", ""));
}

// The whole document, one line per list.
std::string Dump(const CIniFile& ini) {
    auto join = [](const std::vector<std::string>& list) {
        std::string joined;
        for (const std::string& item : list) joined += "|" + item;
        return joined + "\n";
    };
    std::string dump = join(ini.HeaderComments()) + join(ini.SectionNames());
    for (const IniSection& s : ini.Sections()) dump += join(s.entryNames) + join(s.entryValues) + join(s.comments);
    return dump;
}

// A real file, opened in the platform's text mode and read unbuffered in the
// loader's own blocks, makes what a string read as this platform reads makes.
TEST(IniLoader, ReadsAFileInThePlatformsTextMode) {
    ScratchDir dir;
    CIniFile missing(dir.Path("missing.ini"));
    EXPECT_EQ(LoadStop::kNotOpened, missing.LoadQuietly().stop);
    EXPECT_FALSE(LoadFile(missing).result);
    CIniFile noPath("");
    EXPECT_FALSE(LoadFile(noPath).result);

#if defined(_WIN32)
    const StringMode platform = kWindowsText;
#else
    const StringMode platform = kAsBytes;
#endif
    std::string blocks = "[s]\r\n";  // CR LF pairs on both sides of every block edge
    for (int i = 0; i < 3000; ++i) {
        blocks += "k" + std::to_string(i) + "=" + std::string(static_cast<std::size_t>(i % 37), 'v') + "\r\n";
    }
    static const char kSub[] = "[s]\nk=a\0b\n\x1A=z\n";
    const std::string texts[] = {"[s]\r\nk=v\r\r\n", std::string(kSub, sizeof kSub - 1),
                                 "[s]\r\n;c\r\r\r\nk=v\r\x1A\n\tx\n", "[s]\r\nk=v", blocks + "\tend\r\n"};
    for (const std::string& text : texts) {
        SCOPED_TRACE(testing::PrintToString(text.substr(0, 40)));
        dir.Write("m.ini", text);
        CIniFile file(dir.Path("m.ini"));
        const Loaded fromFile = LoadFile(file);
        CIniFile string("");
        const Loaded fromString = LoadText(string, text, platform);
        EXPECT_EQ(fromString.result, fromFile.result);
        EXPECT_EQ(fromString.output, fromFile.output);
        EXPECT_EQ(Dump(string), Dump(file));
    }

    dir.Write("m.ini", "[s]\r\nk=v\r\r\n");
    CIniFile ini(dir.Path("m.ini"));
    EXPECT_TRUE(LoadFile(ini).result);
    EXPECT_EQ(platform.crLfAsLf ? "v" : "v\r", ini.LookupValue("s", "k", ""));
}

}  // namespace
