// relayhive-stage: pairs of release trees, what is staged from them, what is
// an error, and whether relayhive's own plan then reproduces NEW; its command line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "check/arguments.h"
#include "stage/arguments.h"
#include "stage/decide.h"
#include "stage/proof.h"
#include "stage/report.h"
#include "stage/tree.h"
#include "check/manifest_scan.h"
#include "os/os.h"
#include "update/payload.h"
#include "scratch.h"

namespace {

const PathStyle kWin = PathStyle::kWindows;
const PathStyle kPosix = PathStyle::kPosix;

// Each file's content, by tree and path: what the host's files hold.
class MemoryContents final : public Contents {
public:
    bool Same(const ReleaseTree& a, const std::string& pathA, const ReleaseTree& b, const std::string& pathB) override {
        return bytes[{&a, pathA}] == bytes[{&b, pathB}];
    }
    std::map<std::pair<const ReleaseTree*, std::string>, std::string> bytes;
};

// "path=content"; a path ending in '/' is a directory, one ending in '@' a
// symbolic link. Every file's directories are in the tree too.
ReleaseTree TreeOf(const std::vector<std::string>& entries, MemoryContents* contents, const ReleaseTree* as) {
    ReleaseTree tree;
    for (const std::string& entry : entries) {
        const std::size_t equals = entry.find('=');
        const std::string path = entry.substr(0, equals);
        if (equals == std::string::npos && path.back() == '@') {
            tree.links.insert(path.substr(0, path.size() - 1));
            continue;
        }
        if (equals == std::string::npos) {
            tree.directories.insert(path.substr(0, path.size() - 1));
            continue;
        }
        tree.files.Add(path, entry.size() - equals - 1);
        contents->bytes[{as, path}] = entry.substr(equals + 1);
        for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
            tree.directories.insert(path.substr(0, slash));
        }
    }
    tree.files.Sort();
    return tree;
}

// OLD (as the update starts from it) and NEW, with the bytes their files hold.
struct Pair {
    Pair(const std::vector<std::string>& old, const std::vector<std::string>& fresh) {
        release = TreeOf(fresh, &contents, &release);
        base = InstalledBase(TreeOf(old, &contents, &base), release);
    }
    Pair(const Pair&) = delete;
    MemoryContents contents;
    ReleaseTree release;
    ReleaseTree base;
};

const std::vector<std::string> kOld = {"Quillmon.exe=v1", "skin/a.bmp=a1", "skin/b.bmp=b1", "logo/l.png=l1"};

std::vector<std::string> With(std::vector<std::string> entries, const std::vector<std::string>& more) {
    entries.insert(entries.end(), more.begin(), more.end());
    return entries;
}

struct Case {
    const char* title;
    PathStyle style;
    std::size_t installDirLength;
    std::vector<std::string> old;
    std::vector<std::string> release;
    std::vector<std::string> staged;  // files of NEW, in the manifest's order
    std::vector<std::string> errors;  // the files the errors name
    const char* manifest;             // nullptr: not checked
    unsigned codePage = 936;          // a Windows target's
};

