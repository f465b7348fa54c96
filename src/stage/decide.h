// What a staged update holds, decided from two release trees alone: the files
// that differ, the manifest that lists them, and every difference relayhive
// cannot carry, each an error naming the file. Pure.
#ifndef RELAYHIVE_STAGE_DECIDE_H
#define RELAYHIVE_STAGE_DECIDE_H

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "os/os.h"
#include "stage/tree.h"
#include "target/name.h"
#include "update/plan.h"

// "C:\Users\<20 characters>\AppData\Local\Quillmon": the per-user install
// directory the integrators' guide recommends, with Windows' longest user name.
inline constexpr std::size_t kDefaultInstallDirLength = 52;

struct StageOptions {
    PathStyle style = PathStyle::kPosix;
    CodePage codePage;                 // how the target reads names (NEW's names are its bytes)
    Layout layout = Layout::kWindows;  // how download/ spells them on disk
    std::size_t installDirLength = kDefaultInstallDirLength;
    bool strict = false;  // relayhive-check's warnings count as errors
};

// The shortest install directory a target can have: "C:\" or "/".
std::size_t ShortestInstallDirectory(PathStyle style);
// An install directory of options.installDirLength bytes as the target spells it.
std::string InstallDirectoryOf(const StageOptions& options);

struct StagedFile {
    PlanGroup group;     // kSkin, kLogo or kMain
    std::string file;    // in NEW
    std::string name;    // as the manifest gives it: the target's separators
    std::string staged;  // below download/, '/' between components
};

struct StageError {
    std::string file;  // in NEW or OLD, or the directory that is new
    std::string message;
};

struct Staging {
    std::vector<StagedFile> files;   // in the manifest's order
    std::vector<StageError> errors;  // by file, then message
    std::string manifest;            // the bytes of download/autoupdate.ini
};

// A staged path ('/' between components) as the layout spells it on the host's disk; every
// staged name is one the code page reads, so the spelling never fails.
std::string SpeltOnDisk(const std::string& staged, const StageOptions& options);

// OLD as the update starts from: an empty OLD is a full update, into an
// installation that has NEW's directories and no files. Taken by value: OLD moves in, not copied.
ReleaseTree InstalledBase(ReleaseTree old, const ReleaseTree& release);

// contents tells which files of NEW differ from OLD's.
Staging DecideStaging(const ReleaseTree& base, const ReleaseTree& release, const StageOptions& options,
                      Contents* contents);

// The manifest's digest section: for each group, the size and SHA-256 of its files in the
// manifest's order; digests holds one for each of files, in their order.
std::string DigestSectionText(const std::vector<StagedFile>& files, const std::vector<os::FileDigest256>& digests);

// True when an error accounts for a difference at path: it names path, a directory above it, or the manifest.
bool Explains(const std::vector<StageError>& errors, const std::string& path);

#endif
