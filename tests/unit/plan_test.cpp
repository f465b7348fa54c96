// The plan: what the update run will do, decided without touching a file,
// for either platform's path style.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ini/ini_file.h"
#include "update/payload.h"
#include "update/plan.h"

namespace {

CIniFile Manifest(const char* skins, const char* logos, const char* main) {
    CIniFile ini("");
    if (skins != nullptr) ini.PutValue("cltskin", "filelist", skins, true);
    if (logos != nullptr) ini.PutValue("CltLogo", "FileList", logos, true);
    if (main != nullptr) ini.PutValue("cltmain", "mainfile", main, true);
    return ini;
}

// One expected step, field by field; the fields a kind does not set are empty.
struct Expected {
    StepKind kind;
    std::string source;
    std::string destination;
    std::string reported;
    std::string reason;
};

Expected Copy(const std::string& source, const std::string& destination) {
    return {StepKind::kCopy, source, destination, "", ""};
}
Expected Refuse(const std::string& source, const std::string& reason) {
    return {StepKind::kRefuse, source, "", source, reason};
}
const Expected kPause{StepKind::kPause, "", "", "", ""};

void ExpectStep(const Expected& expected, const PlanStep& step, std::size_t index) {
    EXPECT_EQ(expected.kind, step.kind) << "step " << index;
    EXPECT_EQ(expected.source, step.source) << "step " << index;
    EXPECT_EQ(expected.destination, step.destination) << "step " << index;
    EXPECT_EQ(expected.reported, step.reported) << "step " << index;
    EXPECT_EQ(expected.reason, step.reason == nullptr ? "" : step.reason) << "step " << index;
}

void ExpectPlan(const std::vector<Expected>& expected, const std::vector<PlanStep>& plan) {
    ASSERT_EQ(expected.size(), plan.size());
    for (std::size_t i = 0; i < plan.size(); ++i) ExpectStep(expected[i], plan[i], i);
}

TEST(Plan, ExampleManifestInBothStyles) {
    const CIniFile ini = Manifest("background.bmp,button.bmp", "logo.png", "Quillmon.exe");
    ExpectPlan({Copy("D:\\app\\download\\background.bmp", "D:\\app\\skin\\background.bmp"),
                Copy("D:\\app\\download\\button.bmp", "D:\\app\\skin\\button.bmp"),
                Copy("D:\\app\\download\\logo.png", "D:\\app\\logo\\logo.png"),
                Copy("D:\\app\\download\\autoupdate.ini", "D:\\app\\autoupdate.ini"),
                kPause,
                Copy("D:\\app\\download\\Quillmon.exe", "D:\\app\\Quillmon.exe")},
               PlanUpdate("D:\\app", ini, PathStyle::kWindows, {}));
    ExpectPlan({Copy("/srv/app/download/background.bmp", "/srv/app/skin/background.bmp"),
                Copy("/srv/app/download/button.bmp", "/srv/app/skin/button.bmp"),
                Copy("/srv/app/download/logo.png", "/srv/app/logo/logo.png"),
                Copy("/srv/app/download/autoupdate.ini", "/srv/app/autoupdate.ini"),
                kPause,
                Copy("/srv/app/download/Quillmon.exe", "/srv/app/Quillmon.exe")},
               PlanUpdate("/srv/app", ini, PathStyle::kPosix, {}));
    // At a drive root the separator is doubled, as the system returns the root with one.
    ExpectPlan({Copy("C:\\\\download\\logo.png", "C:\\\\logo\\logo.png")},
               PlanGroupSteps(PlanGroup::kLogo, "C:\\", ini, PathStyle::kWindows, {}));
}

TEST(Plan, ListShapesAndMissingGroups) {
    // Commas only separate: no empty names, blanks kept, duplicates copied twice;
    // the main file is one name, commas and all.
    const CIniFile ini = Manifest(",a.bmp,, b.bmp ,a.bmp,", ",,,", "Quill,mon.exe");
    ExpectPlan({Copy("/a/download/a.bmp", "/a/skin/a.bmp"),
                Copy("/a/download/ b.bmp ", "/a/skin/ b.bmp "),
                Copy("/a/download/a.bmp", "/a/skin/a.bmp"),
                Copy("/a/download/autoupdate.ini", "/a/autoupdate.ini"), kPause,
                Copy("/a/download/Quill,mon.exe", "/a/Quill,mon.exe")},
               PlanUpdate("/a", ini, PathStyle::kPosix, {}));
    // Nothing to read: the manifest copy and the pause remain.
    ExpectPlan({Copy("/a/download/autoupdate.ini", "/a/autoupdate.ini"), kPause},
               PlanUpdate("/a", Manifest("", nullptr, ""), PathStyle::kPosix, {}));
}

TEST(Plan, HostileNamesAreRefusedWithTheSourcePath) {
    const CIniFile ini = Manifest("ok.bmp,../x.bmp,NUL.bmp,.relayhive.tmp", nullptr, "..\\evil.exe");
    ExpectPlan({Copy("D:\\a\\download\\ok.bmp", "D:\\a\\skin\\ok.bmp"),
                Refuse("D:\\a\\download\\../x.bmp", "'..' would leave the install directory"),
                Refuse("D:\\a\\download\\NUL.bmp", "name of a system device"),
                Refuse("D:\\a\\download\\.relayhive.tmp", "name of relayhive's scratch file"),
                Copy("D:\\a\\download\\autoupdate.ini", "D:\\a\\autoupdate.ini"), kPause,
                Refuse("D:\\a\\download\\..\\evil.exe", "'..' would leave the install directory")},
               PlanUpdate("D:\\a", ini, PathStyle::kWindows, {}));
    // A device name is an ordinary file on Linux.
    const std::vector<PlanStep> posix = PlanUpdate("/a", ini, PathStyle::kPosix, {});
    ASSERT_LE(3u, posix.size());
    ExpectStep(Copy("/a/download/NUL.bmp", "/a/skin/NUL.bmp"), posix[2], 2);
}

TEST(Plan, PathsAtTheEdgeOfTheBuffer) {
    struct Case {
        PathStyle style;
        std::size_t buffer;
    };
    for (const Case& c : {Case{PathStyle::kWindows, 260}, Case{PathStyle::kPosix, 4096}}) {
        const std::string dir = c.style == PathStyle::kWindows ? "D:\\d" : "/d";
        const char sep = PathSeparator(c.style);
        const std::string name(20, 'n');
        // download/ is 4 bytes longer than skin/: the source is what reaches the edge.
        const std::size_t fixed = dir.size() + std::string("/download/").size();
        for (std::size_t length : {c.buffer - 1, c.buffer, c.buffer + 1}) {
            const std::string longName = std::string(length - fixed - name.size(), 'x') + name;
            const std::vector<PlanStep> plan =
                PlanGroupSteps(PlanGroup::kSkin, dir, Manifest(longName.c_str(), nullptr, nullptr), c.style, {});
            ASSERT_EQ(1u, plan.size());
            const std::string source = dir + sep + "download" + sep + longName;
            ASSERT_EQ(length, source.size());
            if (length < c.buffer) {
                EXPECT_EQ(StepKind::kCopy, plan[0].kind) << length;
            } else {
                EXPECT_EQ(StepKind::kTooLong, plan[0].kind) << length;
                EXPECT_EQ(source, plan[0].reported);
            }
        }
        // A short file name in a long subdirectory: the scratch path beside the
        // destination is longer than the source, and the destination is reported.
        const std::string subdir(c.buffer - fixed - 10, 's');
        const std::string shortName = subdir + sep + "a.bmp";
        const std::vector<PlanStep> plan = PlanGroupSteps(
            PlanGroup::kSkin, dir, Manifest(shortName.c_str(), nullptr, nullptr), c.style, {});
        EXPECT_EQ(StepKind::kTooLong, plan[0].kind);
        EXPECT_EQ(dir + sep + "skin" + sep + shortName, plan[0].reported);
    }
}

TEST(Plan, ScratchFileSitsBesideTheDestination) {
    // GBK "\xbb\x5c" is one character whose second byte is a '\': the scratch
    // file is not "<character>.relayhive.tmp", a name of its own.
    const CIniFile ini = Manifest("\xbb\x5c.bmp,sub\\\xbb\x5c", nullptr, nullptr);
    std::vector<std::string> scratch;
    for (const PlanStep& step : PlanGroupSteps(PlanGroup::kSkin, "D:\\a", ini, PathStyle::kWindows, LeadBytes::Gbk())) {
        scratch.push_back(step.scratch);
    }
    EXPECT_EQ((std::vector<std::string>{"D:\\a\\skin\\.relayhive.tmp", "D:\\a\\skin\\sub\\.relayhive.tmp"}),
              scratch);
    EXPECT_EQ("/a/skin/sub/.relayhive.tmp",
              PlanGroupSteps(PlanGroup::kSkin, "/a", Manifest("sub/b.bmp", nullptr, nullptr), PathStyle::kPosix, {})[0]
                  .scratch);
}

TEST(Plan, ManifestPathFitsItsOwnBuffer) {
    EXPECT_EQ("D:\\a\\download\\autoupdate.ini", PlanManifestPath("D:\\a", PathStyle::kWindows).path);
    EXPECT_TRUE(PlanManifestPath(std::string(259, 'd'), PathStyle::kWindows).fits);
    EXPECT_TRUE(PlanManifestPath("/" + std::string(4070, 'd'), PathStyle::kPosix).fits);
    EXPECT_FALSE(PlanManifestPath("/" + std::string(4072, 'd'), PathStyle::kPosix).fits);
}

// Digest entries line up with their group's names, split the same way; a malformed or missing
// entry leaves its name unlisted, and only a digest section asks for any.
TEST(Plan, DigestEntriesLineUpWithTheirNames) {
    const std::string a(64, 'a');
    const std::string upper(64, 'F');
    CIniFile ini = Manifest(",x.bmp,,y.bmp,z.bmp,", "l.png", "Quill,mon.exe");
    EXPECT_FALSE(CarriesDigests(ini));
    ini.PutValue("CltDigest", "Skin", ",5:" + a + ",,6:" + upper, true);
    ini.PutValue("cltdigest", "main", "7:" + a, true);
    ASSERT_TRUE(CarriesDigests(ini));
    const std::vector<ListedDigest> skins = ListedDigests(RuleOf(PlanGroup::kSkin), ini);
    ASSERT_EQ(3u, skins.size());
    EXPECT_TRUE(skins[0].listed && skins[0].file.size == 5 && skins[0].file.sha256[31] == 0xAA);
    EXPECT_TRUE(skins[1].listed && skins[1].file.size == 6 && skins[1].file.sha256[0] == 0xFF);
    EXPECT_FALSE(skins[2].listed);
    EXPECT_FALSE(ListedDigests(RuleOf(PlanGroup::kLogo), ini).at(0).listed);
    const std::vector<ListedDigest> main = ListedDigests(RuleOf(PlanGroup::kMain), ini);
    ASSERT_EQ(1u, main.size());  // one name, commas and all, one entry
    EXPECT_EQ(7u, main[0].file.size);
    EXPECT_TRUE(ListedDigests(RuleOf(PlanGroup::kManifest), ini).empty());

    os::FileDigest256 file;
    file.size = 18446744073709551615ull;
    file.sha256[0] = 0x0F;
    const std::string entry = DigestEntry(file);
    EXPECT_EQ("18446744073709551615:0f" + std::string(62, '0'), entry);
    os::FileDigest256 back;
    EXPECT_FALSE(ParseDigestEntry(entry, &back));  // 20 digits: more than a size here holds
    const std::vector<std::string> bad = {"5:" + a.substr(1), "5:" + a + "0", "-5:" + a, "5 :" + a,
                                          ":" + a, "5:" + std::string(63, 'a') + "g", "5;" + a, "5"};
    for (const std::string& entry : bad) {
        EXPECT_FALSE(ParseDigestEntry(entry, &back)) << entry;
    }
    EXPECT_TRUE(ParseDigestEntry("0012:" + a, &back));
    EXPECT_EQ(12u, back.size);
}

}  // namespace