const Case kCases[] = {
    {"unchanged", kWin, 31, kOld, kOld, {}, {}, ""},
    {"one skin changed", kWin, 31, kOld, {"Quillmon.exe=v1", "skin/a.bmp=a1", "skin/b.bmp=b2", "logo/l.png=l1"},
     {"skin/b.bmp"}, {}, "[cltskin]\r\nfilelist=b.bmp\r\n"},
    {"a new logo", kPosix, 31, kOld, With(kOld, {"logo/m.png=m"}), {"logo/m.png"}, {},
     "[cltlogo]\r\nfilelist=m.png\r\n"},
    {"the main file changed, a new skin in a directory there", kWin, 31, With(kOld, {"skin/big/"}),
     {"Quillmon.exe=v2", "skin/a.bmp=a1", "skin/b.bmp=b1", "logo/l.png=l1", "skin/big/c.bmp=c"},
     {"skin/big/c.bmp", "Quillmon.exe"}, {}, "[cltskin]\r\nfilelist=big\\c.bmp\r\n[cltmain]\r\nmainfile=Quillmon.exe\r\n"},
    {"a full update from an empty OLD", kPosix, 31, {}, kOld, {"skin/a.bmp", "skin/b.bmp", "logo/l.png", "Quillmon.exe"},
     {}, "[cltskin]\r\nfilelist=a.bmp,b.bmp\r\n[cltlogo]\r\nfilelist=l.png\r\n[cltmain]\r\nmainfile=Quillmon.exe\r\n"},
    {"a deleted file; a file outside skin/, logo/ and the main file", kPosix, 31, With(kOld, {"readme.txt=r"}),
     With(kOld, {"notes.txt=n"}), {}, {"notes.txt", "readme.txt"}, ""},
    {"new directories, one empty; a directory gone", kWin, 31, With(kOld, {"skin/old/"}),
     With(kOld, {"skin/dark/a.bmp=d", "logo/empty/"}), {}, {"logo/empty", "skin/dark", "skin/old"}, ""},
    {"a name with a comma, one with a line end", kPosix, 31, kOld,
     With(kOld, {"skin/a,b.bmp=ab", "skin/c.bmp=c", "skin/d\r\n[cltmain].bmp=d"}), {"skin/c.bmp"},
     {"skin/a,b.bmp", "skin/d\r\n[cltmain].bmp"}, "[cltskin]\r\nfilelist=c.bmp\r\n"},
    {"GBK names, one with a trail byte 0x5C, one not GBK", kWin, 31, kOld,
     With(kOld, {"skin/\xB0\xB4\xC5\xA5.bmp=k", "logo/\x81\x5C.png=t", "logo/\xFF.png=f"}),
     {"skin/\xB0\xB4\xC5\xA5.bmp", "logo/\x81\x5C.png"}, {"logo/\xFF.png"},
     "[cltskin]\r\nfilelist=\xB0\xB4\xC5\xA5.bmp\r\n[cltlogo]\r\nfilelist=\x81\x5C.png\r\n"},
    {"names Windows cannot take: case twins, a trailing dot, the scratch file, a device", kWin, 31,
     With(kOld, {"skin/A.bmp=a1"}),
     With(kOld, {"skin/A.bmp=a2", "logo/m.png.=m", "skin/.relayhive.tmp=s", "logo/aux.png=x"}), {},
     {"logo/aux.png", "logo/m.png.", "skin/.relayhive.tmp", "skin/A.bmp", "skin/a.bmp"}, ""},
    // Windows ignores the case of fullwidth and Greek letters too: one file each on the target.
    {"case twins beyond ASCII in code page 936", kWin, 31, kOld,
     With(kOld, {"skin/\xA3\xC1.bmp=1", "skin/\xA3\xE1.bmp=2", "skin/\xA6\xA1.bmp=3", "skin/\xA6\xC1.bmp=4"}), {},
     {"skin/\xA3\xC1.bmp", "skin/\xA3\xE1.bmp", "skin/\xA6\xA1.bmp", "skin/\xA6\xC1.bmp"}, ""},
    {"Western European names in code page 1252, a superscript device", kWin, 31, kOld,
     With(kOld, {"skin/th\xE9.bmp=t", "logo/COM\xB9.png=c"}), {"skin/th\xE9.bmp"}, {"logo/COM\xB9.png"},
     "[cltskin]\r\nfilelist=th\xE9.bmp\r\n", 1252},
    {"Japanese names in code page 932: a trail byte '\\', one-byte katakana", kWin, 31, kOld,
     With(kOld, {"skin/\x95\x5C.bmp=h", "logo/\xB1.png=k"}), {"skin/\x95\x5C.bmp", "logo/\xB1.png"}, {},
     "[cltskin]\r\nfilelist=\x95\x5C.bmp\r\n[cltlogo]\r\nfilelist=\xB1.png\r\n", 932},
    {"the same names on Linux", kPosix, 31, With(kOld, {"skin/A.bmp=a1"}),
     With(kOld, {"skin/A.bmp=a2", "logo/m.png.=m", "logo/aux.png=x"}), {"skin/A.bmp", "logo/aux.png", "logo/m.png."},
     {}, nullptr},
    {"a name too long at a deep install directory", kWin, 220, kOld,
     With(kOld, {"skin/a-skin-name-of-forty-bytes-or-so.bmp=n", "skin/short.bmp=s"}), {"skin/short.bmp"},
     {"skin/a-skin-name-of-forty-bytes-or-so.bmp"}, "[cltskin]\r\nfilelist=short.bmp\r\n"},
    {"two files staged as one", kWin, 31, kOld, With(kOld, {"skin/n.png=s", "logo/n.png=l", "skin/autoupdate.ini=m"}),
     {"logo/n.png"}, {"skin/autoupdate.ini", "skin/n.png"}, "[cltlogo]\r\nfilelist=n.png\r\n"},
    // relayhive removes a leftover scratch file before it copies into that directory, and cannot copy past a directory of that name.
    {"what relayhive takes for its scratch file, by name or short name", kWin, 31,
     With(kOld, {"skin/.RELAYHIVE.TMP=left", "logo/.relayhive.tmp/"}),
     {"Quillmon.exe=v1", "skin/a.bmp=a2", "skin/b.bmp=b1", "logo/l.png=l1", "skin/.RELAYHIVE.TMP=left",
      "logo/.relayhive.tmp/", "skin/RELAYH~1.TMP=x"},
     {"skin/a.bmp"}, {"logo/.relayhive.tmp", "skin/.RELAYHIVE.TMP", "skin/RELAYH~1.TMP"}, nullptr},
    {"directories that differ only in case, a file where download/ needs a directory, a link", kWin, 31,
     With(kOld, {"skin/Dark/", "skin/dark/", "logo/x/"}),
     {"Quillmon.exe=v1", "skin/a.bmp=a1", "logo/l.png=l1", "skin/Dark/a.bmp=1", "skin/dark/b.bmp=2", "skin/x=f",
      "logo/x/y.png=g", "logo/l2.png@"},
     {"skin/Dark/a.bmp", "skin/dark/b.bmp", "logo/x/y.png"},
     {"logo/l2.png", "skin/Dark", "skin/b.bmp", "skin/dark", "skin/x"}, nullptr},
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.title; }

