// relayhive-check: the findings for staged installations laid out on disk,
// through relayhive's own loader and plan, and the command line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "check/arguments.h"
#include "check/digest.h"
#include "check/findings.h"
#include "check/report_json.h"
#include "check/report_text.h"
#include "check/shown.h"
#include "check/survey.h"
#include "common/texts.h"
#include "scratch.h"
#include "update/report.h"
#include "update/run_record.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using testing_support::ScratchDir;

struct Expected {
    Severity severity;
    std::uint32_t line;    // 0: the finding names a file
    const char* fragment;  // part of "file[:line]: message"
};

// What a case lays out beyond the manifest and the staged files.
// kUtf16: a file holding target as UTF-16 LE after its byte order mark;
// kNoEntry: a directory nobody but its owner may enter.
enum class Make { kFile, kDirectory, kReadOnly, kNoEntry, kFifo, kLinkTo, kUtf16 };
struct Arranged {
    Make make;
    const char* path;
    const char* target = "";  // kLinkTo: what the link names
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
    // Made after the staged files, in order; with kReadOnly the check runs as an ordinary user.
    std::vector<Arranged> arranged = {};
    // The installation lies below a path longer than the host's PATH_MAX, and is checked as ".".
    bool deep = false;
    // The check refuses the directory: the one finding's fragment is its error.
    bool refused = false;
    unsigned codePage = 936;  // a Windows target's; its names staged as Wine keeps them
    // The plan's steps by name ("" for the pause): what the findings say relayhive skips, the plan leaves out.
    // Empty: not checked.
    std::vector<const char*> plan = {};
};

Case WithPlan(Case c, std::vector<const char*> plan) { c.plan = std::move(plan); return c; }

const std::string kLongName = std::string(300, 'y') + ".bmp";
const std::string kLongManifest = "[cltskin]\nfilelist=" + kLongName + "\n";
const char kPlainManifest[] =
    "[cltskin]\nfilelist=a.bmp\n[cltlogo]\nfilelist=l.png\n[cltmain]\nmainfile=Quillmon.exe\n";

// Permissions an ordinary user is refused by: the case runs as one.
bool Restricts(const Arranged& a) { return a.make == Make::kReadOnly || a.make == Make::kNoEntry; }

const PathStyle kWin = PathStyle::kWindows;
const PathStyle kPosix = PathStyle::kPosix;
const Host kLinuxHost{PathStyle::kPosix, kUtf8CodePage};
const Severity E = Severity::kError;
const Severity W = Severity::kWarning;
const Severity N = Severity::kNote;

