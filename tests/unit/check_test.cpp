// relayhive-check: the findings for staged installations laid out on disk,
// through relayhive's own loader and plan, and the command line.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "check/arguments.h"
#include "check/findings.h"
#include "check/report_text.h"
#include "check/survey.h"
#include "scratch.h"

namespace {

using testing_support::ScratchDir;

struct Expected {
    Severity severity;
    std::uint32_t line;    // 0: the finding names a file
    const char* fragment;  // part of "file[:line]: message"
};

struct Case {
    const char* title;
    PathStyle style;
    const char* manifest;  // nullptr: none staged
    std::vector<const char*> staged;
    bool skin;  // skin/ exists (logo/ always does)
    std::vector<Expected> findings;
    // Windows finds "a.bmp " as "a.bmp": the case needs a host that keeps the blank.
    bool needsPosixHost = false;
};

const PathStyle kWin = PathStyle::kWindows;
const PathStyle kPosix = PathStyle::kPosix;
const Severity E = Severity::kError;
const Severity W = Severity::kWarning;
const Severity N = Severity::kNote;

const Case kCases[] = {
    {"byte order mark", kPosix,
     "\xEF\xBB\xBF[cltskin]\r\nfilelist=a.bmp\r\n[cltmain]\r\nmainfile=Quillmon.exe\r\n",
     {"a.bmp", "Quillmon.exe"}, true,
     {{E, 1, "\"Failing on char -17\"): the line starts with a UTF-8 byte order mark (EF BB BF); save the "
             "file without it; not read: [cltskin] filelist (line 2), [cltmain] mainfile (line 4)"},
      {N, 0, "download/autoupdate.ini: no [cltmain] mainfile"}}},
    {"misspelt section and key", kWin,
     "[cltskins]\nfilelist=a.bmp\n[CLTLOGO]\nfilelists=l.png\n[cltmain]\nmainfile=Quillmon.exe\n",
     {"a.bmp", "l.png", "Quillmon.exe"}, true,
     {{W, 1, "never reads section [cltskins]; did you mean [cltskin]?"},
      {W, 4, "never reads key 'filelists' in [CLTLOGO]; it reads 'filelist' there"}}},
    {"near misses within two edits, swaps counting one; far names left alone", kPosix,
     "[cltsikns]\nfilelist=a.bmp\n[clttlogoo]\nfilelist=b.bmp\n[settings]\nfilelist=c.bmp\n[cltmain]\n"
     "mianfile=Quillmon.exe\n[cltmainfile]\n",
     {"a.bmp", "b.bmp", "c.bmp", "Quillmon.exe"}, true,
     {{W, 1, "never reads section [cltsikns]; did you mean [cltskin]?"},
      {W, 3, "never reads section [clttlogoo]; did you mean [cltlogo]?"},
      {W, 8, "never reads key 'mianfile' in [cltmain]; it reads 'mainfile' there"},
      {N, 0, "no [cltmain] mainfile"}}},
    {"keys that belong elsewhere", kPosix,
     "filelist=a.bmp\n[cltmain]\nfilelist=Quillmon.exe\n[other]\nfilelist=b.bmp\n",
     {"a.bmp", "b.bmp", "Quillmon.exe"}, true,
     {{W, 1, "key 'filelist' here: it belongs to no section relayhive reads"},
      {W, 3, "never reads key 'filelist' in [cltmain]; it reads 'mainfile' there"},
      {N, 0, "no [cltmain] mainfile"}}},
    {"duplicates: a key set twice, a name listed twice, a section repeated", kWin,
     "[cltskin]\nfilelist=old.bmp\nFileList=a.bmp,b.bmp,A.BMP\n[cltmain]\nmainfile=Quillmon.exe\n"
     "[CltSkin]\n",
     {"a.bmp", "b.bmp", "Quillmon.exe", "old.bmp"}, true,
     {{W, 2, "[cltskin] filelist is set again at line 3: relayhive uses that value and never this one"},
      {W, 3, "'A.BMP' is listed again in [cltskin] filelist (the same file on Windows)"},
      {W, 6, "[CltSkin] repeats the section of line 1: relayhive adds its keys to that first one"}}},
    {"a trailing blank: dropped on Windows", kWin,
     "[cltskin]\nfilelist=a.bmp ,b.bmp.\n[cltmain]\nmainfile=Quillmon.exe\n",
     {"a.bmp", "b.bmp", "Quillmon.exe"}, true,
     {{W, 2, "Windows drops the trailing dots and blanks of 'a.bmp\\x20': it names 'a.bmp'"},
      {W, 2, "of 'b.bmp.': it names 'b.bmp'"}}},
    {"a trailing blank: another file on Linux", kPosix,
     "[cltskin]\nfilelist=a.bmp \n[cltmain]\nmainfile=Quillmon.exe\n", {"a.bmp", "Quillmon.exe"}, true,
     {{E, 2, "[cltskin] filelist names 'a.bmp\\x20', but download/a.bmp\\x20 does not exist"},
      {N, 0, "download/a.bmp: staged, but no list in the manifest names it"}},
     true},
    {"code page 936: invalid GBK, and UTF-8 read as GBK", kWin,
     "[cltlogo]\nfilelist=\xFF.png,\xD6\xD0,\xB1\n[cltmain]\nmainfile=\xE4\xB8\xAD\xE6\x96\x87.exe\n",
     {}, true,
     {{E, 2, "names '\\xFF.png', but download/\\xFF.png does not exist"},
      {E, 2, "names '\\xD6\\xD0', but download/\\xD6\\xD0 does not exist"},
      {E, 2, "names '\\xB1', but"},
      {E, 4, "names '\\xE4\\xB8\\xAD\\xE6\\x96\\x87.exe', but"},
      {W, 2, "'\\xFF.png' is not valid code page 936 (GBK) (byte 0xFF at offset 0)"},
      {W, 2, "'\\xB1' is not valid code page 936 (GBK) (byte 0xB1 at offset 0)"},
      {W, 4, "'\\xE4\\xB8\\xAD\\xE6\\x96\\x87.exe' is UTF-8, but Windows with code page 936 reads"}}},
    {"UTF-8: GBK bytes are not valid", kPosix,
     "[cltlogo]\nfilelist=\xD6\xD0.png,\xE4\xB8\xAD.png,\xED\xA0\x80,\xC0\xAF\n", {}, true,
     {{E, 2, "'\\xD6\\xD0.png', but"}, {E, 2, "'\\xE4\\xB8\\xAD.png', but"},
      {E, 2, "'\\xED\\xA0\\x80', but"}, {E, 2, "'\\xC0\\xAF', but"},
      {W, 2, "'\\xD6\\xD0.png' is not valid UTF-8 (byte 0xD6 at offset 0)"},
      {W, 2, "'\\xED\\xA0\\x80' is not valid UTF-8 (byte 0xED at offset 0)"},  // a surrogate
      {W, 2, "'\\xC0\\xAF' is not valid UTF-8 (byte 0xC0 at offset 0)"},      // overlong '/'
      {N, 0, "no [cltmain] mainfile"}}},
    {"no main file, a staged file no list names", kPosix, "[cltskin]\nfilelist=a.bmp\n",
     {"a.bmp", "extra.bmp", "sub/deep.bmp"}, true,
     {{N, 0, "download/autoupdate.ini: no [cltmain] mainfile: relayhive does not update the client itself"},
      {N, 0, "download/extra.bmp: staged, but no list in the manifest names it"},
      {N, 0, "download/sub/deep.bmp: staged"}}},
    {"missing manifest", kPosix, nullptr, {"a.bmp"}, true,
     {{E, 0, "download/autoupdate.ini: the manifest is missing"}}},
    {"missing files and directories, refused names", kWin,
     "[cltskin]\nfilelist=a.bmp,gone.bmp,..\\up.bmp,NUL.bmp\n[cltmain]\nmainfile=Quillmon.exe\n",
     {"a.bmp", "Quillmon.exe"}, false,
     {{E, 2, "names 'a.bmp', but the directory skin/ does not exist, so it cannot be copied"},
      {E, 2, "names 'gone.bmp', but download/gone.bmp does not exist"},
      {E, 2, "names '..\\up.bmp', which relayhive refuses ('..' would leave the install directory)"},
      {E, 2, "names 'NUL.bmp', which relayhive refuses (name of a system device)"}}},
    {"0x1A ends a Windows manifest", kWin,
     "[cltmain]\nmainfile=Quillmon.exe\n\x1a[cltskin]\nfilelist=a.bmp\n",
     {"a.bmp", "Quillmon.exe"}, true,
     {{E, 3,
       "the byte 0x1A ends the manifest for relayhive on Windows; not read: [cltskin] filelist (line 4)"}}},
    {"CR CR LF: Windows text mode leaves one CR, which the loader drops", kWin,
     "[cltmain]\r\nmainfile=Quillmon.exe\r\r\n", {"Quillmon.exe"}, true, {}},
    {"0x1A starts a line the Linux loader stops at", kPosix,
     "[cltmain]\nmainfile=Quillmon.exe\n\x1a[cltskin]\nfilelist=a.bmp\n", {"a.bmp", "Quillmon.exe"}, true,
     {{E, 3, "(it prints \"Failing on char 26\"): the line starts with the control byte 0x1A; not read: "
             "[cltskin] filelist (line 4)"}}},
};

std::vector<Finding> Check(const ScratchDir& dir, const Case& c, Installation* installation) {
    namespace fs = std::filesystem;
    fs::create_directories(dir.Path("download/sub"));
    fs::create_directories(dir.Path("logo"));
    if (c.skin) fs::create_directories(dir.Path("skin"));
    if (c.manifest != nullptr) dir.Write("download/autoupdate.ini", c.manifest);
    for (const char* name : c.staged) dir.Write(std::string("download/") + name, name);
    std::string error;
    const CodePage codePage = c.style == kWin ? CodePage::k936 : CodePage::kUtf8;
    EXPECT_TRUE(SurveyInstallation(dir.Path(), c.style, codePage, installation, &error)) << error;
    return FindProblems(*installation);
}

TEST(Check, FindingsForStagedInstallations) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.title);
        if (c.needsPosixHost && NativePathStyle() != kPosix) continue;
        ScratchDir dir;
        Installation installation;
        const std::vector<Finding> findings = Check(dir, c, &installation);
        std::string all;
        for (const Finding& f : findings) all += FindingLine(f) + "\n";
        ASSERT_EQ(c.findings.size(), findings.size()) << all;
        for (std::size_t i = 0; i < findings.size(); ++i) {
            EXPECT_EQ(c.findings[i].severity, findings[i].severity) << all;
            EXPECT_EQ(c.findings[i].line, findings[i].line) << all;
            EXPECT_NE(std::string::npos, FindingLine(findings[i]).find(c.findings[i].fragment)) << all;
        }
    }
}

