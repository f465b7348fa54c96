// A staged installation as relayhive-check sees it: relayhive's plan, the manifest read both ways
// and the file facts each step depends on.
#ifndef RELAYHIVE_CHECK_INSTALLATION_H
#define RELAYHIVE_CHECK_INSTALLATION_H

#include <string>
#include <vector>

#include "check/manifest_scan.h"
#include "ini/ini_file.h"
#include "target/name.h"
#include "update/payload.h"
#include "update/plan.h"

// What opening a path for reading finds. kIrregular: a pipe, a device or a socket, which
// relayhive refuses; kNameTooLong: a component longer than the file system holds.
enum class FileState { kFile, kMissing, kUnreadable, kDirectory, kIrregular, kNameTooLong };

// The facts a copy step depends on (all kFile / true / false for other steps),
// for the user the check runs as.
struct StepFacts {
    FileState source = FileState::kFile;
    bool destinationDirectoryExists = true;
    bool destinationIsDirectory = false;
    bool destinationWritable = true;  // an existing destination may be written
    bool scratchIsDirectory = false;  // a directory stands where the scratch file goes
    bool directoryWritable = true;    // files may be made and removed in the destination's directory
};

// How the manifest's bytes stand to the lines the loader reads.
enum class ManifestForm {
    kAsRead,               // lines end in LF or CR LF
    kLoneCarriageReturns,  // CR alone ends lines, which the loader reads as one
    kUtf16,                // a UTF-16 byte order mark, FF FE or FE FF
};

struct Installation {
    PathStyle style = PathStyle::kPosix;
    CodePage codePage;  // how the target reads names
    Layout layout = Layout::kWindows;  // how a Windows target's names are spelt on this host
    std::string workingDirectory;  // as relayhive spells it there
    std::string hostRoot;          // the installation's directory as this host looks it up
    FileState manifest = FileState::kFile;
    bool manifestFits = true;  // the manifest path fits its buffer
    LoadOutcome load;          // the loader's own outcome on the manifest
    ManifestScan scan;
    ManifestForm form = ManifestForm::kAsRead;
    ManifestScan asMeant;  // unless kAsRead: the lines the author meant, as the loader would read them
    std::vector<PlanStep> plan;    // PlanUpdate on the loaded manifest
    std::vector<StepFacts> facts;  // one per plan step
    bool digests = false;  // the manifest lists digests: relayhive checks every file first
    // One per plan step: what the digest section lists for its staged file (unlisted: nothing).
    std::vector<ListedDigest> listed;
    // One per plan step: why its staged file is not what the digests list ("does not match the
    // manifest: ..."), or "" when it is or is not checked.
    std::vector<std::string> payload;
    // Every file below download/, relative to it, '/' between components, as the target spells it.
    std::vector<std::string> staged;
    // Names below download/ (files and directories, as the host holds them) that no name in the
    // target's code page reaches: under Wine, bytes that are neither UTF-8 nor the code page's.
    std::vector<std::string> unspellable;
};

#endif