const Case kCases[] = {
    {"digests: another digest, no entry, another size, each copy-nothing", kPosix,
     "[cltskin]\nfilelist=a.bmp,b.bmp,c.bmp\n[cltmain]\nmainfile=Q.exe\n[cltdigest]\n"
     "skin=5:21673cc95948a173d811394f73cf383fcdcdb07edb8ee74c3725aff4f2586b29,"
     "5:21673cc95948a173d811394f73cf383fcdcdb07edb8ee74c3725aff4f2586b29\n"
     "main=6:3845382342fdf14ff08a5aacaf59f1128cb11aea3be8a2ff24bb101d833ff266\n",
     {"a.bmp", "b.bmp", "c.bmp", "Q.exe"}, true,
     {{E, 2, "names 'b.bmp', but download/b.bmp does not match the manifest: its SHA-256 differs; relayhive checks "
             "every listed file before it stops the client, and then copies nothing"},
      {E, 2, "names 'c.bmp', but download/c.bmp does not match the manifest: it lists no digest for it"},
      {E, 4, "names 'Q.exe', but download/Q.exe does not match the manifest: 5 bytes, it lists 6"}}},
    {"a misspelt digest section leaves the download unchecked", kPosix,
     "[cltmain]\nmainfile=Q.exe\n[cltdigets]\nmain=1:0000000000000000000000000000000000000000000000000000000000000000\n",
     {"Q.exe"}, true,
     {{W, 3, "never reads section [cltdigets]; did you mean [cltdigest]?"}}},
    WithPlan({"byte order mark", kPosix,
     "\xEF\xBB\xBF[cltskin]\r\nfilelist=a.bmp\r\n[cltmain]\r\nmainfile=Quillmon.exe\r\n",
     {"a.bmp", "Quillmon.exe"}, true,
     {{E, 1, "\"Failing on char -17\"): the line starts with a UTF-8 byte order mark (EF BB BF); save the "
             "file without it; not read: [cltskin] filelist (line 2), [cltmain] mainfile (line 4)"},
      {N, 0, "download/autoupdate.ini: no [cltmain] mainfile"}}},
             {"autoupdate.ini", ""}),
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
    WithPlan({"duplicates: a key set twice, a name listed twice, a section repeated", kWin,
     "[cltskin]\nfilelist=old.bmp\nFileList=a.bmp,b.bmp,A.BMP\n[cltmain]\nmainfile=Quillmon.exe\n"
     "[CltSkin]\n",
     {"a.bmp", "b.bmp", "Quillmon.exe", "old.bmp"}, true,
     {{W, 2, "[cltskin] filelist is set again at line 3: relayhive uses that value and never this one"},
      {W, 3, "'A.BMP' is listed again in [cltskin] filelist (the same file on Windows)"},
      {W, 6, "[CltSkin] repeats the section of line 1: relayhive adds its keys to that first one"}}},
             {"a.bmp", "b.bmp", "A.BMP", "autoupdate.ini", "", "Quillmon.exe"}),
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
      {W, 4, "'\\xE4\\xB8\\xAD\\xE6\\x96\\x87.exe' is UTF-8, but Windows with code page 936 (GBK) reads"}}},
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
      {E, 2, "names '..\\x5Cup.bmp', which relayhive refuses ('..' would leave the install directory)"},
      {E, 2, "names 'NUL.bmp', which relayhive refuses (name of a system device)"}}},
    WithPlan({"0x1A ends a Windows manifest", kWin,
     "[cltmain]\nmainfile=Quillmon.exe\n\x1a[cltskin]\nfilelist=a.bmp\n",
     {"a.bmp", "Quillmon.exe"}, true,
     {{E, 3,
       "the byte 0x1A ends the manifest for relayhive on Windows; not read: [cltskin] filelist (line 4)"}}},
             {"autoupdate.ini", "", "Quillmon.exe"}),
    WithPlan({"CR CR LF: Windows text mode leaves one CR, which the loader drops", kWin,
     "[cltmain]\r\nmainfile=Quillmon.exe\r\r\n", {"Quillmon.exe"}, true, {}},
             {"autoupdate.ini", "", "Quillmon.exe"}),
    WithPlan({"0x1A starts a line the Linux loader stops at", kPosix,
     "[cltmain]\nmainfile=Quillmon.exe\n\x1a[cltskin]\nfilelist=a.bmp\n", {"a.bmp", "Quillmon.exe"}, true,
     {{E, 3, "(it prints \"Failing on char 26\"): the line starts with the control byte 0x1A; not read: "
             "[cltskin] filelist (line 4)"}}},
             {"autoupdate.ini", "", "Quillmon.exe"}),
    {"read-only for an ordinary user: a destination file, a destination directory", kPosix, kPlainManifest,
     {"a.bmp", "l.png", "Quillmon.exe"}, true,
     {{E, 2, "names 'a.bmp', but this user may not write skin/a.bmp: relayhive cannot replace it (Permission denied)"},
      {E, 4, "names 'l.png', but this user may not create files in logo/: relayhive cannot make its scratch file "
             "there (Permission denied)"}},
     true, {{Make::kFile, "skin/a.bmp"}, {Make::kReadOnly, "skin/a.bmp"}, {Make::kReadOnly, "logo"}}},
    {"a directory where the scratch file goes", kWin, kPlainManifest, {"a.bmp", "l.png", "Quillmon.exe"}, true,
     {{E, 2, "names 'a.bmp', but the directory skin/.relayhive.tmp stands where relayhive makes its scratch file: "
             "no copy into skin/ can be made (Is a directory)"}},
     false, {{Make::kDirectory, "skin/.relayhive.tmp"}}},
    {"staged files that are not regular files, and a trailing separator", kPosix,
     "[cltskin]\nfilelist=pipe.bmp,null.bmp,sub/\n", {}, true,
     {{E, 2, "names 'pipe.bmp', but download/pipe.bmp is not a regular file (a pipe, a device or a socket): "
             "relayhive refuses it"},
      {E, 2, "names 'null.bmp', but download/null.bmp is not a regular file"},
      {E, 2, "names 'sub/', but download/sub/ is a directory"},
      {N, 0, "no [cltmain] mainfile"}},
     true, {{Make::kFifo, "download/pipe.bmp"}, {Make::kLinkTo, "download/null.bmp", "/dev/null"}}},
    {"a manifest that is a pipe is never opened", kPosix, nullptr, {}, true,
     {{E, 0, "download/autoupdate.ini: the manifest is not a regular file (a pipe, a device or a socket): "
             "relayhive reads no list"}},
     true, {{Make::kFifo, "download/autoupdate.ini"}}},
    {"a name longer than the file system holds", kPosix, kLongManifest.c_str(), {}, true,
     {{E, 2, "has a name longer than the file system holds (File name too long)"}, {N, 0, "no [cltmain] mainfile"}},
     true},
    {"staged names that differ in case only, for Windows", kWin, "[cltskin]\nfilelist=a.bmp\n",
     {"A.bmp", "a.BMP"}, true,
     {{W, 0, "download/A.bmp: the staged download/a.BMP is the same name on Windows: which of the two relayhive "
             "copies depends on the file system"},
      {N, 0, "no [cltmain] mainfile"}},
     true},
    {"links back to download/ list each file once", kPosix, "[cltskin]\nfilelist=a.bmp\n", {"a.bmp"}, true,
     {{N, 0, "no [cltmain] mainfile"}, {N, 0, "download/sub/deep.bmp: staged"}},
     true,
     {{Make::kFile, "download/sub/deep.bmp"}, {Make::kLinkTo, "download/l1", "."},
      {Make::kLinkTo, "download/l2", "."}, {Make::kLinkTo, "download/sub/l3", ".."}}},
    WithPlan({"a working directory longer than PATH_MAX: relayhive plans from '.'", kPosix, kPlainManifest,
     {"a.bmp", "l.png", "Quillmon.exe"}, true, {}, true, {}, true},
             {"a.bmp", "l.png", "autoupdate.ini", "", "Quillmon.exe"}),
    {"CR alone ends no line: one line, no list read", kPosix, "[cltskin]\rfilelist=a.bmp\r[cltmain]\rmainfile=Q.exe\r",
     {"a.bmp", "Q.exe"}, true,
     {{E, 1, "the lines end in CR alone, and relayhive ends lines only at LF: it reads the whole file as one line; "
             "save it with CR LF or LF line ends; not read: [cltskin] filelist (line 2), [cltmain] mainfile (line 4)"},
      {N, 0, "no [cltmain] mainfile"}}},
    {"a UTF-16 manifest", kWin, nullptr, {"Q.exe"}, true,
     {{E, 1, "(it prints \"Failing on char -1\"): the file is UTF-16 (it starts with 0xFF), which relayhive cannot "
             "read; save it as ANSI or as UTF-8 without a byte order mark; not read: [cltmain] mainfile (line 2)"},
      {N, 0, "no [cltmain] mainfile"}},
     false, {{Make::kUtf16, "download/autoupdate.ini", "[cltmain]\r\nmainfile=Q.exe\r\n"}}},
    // Wine keeps names as UTF-8: 中 (GBK D6 D0) staged as its GBK bytes is not found, 的 (B5 C4) as UTF-8 is.
    {"GBK names for Windows on a POSIX host, found as Wine stores them", kWin,
     "[cltskin]\nfilelist=\xD6\xD0.bmp,\xB5\xC4.bmp\n", {"\xD6\xD0.bmp", "\xE7\x9A\x84.bmp"}, true,
     {{E, 2, "names '\\xD6\\xD0.bmp', but download/\\xD6\\xD0.bmp does not exist"},
      {W, 0, "download/\\xD6\\xD0.bmp: the name is not UTF-8, so Wine shows relayhive other characters"},
      {N, 0, "no [cltmain] mainfile"}},
     true},
    // 籠 (BB 5C) and 亅 (81 7C) hold no '\\' and no '|'; a lead byte that ends a name begins no character.
    {"GBK trail bytes '\\' and '|' on a POSIX host, and a character cut off", kWin,
     "[cltskin]\nfilelist=\xBB\x5C.bmp,\x81\x7C.dat,x\xD6\n", {"\xE7\xB1\xA0.bmp", "\xE4\xBA\x85.dat"}, true,
     {{E, 2, "names 'x\\xD6', but its byte 0xD6 at offset 1 begins a character of code page 936 (GBK) that does not "
             "end: relayhive cannot open it"},
      {W, 2, "'x\\xD6' is not valid code page 936 (GBK) (byte 0xD6 at offset 1)"},
      {N, 0, "no [cltmain] mainfile"}},
     true},
    {"code page 1252: a '\\' after an accented letter separates", kWin,
     "[cltskin]\nfilelist=caf\xE9\\bg.bmp,th\xE9.bmp\n", {"th\xC3\xA9.bmp"}, true,
     {{E, 2, "names 'caf\\xE9\\x5Cbg.bmp', but the directory skin/caf\\xE9/.relayhive.tmp stands where"},
      {N, 0, "no [cltmain] mainfile"}},
     true, {{Make::kDirectory, "download/caf\xC3\xA9"}, {Make::kFile, "download/caf\xC3\xA9/bg.bmp"},
            {Make::kDirectory, "skin/caf\xC3\xA9/.relayhive.tmp"}}, false, false, 1252},
    {"code page 932: fullwidth and Greek letters are found in another case", kWin,
     "[cltskin]\nfilelist=\x82\x81.bmp,\x83\xBF.bmp\n", {"\xEF\xBC\xA1.bmp", "\xCE\x91.bmp"}, true,
     {{N, 0, "no [cltmain] mainfile"}}, true, {}, false, false, 932},
    {"code page 936: a staged name that is no GBK", kWin, "[cltskin]\nfilelist=\xFF\xFE.bmp\n", {"\xFF\xFE.bmp"}, true,
     {{E, 2, "names '\\xFF\\xFE.bmp', but its byte 0xFE at offset 1 begins a character of code page 936 (GBK) that"},
      {W, 0, "the name is not UTF-8, so Wine shows relayhive other characters"},
      {W, 2, "is not valid code page 936 (GBK) (byte 0xFF at offset 0)"},
      {N, 0, "no [cltmain] mainfile"}},
     true},
    {"a directory this user may not enter", kPosix, kPlainManifest, {}, true, {{E, 0, ": Permission denied"}}, true,
     {{Make::kNoEntry, ""}}, false, true},
};