// What the findings say relayhive skips is what its plan leaves out.
TEST(Check, PlanFollowsTheLoader) {
    struct Plan {
        const char* title;               // of a case above
        std::vector<const char*> names;  // the plan's steps by name ("" for the pause)
    };
    const Plan plans[] = {
        {"byte order mark", {"autoupdate.ini", ""}},
        {"duplicates: a key set twice, a name listed twice, a section repeated",
         {"a.bmp", "b.bmp", "A.BMP", "autoupdate.ini", "", "Quillmon.exe"}},
        {"0x1A ends a Windows manifest", {"autoupdate.ini", "", "Quillmon.exe"}},
        {"0x1A starts a line the Linux loader stops at", {"autoupdate.ini", "", "Quillmon.exe"}},
        {"CR CR LF: Windows text mode leaves one CR, which the loader drops",
         {"autoupdate.ini", "", "Quillmon.exe"}},
    };
    for (const Plan& p : plans) {
        SCOPED_TRACE(p.title);
        const Case* c = nullptr;
        for (const Case& known : kCases) {
            if (std::string(known.title) == p.title) c = &known;
        }
        ASSERT_NE(nullptr, c);
        ScratchDir dir;
        Installation installation;
        Check(dir, *c, &installation);
        std::vector<std::string> names;
        for (const PlanStep& step : installation.plan) names.push_back(step.name);
        EXPECT_EQ(std::vector<std::string>(p.names.begin(), p.names.end()), names);
    }
}

