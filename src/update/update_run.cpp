#include "update/update_run.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "common/texts.h"
#include "ini/ini_file.h"
#include "os/os.h"
#include "process/client_process.h"
#include "update/payload.h"
#include "update/plan.h"
#include "update/report.h"
#include "update/transfer.h"

namespace {

constexpr unsigned kPauseMilliseconds = 1000;

// Runs one step; memory running out skips it with a report naming it, and the run goes on.
template <typename Step>
void Guarded(const std::string& what, Step&& step) {
    try {
        step();
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        ReportError(what.c_str());
    }
}

// The working directory as the paths begin with it.
std::string WorkingDirectoryText(PathStyle style) {
    std::vector<char> buffer(PathBufferSize(style));
    // Unknown, every path would start at the root: "." still names the install directory.
    if (!os::GetWorkingDirectory(buffer.data(), buffer.size())) return ".";
    return std::string(buffer.data());
}

// Takes one step; true when it moved a file into place. listed: what the copied bytes must be.
bool CarryOut(const PlanStep& step, const ListedDigest* listed) {
    switch (step.kind) {
        case StepKind::kRefuse:
            ReportRefusal(step.reported.c_str(), step.reason);
            return false;
        case StepKind::kTooLong:
            ReportMessage(step.reported.c_str(), texts::kTooLong);
            return false;
        case StepKind::kPause:
            os::SleepMilliseconds(kPauseMilliseconds);
            return false;
        case StepKind::kCopy:
            break;
    }
    bool irregular = false;
    FILE* staged = os::fileCalls.openStaged(step.source.c_str(), &irregular);
    if (staged == nullptr) {
        if (irregular) {
            ReportMessage(step.source.c_str(), texts::kNotRegularFile);
        } else {
            ReportError(step.source.c_str());
        }
        return false;
    }
    return TransferFile(step.destination.c_str(), step.scratch.c_str(), staged, step.source.c_str(), listed) ==
           kTransferred;
}

// Every group of the plan in order, each planned just before it is carried out.
void CarryOutUpdate(const std::string& workingDirectory, const CIniFile& manifest, PathStyle style,
                    const LeadBytes& lead) {
    for (const GroupRule& group : kGroupRules) {
        std::vector<PlanStep> steps;
        // With digests, each copy of the group must be its listed file (none listed: none copied).
        const bool checked = group.digestKey != nullptr && CarriesDigests(manifest);
        std::vector<ListedDigest> listed;
        Guarded(group.section != nullptr ? group.section : texts::kManifestName, [&] {
            steps = PlanGroupSteps(group.group, workingDirectory, manifest, style, lead);
            if (checked) listed = ListedDigests(group, manifest);
        });
        const ListedDigest unlisted;  // a step past the entries read: its copy is refused
        // The directories renamed into during the group: each is flushed once, at the group's end.
        std::vector<std::string> renamed;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const PlanStep& step = steps[i];
            Guarded(step.source, [&] {
                if (!CarryOut(step, !checked ? nullptr : i < listed.size() ? &listed[i] : &unlisted)) return;
                std::string directory = DirectoryOf(step.destination, style, lead);
                if (std::find(renamed.begin(), renamed.end(), directory) == renamed.end()) {
                    renamed.push_back(std::move(directory));
                }
            });
        }
        for (const std::string& directory : renamed) os::fileCalls.flushDirectory(directory.c_str());
    }
}

// With digests in the manifest, every file the run copies is read and compared before the
// client is stopped: one that does not match stops the run there, nothing copied. A manifest
// without them is read here quietly and changes nothing.
bool DownloadMatches() {
    const PathStyle style = NativePathStyle();
    std::string manifestPath;
    bool carries = false;
    try {
        const std::string workingDirectory = WorkingDirectoryText(style);
        const ManifestPath path = PlanManifestPath(workingDirectory, style);
        if (!path.fits) return true;
        manifestPath = path.path;
        CIniFile manifest(manifestPath);
        manifest.LoadQuietly();
        carries = CarriesDigests(manifest);
        if (!carries || PayloadMatches(workingDirectory, manifest, style, NativeLeadBytes())) return true;
    } catch (const std::bad_alloc&) {
        if (!carries) return true;  // unknown whether it lists digests: the run goes on as it would have
        errno = ENOMEM;
        ReportError(manifestPath.c_str());
    }
    ReportMessage(manifestPath.c_str(), texts::kNothingCopied);
    return false;
}

}  // namespace

int RunUpdate(int, char**, char**) {
    os::OutliveClientSession();
    if (!os::ClaimSingleInstance(texts::kInstanceName)) {
        std::fputs(texts::kSecondInstance, stdout);
        return 0;
    }
    if (!DownloadMatches()) return 0;

    int terminated = 0;  // a process list that could not be taken stops the run
    Guarded(texts::kClientImageName, [&] { terminated = TerminateClient(); });
    os::Trace(texts::kTraceKilled);
    if (terminated == 0) return 0;
    os::Trace(texts::kTraceNotRunning);

    std::snprintf(clientCommandLine, sizeof clientCommandLine, "%s", texts::kClientCommandLine);

    // The platform's rules for every path the run forms.
    const PathStyle style = NativePathStyle();
    const LeadBytes lead = NativeLeadBytes();
    Guarded(texts::kManifestName, [&] {
        const std::string workingDirectory = WorkingDirectoryText(style);
        const ManifestPath manifestPath = PlanManifestPath(workingDirectory, style);
        // A path that does not fit is not opened; the manifest's own copy reports it.
        CIniFile manifest(manifestPath.fits ? manifestPath.path : std::string());
        LoadOutcome load;
        manifest.Load(&load);
        if (load.stop == LoadStop::kOutOfMemory) {
            errno = ENOMEM;
            ReportError(manifestPath.path.c_str());
        }
        CarryOutUpdate(workingDirectory, manifest, style, lead);
    });

    os::Trace(texts::kTraceUpdateComplete);
    LaunchClientAndWait();
    return 0;
}