namespace fs = std::filesystem;

void Arrange(const std::string& root, const Arranged& a) {
    const std::string path = root + "/" + a.path;
    switch (a.make) {
        case Make::kFile:
            testing_support::WriteFile(path, "old");
            return;
        case Make::kDirectory:
            fs::create_directories(path);
            return;
        case Make::kReadOnly:
            fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                            fs::perm_options::remove);
            return;
        case Make::kNoEntry:
            fs::permissions(path, fs::perms::owner_all);
            return;
        case Make::kUtf16: {
            std::string bytes = "\xFF\xFE";
            for (const char* c = a.target; *c != '\0'; ++c) bytes += std::string(1, *c) + '\0';
            testing_support::WriteFile(path, bytes);
            return;
        }
        case Make::kFifo:
        case Make::kLinkTo:
#if !defined(_WIN32)
            EXPECT_EQ(0, a.make == Make::kFifo ? mkfifo(path.c_str(), 0666) : symlink(a.target, path.c_str())) << path;
#endif
            return;
    }
}

// Makes a chain of directories below the current one whose path is longer
// than PATH_MAX, and enters it; LeaveDeep removes it again.
constexpr int kDeepLevels = 21;
const std::string kDeepName(200, 'd');
void EnterDeep() {
    for (int i = 0; i < kDeepLevels; ++i) {
        fs::create_directory(kDeepName);
        fs::current_path(kDeepName);
    }
}
void RemoveHere() {
    for (const auto& entry : fs::directory_iterator(".")) {
        if (entry.is_directory() && !entry.is_symlink()) {
            fs::current_path(entry.path().filename());
            RemoveHere();
            fs::current_path("..");
        }
        fs::remove(entry.path().filename());
    }
}