// The options a case stages with; false when this system has no converter for its code page.
bool OptionsOf(const Case& c, StageOptions* options) {
    options->style = c.style;
    options->installDirLength = c.installDirLength;
    return LoadCodePage(c.style == kWin ? c.codePage : kUtf8CodePage, &options->codePage);
}

class StageTest : public testing::TestWithParam<Case> {};

TEST_P(StageTest, StagesWhatDiffersAndProvesIt) {
    const Case& c = GetParam();
    StageOptions options;
    ASSERT_TRUE(OptionsOf(c, &options));
    Pair trees(c.old, c.release);
    const Staging staging = DecideStaging(trees.base, trees.release, options, &trees.contents);

    std::vector<std::string> staged;
    for (const StagedFile& file : staging.files) staged.push_back(file.file);
    EXPECT_EQ(staged, c.staged);
    std::vector<std::string> errors;
    for (const StageError& error : staging.errors) errors.push_back(error.file);
    EXPECT_EQ(errors, c.errors);
    if (c.manifest != nullptr) {
        EXPECT_EQ(staging.manifest, c.manifest);
    }

    // relayhive's plan on OLD with the staged download/ reproduces NEW but where an error says why.
    const Proof proof = ProveStaging(trees.base, trees.release, staging, options, &trees.contents);
    EXPECT_EQ(proof.defects, std::vector<std::string>());
    EXPECT_EQ(Reproduces(staging, proof, false), c.errors.empty());
    EXPECT_EQ(proof.differences.empty(), c.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Pairs, StageTest, testing::ValuesIn(kCases));

// A UTF-8 name is valid GBK too, and names another file on Windows: a warning, which --strict makes fail.
TEST(StageStrictTest, WarningsFailOnlyWhenStrict) {
    StageOptions options;
    options.style = kWin;
    ASSERT_TRUE(LoadCodePage(936, &options.codePage));
    Pair trees(kOld, With(kOld, {"skin/\xE4\xB8\xAD\xE6\x96\x87.bmp=n"}));
    const Staging staging = DecideStaging(trees.base, trees.release, options, &trees.contents);
    const Proof proof = ProveStaging(trees.base, trees.release, staging, options, &trees.contents);
    EXPECT_TRUE(Reproduces(staging, proof, false));
    EXPECT_FALSE(Reproduces(staging, proof, true));
}

TEST(StageLayoutTest, WineKeepsTheCharactersUtf8) {
    StageOptions options;
    options.style = kWin;
    ASSERT_TRUE(LoadCodePage(932, &options.codePage));
    EXPECT_EQ("\x95\x5C/\xB1.bmp", SpeltOnDisk("\x95\x5C/\xB1.bmp", options));
    EXPECT_EQ("autoupdate.ini", SpeltOnDisk("autoupdate.ini", options));
    options.layout = Layout::kWine;
    EXPECT_EQ("\xE8\xA1\xA8/\xEF\xBD\xB1.bmp", SpeltOnDisk("\x95\x5C/\xB1.bmp", options));
}

// On disk: files compared past the first block, a size past 4 GiB on every build, the staged
// copy and the manifest written last through a scratch file that does not stay.
TEST(StageOnDisk, ComparesCopiesAndWritesTheManifestLast) {
    testing_support::ScratchDir scratch;
    const std::string block(os::kBlockSize, 'b');
    for (const char* tree : {"old", "new"}) {
        std::filesystem::create_directories(scratch.Path(tree) + "/skin");
        std::filesystem::create_directories(scratch.Path(tree) + "/logo");
        scratch.Write(std::string(tree) + "/skin/same.bmp", block + "same");
        scratch.Write(std::string(tree) + "/skin/late.bmp", block + tree);  // "old" and "new": one size
        // Listed depth first, "a/b" may come before "a.b"; in byte order it comes after.
        std::filesystem::create_directories(scratch.Path(tree) + "/skin/a");
        scratch.Write(std::string(tree) + "/skin/a/b", "b");
        scratch.Write(std::string(tree) + "/skin/a.b", "a");
    }
    std::filesystem::create_directories(scratch.Path("big"));
    scratch.Write("big/huge.bmp", "");
    std::filesystem::resize_file(scratch.Path("big/huge.bmp"), (std::uint64_t{1} << 32) + 3);
    ReleaseTree old;
    ReleaseTree release;
    ReleaseTree big;
    std::string error;
    ASSERT_TRUE(ReadReleaseTree(scratch.Path("old"), &old, &error)) << error;
    ASSERT_TRUE(ReadReleaseTree(scratch.Path("new"), &release, &error)) << error;
    ASSERT_TRUE(ReadReleaseTree(scratch.Path("big"), &big, &error)) << error;
    ASSERT_EQ(1u, big.files.count("huge.bmp"));
    EXPECT_EQ((std::uint64_t{1} << 32) + 3, big.files.find("huge.bmp")->second);
    std::vector<std::string> paths;
    for (const auto& entry : release.files) paths.push_back(entry.first);
    EXPECT_EQ((std::vector<std::string>{"skin/a.b", "skin/a/b", "skin/late.bmp", "skin/same.bmp"}), paths);
    for (const std::string& path : paths) EXPECT_EQ(path, release.files.find(path)->first);

    HostContents contents;
    StageOptions options;
    const Staging staging = DecideStaging(old, release, options, &contents);
    ASSERT_EQ(1u, staging.files.size());
    EXPECT_EQ("skin/late.bmp", staging.files[0].file);
    EXPECT_TRUE(Reproduces(staging, ProveStaging(old, release, staging, options, &contents), false));
    EXPECT_EQ("", contents.error());

    bool made = false;
    const std::string download = scratch.Path("download");
    std::vector<os::FileDigest256> digests;
    ASSERT_TRUE(CopyStagedFiles(download, staging, release, options, &made, &digests, &error)) << error;
    EXPECT_EQ(block + "new", scratch.Read("download/late.bmp"));
    ASSERT_EQ(1u, digests.size());
    os::FileDigest256 read;
    bool irregular = false;
    ASSERT_TRUE(os::DigestFile(scratch.Path("download/late.bmp").c_str(), &read, &irregular));
    EXPECT_EQ(read.size, digests[0].size);
    EXPECT_EQ(0, std::memcmp(read.sha256, digests[0].sha256, os::kSha256Size));
    ASSERT_TRUE(WriteManifest(download, staging.manifest, &error)) << error;
    EXPECT_EQ(staging.manifest, scratch.Read("download/autoupdate.ini"));
    EXPECT_FALSE(scratch.Exists("download/.relayhive.tmp"));
    // A second run over the first's download/ says why, and that it made nothing.
    EXPECT_FALSE(CopyStagedFiles(download + "/late.bmp", staging, release, options, &made, &digests, &error));
    EXPECT_FALSE(made);
}

// The digest section, appended to the manifest, gives relayhive each staged file's own digest,
// in its group's order, whatever the names.
TEST(StageDigests, RelayhiveReadsEachFilesOwnDigest) {
    Pair trees(kOld, With(kOld, {"skin/z;#[.bmp=z", "skin/c.bmp=c", "Quillmon.exe=v2"}));
    StageOptions options;
    options.style = kPosix;
    const Staging staging = DecideStaging(trees.base, trees.release, options, &trees.contents);
    std::vector<os::FileDigest256> digests(staging.files.size());
    for (std::size_t i = 0; i < digests.size(); ++i) digests[i].size = staging.files[i].file.size();
    const std::string manifest = staging.manifest + DigestSectionText(staging.files, digests);
    CIniFile ini{std::string()};
    LoadOutcome load;
    ScanManifest(manifest, false, &ini, &load);
    ASSERT_TRUE(CarriesDigests(ini));
    std::vector<std::uint64_t> sizes;
    for (PlanGroup group : {PlanGroup::kSkin, PlanGroup::kLogo, PlanGroup::kMain}) {
        for (const ListedDigest& listed : ListedDigests(RuleOf(group), ini)) sizes.push_back(listed.file.size);
    }
    EXPECT_EQ((std::vector<std::uint64_t>{std::string("skin/c.bmp").size(), std::string("skin/z;#[.bmp").size(),
                                          std::string("Quillmon.exe").size()}),
              sizes)
        << manifest;
}

// The heading names the install directory only where its length counts (Windows); counts agree in number.
TEST(StageReportTest, HeadingAndCounts) {
    struct Shown {
        const char* title;  // a row of kCases
        const char* heading;
        const char* proof;
        const char* last;
        const char* installDirLength;  // in the JSON
    };
    const Shown rows[] = {
        {"a name too long at a deep install directory", "target windows, code page 936, layout windows, install directory of 220 bytes",
         "proof: does not reproduce NEW, 6 files compared, 1 differs", "1 staged, 1 error", "220"},
        {"a new logo", "target linux, code page utf-8", "proof: reproduces NEW, 5 files compared, 0 differ",
         "1 staged, 0 errors", "null"},
    };
    for (const Shown& row : rows) {
        const Case* found = std::find_if(std::begin(kCases), std::end(kCases),
                                         [&](const Case& known) { return std::string(known.title) == row.title; });
        ASSERT_NE(std::end(kCases), found) << row.title;
        const Case& c = *found;
        StageOptions options;
        ASSERT_TRUE(OptionsOf(c, &options));
        Pair trees(c.old, c.release);
        const Staging staging = DecideStaging(trees.base, trees.release, options, &trees.contents);
        const Proof proof = ProveStaging(trees.base, trees.release, staging, options, &trees.contents);
        const std::string text = RenderStageText({options, staging, proof});
        EXPECT_EQ(0u, text.find(std::string("relayhive-stage: ") + row.heading + "\nstaged:\n")) << text;
        EXPECT_NE(std::string::npos, text.find(std::string("\n") + row.proof + "\n")) << text;
        EXPECT_EQ(std::string(row.last) + "\n", text.substr(text.rfind('\n', text.size() - 2) + 1)) << text;
        EXPECT_NE(std::string::npos,
                  RenderStageJson({options, staging, proof}).find(std::string("\"install_dir_length\": ") +
                                                                  row.installDirLength + ","));
    }
}

TEST(StageArgumentsTest, DefaultsFollowTheTargetAndBadUsageIsRefused) {
    struct Line {
        std::vector<std::string> arguments;
        bool run;
        PathStyle style;
        unsigned codePage;
        std::size_t installDirLength;
    };
    const Line lines[] = {
        {{"o", "n", "x"}, true, kWin, 932u, kDefaultInstallDirLength},
        {{"--target=linux", "o", "n", "x"}, true, kPosix, kUtf8CodePage, kDefaultInstallDirLength},
        {{"--code-page", "utf-8", "--install-dir-length", "3", "o", "n", "x"}, true, kWin, kUtf8CodePage, 3},
        {{"--target", "linux", "--install-dir-length=1", "o", "n", "x"}, true, kPosix, kUtf8CodePage, 1},
        {{"--install-dir-length", "2", "o", "n", "x"}, false, kWin, 936u, 0},
        {{"--install-dir-length", "-1", "o", "n", "x"}, false, kWin, 936u, 0},
        {{"--install-dir-length", "+52", "o", "n", "x"}, false, kWin, 936u, 0},
        {{"--target", "mac", "o", "n", "x"}, false, kWin, 936u, 0},
        {{"o", "n"}, false, kWin, 936u, 0},
        {{"--json", "--", "-o", "--help", "x"}, true, kWin, 932u, kDefaultInstallDirLength},
        {{"--", "o", "n", "x", "--"}, false, kWin, 936u, 0},
        {{"--install-dir-length"}, false, kWin, 936u, 0},
        {{"--layout", "wine", "o", "n", "x"}, false, kWin, 936u, 0},  // a Windows host spells names its own way
    };
    for (const Line& line : lines) {
        const StageArguments parsed = ParseStageArguments(line.arguments, Host{kWin, 932});
        SCOPED_TRACE(testing::PrintToString(line.arguments));
        ASSERT_EQ(line.run, parsed.outcome == StageArguments::Outcome::kRun) << parsed.error;
        if (!line.run) continue;
        EXPECT_EQ(line.style, parsed.options.style);
        EXPECT_EQ(line.codePage, parsed.codePage);
        EXPECT_EQ(line.installDirLength, parsed.options.installDirLength);
        EXPECT_EQ(std::string("x"), parsed.out);
    }
    // Both tools word a refused value alike.
    for (const std::vector<std::string>& option : {std::vector<std::string>{"--layout"}, {"--target", "mac"}}) {
        std::vector<std::string> arguments = {"o", "n", "x"};
        arguments.insert(arguments.end(), option.begin(), option.end());
        const std::string error = ParseStageArguments(arguments, Host{kPosix, 0}).error;
        EXPECT_EQ(ParseCheckArguments(option, Host{kPosix, 0}).error, error);
        EXPECT_EQ(0u, error.find(option.size() == 1 ? "--layout needs a value" : "--target takes windows or linux, not 'mac'"));
    }
}

}  // namespace
