// A staged installation as relayhive-check sees it: relayhive's plan for it,
// the manifest read both ways, and the file facts each step depends on.
// Also the pure rules that map between the target's paths and the host's.
#ifndef RELAYHIVE_CHECK_INSTALLATION_H
#define RELAYHIVE_CHECK_INSTALLATION_H

#include <string>
#include <vector>

#include "check/code_page.h"
#include "check/manifest_scan.h"
#include "ini/ini_file.h"
#include "update/path_style.h"
#include "update/plan.h"

// What opening a path for reading finds.
enum class FileState { kFile, kMissing, kUnreadable, kDirectory };

// The facts a copy step depends on (all kFile / true / false for other steps).
struct StepFacts {
    FileState source = FileState::kFile;
    bool destinationDirectoryExists = true;
    bool destinationIsDirectory = false;
};

struct Installation {
    PathStyle style = PathStyle::kPosix;
    CodePage codePage = CodePage::kUtf8;
    LeadBytes lead;  // the double-byte characters of codePage, for a Windows target
    std::string workingDirectory;  // as relayhive spells it there
    FileState manifest = FileState::kFile;
    bool manifestFits = true;  // the manifest path fits its buffer
    LoadOutcome load;          // the loader's own outcome on the manifest
    ManifestScan scan;
    std::vector<PlanStep> plan;    // PlanUpdate on the loaded manifest
    std::vector<StepFacts> facts;  // one per plan step
    // Every file below download/, relative to it, '/' between components.
    std::vector<std::string> staged;
};

// The directory relayhive would work in when started in a directory whose
// absolute path the host spells hostAbsolute: the same path as the target
// spells it on this machine (Z: under Wine for a Windows target on a POSIX
// host), or "." when that does not fit the target's buffer, as relayhive does.
std::string TargetWorkingDirectory(const std::string& hostAbsolute, PathStyle host, PathStyle target);

// The part of a plan path after the working directory and its separator.
std::string RelativeToWorkingDirectory(const std::string& path, const std::string& workingDirectory);

// The components of a relative path that the target's file system looks up:
// split on the target's separators, empty and "." components dropped, and on
// Windows each component without the trailing dots and blanks it ignores.
std::vector<std::string> TargetComponents(const std::string& relative, PathStyle style);

// A key under which two relative names find the same file on the target:
// its components joined with '/', case-folded on Windows.
std::string SameFileKey(const std::string& relative, PathStyle style);

#endif