// The findings' lines; the survey runs as an ordinary user when the case makes anything read-only.
std::vector<std::string> Check(const ScratchDir& dir, const Case& c, Installation* installation) {
    const fs::path saved = fs::current_path();
    if (c.deep) {
        fs::current_path(dir.Path());
        EnterDeep();
    }
    const std::string root = c.deep ? std::string(".") : dir.Path();
    fs::create_directories(root + "/download/sub");
    fs::create_directories(root + "/logo");
    if (c.skin) fs::create_directories(root + "/skin");
    if (c.manifest != nullptr) testing_support::WriteFile(root + "/download/autoupdate.ini", c.manifest);
    for (const char* name : c.staged) testing_support::WriteFile(root + "/download/" + name, name);
    const bool unprivileged = std::any_of(c.arranged.begin(), c.arranged.end(), Restricts);
    if (unprivileged) {
        // An ordinary user may do everything the case leaves alone.
        fs::permissions(root, fs::perms::all, fs::perm_options::add);
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            fs::permissions(entry.path(), fs::perms::all, fs::perm_options::add);
        }
    }
    for (const Arranged& a : c.arranged) Arrange(root, a);
    CodePage codePage;
    EXPECT_TRUE(LoadCodePage(c.style == kWin ? c.codePage : kUtf8CodePage, &codePage));
    auto survey = [&] {
        std::string error;
        if (!SurveyInstallation(root, c.style, codePage, DefaultLayout(c.style, kLinuxHost), installation, &error)) {
            std::printf("refused: %s\n", error.c_str());
            return 1;
        }
        for (const Finding& f : FindProblems(*installation)) std::printf("%s\n", FindingLine(f).c_str());
        return 0;
    };
    const std::string text = testing_support::CaptureStdout([&] {
        if (unprivileged) {
            testing_support::RunUnprivileged(survey);
        } else {
            survey();
        }
    });
    for (const Arranged& a : c.arranged) {
        if (Restricts(a)) fs::permissions(root + "/" + a.path, fs::perms::owner_all, fs::perm_options::add);
    }
    if (c.deep) {
        fs::current_path(dir.Path());
        RemoveHere();
        fs::current_path(saved);
    }
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