TEST(Check, CommandLine) {
    struct Usage {
        std::vector<std::string> arguments;
        CheckArguments::Outcome outcome;
        const char* error;  // part of the message for a usage error
        PathStyle style;
        CodePage codePage;
        const char* directory;
    };
    using O = CheckArguments::Outcome;
    const Usage usages[] = {
        {{}, O::kRun, "", kPosix, CodePage::kUtf8, "."},
        {{"--target", "windows", "app"}, O::kRun, "", kWin, CodePage::k936, "app"},
        {{"--target=windows", "--code-page=utf-8", "--json"}, O::kRun, "", kWin, CodePage::kUtf8, "."},
        {{"--code-page", "936", "--target", "linux"}, O::kRun, "", kPosix, CodePage::k936, "."},
        {{"app", "--help"}, O::kHelp, "", kPosix, CodePage::kUtf8, "app"},
        {{"--version", "--verbose"}, O::kVersion, "", kPosix, CodePage::kUtf8, "."},
        {{"--json", "--version"}, O::kVersion, "", kPosix, CodePage::kUtf8, "."},
        {{"--target", "macos"}, O::kUsageError, "--target takes windows or linux, not 'macos'", kPosix,
         CodePage::kUtf8, "."},
        {{"--code-page", "1252"}, O::kUsageError, "--code-page takes 936 or utf-8, not '1252'", kPosix,
         CodePage::kUtf8, "."},
        {{"--target"}, O::kUsageError, "--target needs a value", kPosix, CodePage::kUtf8, "."},
        {{"--verbose"}, O::kUsageError, "unknown option '--verbose'", kPosix, CodePage::kUtf8, "."},
        {{"a", "b"}, O::kUsageError, "only one directory, not also 'b'", kPosix, CodePage::kUtf8, "."},
    };
    for (const Usage& u : usages) {
        const CheckArguments parsed = ParseCheckArguments(u.arguments, kPosix);
        SCOPED_TRACE(parsed.error);
        EXPECT_EQ(u.outcome, parsed.outcome);
        if (u.outcome == O::kUsageError) {
            EXPECT_NE(std::string::npos, parsed.error.find(u.error));
            EXPECT_EQ(std::string::npos, parsed.error.find('\n'));
            continue;
        }
        if (u.outcome == O::kHelp || u.outcome == O::kVersion) continue;
        EXPECT_EQ(u.style, parsed.style);
        EXPECT_EQ(u.codePage, parsed.codePage);
        EXPECT_EQ(u.directory, parsed.directory);
    }
    EXPECT_TRUE(ParseCheckArguments({"--json"}, kPosix).json);
}

}  // namespace