class StagedInstallation : public testing::TestWithParam<Case> {};

TEST_P(StagedInstallation, Findings) {
    const Case& c = GetParam();
    if (c.needsPosixHost && NativePathStyle() != kPosix) GTEST_SKIP() << "the host drops a trailing blank";
    ScratchDir dir;
    Installation installation;
    const std::vector<std::string> lines = Check(dir, c, &installation);
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    ASSERT_EQ(c.findings.size(), lines.size()) << all;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Expected& expected = c.findings[i];
        const std::string where = c.refused ? std::string("refused: ")
                                  : std::string(SeverityLabel(expected.severity)) + ": " +
                                  (expected.line == 0 ? std::string("download/")
                                                      : "autoupdate.ini:" + std::to_string(expected.line) + ": ");
        EXPECT_EQ(0u, lines[i].rfind(where, 0)) << all;
        EXPECT_NE(std::string::npos, lines[i].find(expected.fragment)) << all;
    }
    if (c.plan.empty()) return;
    std::vector<std::string> names;
    for (const PlanStep& step : installation.plan) names.push_back(step.name);
    EXPECT_EQ(std::vector<std::string>(c.plan.begin(), c.plan.end()), names);
    if (c.deep) {
        EXPECT_EQ(".", installation.workingDirectory);
    }
    // The working directory's separators show as themselves, never as \x5C.
    const std::string heading = RenderText(installation, {});
    EXPECT_EQ(std::string::npos, heading.substr(0, heading.find('\n')).find("\\x5C")) << heading;
}

// Each case is named after its title, so that one runs alone: --gtest_filter='*/byte_order_mark'.
std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return std::regex_replace(info.param.title, std::regex("[^A-Za-z0-9]+"), "_");
}

void PrintTo(const Case& c, std::ostream* out) { *out << c.title; }

INSTANTIATE_TEST_SUITE_P(Check, StagedInstallation, testing::ValuesIn(kCases), CaseName);

// XXH64's published values, whatever blocks the bytes come in.
TEST(Check, ContentHashIsXxh64InAnyBlocks) {
    const struct {
        std::string bytes;
        std::uint64_t hash;
    } known[] = {
        {"", 0xEF46DB3751D8E999ull},
        {"a", 0xD24EC4F1A98C6E5Bull},
        {"abc", 0x44BC2CF5AD770999ull},
        {"Nobody inspects the spammish repetition", 0xFBCEA83C8A378BF1ull},
    };
    for (const auto& k : known) {
        for (std::size_t split = 0; split <= k.bytes.size(); split += 7) {
            Hash64 hash;
            hash.Take(k.bytes.data(), split);
            hash.Take(k.bytes.data() + split, k.bytes.size() - split);
            EXPECT_EQ(k.hash, hash.Value()) << k.bytes << " split at " << split;
        }
    }
}

TEST(Check, CommandLine) {
    struct Usage {
        std::vector<std::string> arguments;
        CheckArguments::Outcome outcome;
        const char* error;  // part of the message for a usage error
        PathStyle style;
        unsigned codePage;
        const char* directory;
    };
    using O = CheckArguments::Outcome;
    const Usage usages[] = {
        {{}, O::kRun, "", kPosix, kUtf8CodePage, "."},
        {{"--target", "windows", "app"}, O::kRun, "", kWin, 936u, "app"},
        {{"--target=windows", "--code-page=utf-8", "--json"}, O::kRun, "", kWin, kUtf8CodePage, "."},
        {{"--code-page", "936", "--target", "linux"}, O::kRun, "", kPosix, 936u, "."},
        {{"--target", "windows", "--code-page", "932"}, O::kRun, "", kWin, 932u, "."},
        {{"app", "--help"}, O::kHelp, "", kPosix, kUtf8CodePage, "app"},
        {{"--version", "--verbose"}, O::kVersion, "", kPosix, kUtf8CodePage, "."},
        {{"--json", "--version"}, O::kVersion, "", kPosix, kUtf8CodePage, "."},
        {{"--target", "macos"}, O::kUsageError, "--target takes windows or linux, not 'macos'", kPosix,
         kUtf8CodePage, "."},
        {{"--code-page", "437"}, O::kUsageError, "--code-page takes 874, 932, 936, 949, 950, 1250, 1251", kPosix,
         kUtf8CodePage, "."},
        {{"--target"}, O::kUsageError, "--target needs a value", kPosix, kUtf8CodePage, "."},
        {{"--verbose"}, O::kUsageError, "unknown option '--verbose'", kPosix, kUtf8CodePage, "."},
        {{"a", "b"}, O::kUsageError, "only one directory, not also 'b'", kPosix, kUtf8CodePage, "."},
        {{"--json", "--", "--help"}, O::kRun, "", kPosix, kUtf8CodePage, "--help"},
        {{"--", "-", "--"}, O::kUsageError, "only one directory, not also '--'", kPosix, kUtf8CodePage, "."},
    };
    for (const Usage& u : usages) {
        const CheckArguments parsed = ParseCheckArguments(u.arguments, kLinuxHost);
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
    EXPECT_TRUE(ParseCheckArguments({"--json"}, kLinuxHost).json);
    EXPECT_TRUE(ParseCheckArguments({"--strict"}, kLinuxHost).strict);
    // A Windows target on Linux is read as Wine keeps its names, unless told; on Windows, in its own code page.
    EXPECT_EQ(Layout::kWine, ParseCheckArguments({"--target", "windows"}, kLinuxHost).layout);
    EXPECT_EQ(Layout::kWindows, ParseCheckArguments({"--target=windows", "--layout=windows"}, kLinuxHost).layout);
    EXPECT_EQ(1252u, ParseCheckArguments({}, Host{kWin, 1252}).codePage);
    EXPECT_EQ(936u, ParseCheckArguments({}, Host{kWin, 437}).codePage);
    EXPECT_TRUE(ParseCheckArguments({"--after", "app"}, kLinuxHost).after);
    EXPECT_FALSE(ParseCheckArguments({"--", "--after"}, kLinuxHost).after);
}

// Where names are UTF-8 the text report shows their characters; bytes that are not valid UTF-8,
// and characters that hide or reorder text, stay escaped. In code page 936 every byte stays escaped.
TEST(Check, TextReportShowsUtf8NamesAsText) {
    const struct {
        std::string name;
        std::string shown;  // with code page utf-8
    } rows[] = {
        {"\xE4\xB8\xAD\xE6\x96\x87.bmp", "\xE4\xB8\xAD\xE6\x96\x87.bmp"},
        {"caf\xC3\xA9 \xF0\x9F\x98\x80.png", "caf\xC3\xA9 \xF0\x9F\x98\x80.png"},
        {"\xFF\xE4\xB8.dat", "\\xFF\\xE4\\xB8.dat"},                          // no UTF-8; a character cut off
        {"\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80", "\\xC0\\xAF\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80"},  // overlong, surrogate, too high
        {"a\xE2\x80\xAEgpj.exe", "a\\xE2\\x80\\xAEgpj.exe"},                 // right-to-left override
        {"\xC2\x85\xE3\x80\x80x\xEF\xBB\xBF", "\\xC2\\x85\\xE3\\x80\\x80x\\xEF\\xBB\\xBF"},  // C1 control, wide blank, BOM
        {"a\\xE4\\xB8\\xAD", "a\\x5CxE4\\x5CxB8\\x5CxAD"},                   // a name that spells escapes
        {std::string(" \x01\xE4\xB8\xAD\t", 6), "\\x20\\x01\xE4\xB8\xAD\\x09"},
    };
    for (const auto& row : rows) {
        Installation installation;
        installation.workingDirectory = "/srv/\xE4\xB8\xAD";
        installation.plan.push_back({StepKind::kCopy, PlanGroup::kSkin, row.name, "", "", "", nullptr, ""});
        const Finding finding{Severity::kWarning, ShownStaged(row.name), 0, Quoted(row.name) + " is here"};
        const std::string text = RenderText(installation, {finding});
        EXPECT_NE(std::string::npos, text.find("working directory /srv/\xE4\xB8\xAD\n")) << text;
        EXPECT_NE(std::string::npos, text.find("  copy download/" + row.shown + " -> skin/" + row.shown + "\n")) << text;
        EXPECT_NE(std::string::npos, text.find("warning: download/" + row.shown + ": '" + row.shown + "' is here\n"))
            << text;
        ASSERT_TRUE(LoadCodePage(936, &installation.codePage));
        const std::string gbk = RenderText(installation, {finding});
        EXPECT_TRUE(std::all_of(gbk.begin(), gbk.end(), [](char c) { return c >= 0x20 || c == '\n'; })) << gbk;
    }
}

// Both tools write a finding with the same keys; one that names a file has no line.
TEST(Check, FindingJsonKeepsItsKeys) {
    EXPECT_EQ("{\"severity\": \"warning\", \"file\": \"download/a\\u0001\", \"line\": null, \"message\": \"m\"}",
              FindingJson({Severity::kWarning, "download/a\x01", 0, "m"}));
    EXPECT_EQ("{\"severity\": \"error\", \"file\": \"autoupdate.ini\", \"line\": 3, \"message\": \"\\\"\"}",
              FindingJson({Severity::kError, "autoupdate.ini", 3, "\""}));
}

// --after takes each cause from the run's record, which a crash may have cut at any byte.
TEST(Check, AfterNamesTheRecordedCause) {
    const std::vector<PlanStep> steps = {
        {StepKind::kCopy, PlanGroup::kSkin, "a.bmp", "/w/download/a.bmp", "/w/skin/a.bmp", "", nullptr, ""},
        {StepKind::kCopy, PlanGroup::kMain, "Q\n.exe ", "/w/download/Q\n.exe ", "/w/Q\n.exe ", "", nullptr, ""}};
    struct Case {
        const char* title;
        int copies;  // -1: the client is not stopped; else the steps the run takes before it ends
        const char* first;
        const char* second;
    };
    const Case cases[] = {
        {"client not stopped", -1, "could not stop the client (Operation not permitted)", "so it copied nothing"},
        {"killed before the copies", 0, "ended before this copy", "ended before this copy"},
        {"a full disk, then killed during the next", 2, "skin/a.bmp failed: No space left on device",
         "ended during this copy"},
    };
    Installation in;
    in.workingDirectory = "/w";
    in.plan = steps;
    in.facts.assign(steps.size(), StepFacts());
    const std::vector<FileDigest> sources(2, FileDigest{true, true, 3, 0x1234});
    std::vector<FileDigest> destinations(2, FileDigest());
    destinations[0].present = true;  // there, but held open
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        ScratchDir dir;
        {
            testing_support::WorkingDirectoryGuard here(dir.Path());
            RunRecord run;
            run.Begin("9.9.9");
            run.ClientStopped(c.copies < 0 ? ClientStop::kNotTerminated : ClientStop::kStopped, EPERM);
            if (c.copies >= 0) run.List([&] { return steps; });
            for (int i = 0; i < c.copies; ++i) {
                run.StartStep(steps[static_cast<std::size_t>(i)]);
                if (i + 1 == c.copies) break;  // ends during this one
                errno = ENOSPC;
                testing_support::CaptureStderr([] { ReportError("skin/a.bmp"); });
                run.EndStep(false);
            }
        }
        const std::string bytes = dir.Read(texts::kRecordName);
        const std::vector<Landing> landings = Landings(in, sources, destinations, record::Parse(bytes));
        ASSERT_EQ(2u, landings.size());
        EXPECT_EQ(Landed::kUnread, landings[0].state);
        EXPECT_NE(std::string::npos, landings[0].reason.find(c.first)) << landings[0].reason;
        EXPECT_NE(std::string::npos, landings[1].reason.find(c.second)) << landings[1].reason;
        // Cut short anywhere, the record never vouches for steps it does not hold whole.
        for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
            const record::Read read = record::Parse(bytes.substr(0, cut));
            ASSERT_EQ(cut >= 7 * record::kUnit, read.found) << cut;
            ASSERT_FALSE(read.stepsWhole && read.steps.size() < 2) << cut;
        }
    }
    const std::vector<Landing> unrecorded = Landings(in, sources, destinations, record::Read());
    EXPECT_NE(std::string::npos, unrecorded[1].reason.find("the plan predicts no failure here"));
    EXPECT_EQ(Landed::kMissing, unrecorded[1].state);
}

}  // namespace
