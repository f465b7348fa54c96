#include "check/survey.h"

#include "check/target.h"

#include <algorithm>

#include "common/ascii.h"
#include "common/texts.h"
#include "ini/ini_file.h"
#include "os/os.h"
#include "update/plan.h"

namespace {

// Directories below download/ deeper than this are not listed (a link loop would never end).
constexpr int kListingDepth = 16;

// Maps paths relative to the installation, as the target spells them, to the host's.
class HostPaths {
public:
    HostPaths(std::string root, PathStyle target) : root_(std::move(root)), target_(target) {}

    std::string Of(const std::string& relative) const {
        if (relative.empty()) return root_;
        if (target_ == NativePathStyle()) return JoinPath(root_, relative, target_);
        const PathStyle host = NativePathStyle();
        std::string path = root_;
        for (const std::string& component : TargetComponents(relative, target_)) {
            path =
                JoinPath(path, target_ == PathStyle::kWindows ? Resolve(path, component) : component, host);
        }
        return path;
    }

private:
    // A Windows target finds a name in any case: the entry of directory that
    // it would open, the exact spelling first.
    static std::string Resolve(const std::string& directory, const std::string& component) {
        std::vector<os::DirectoryEntry> entries;
        if (!os::ListDirectory(directory.c_str(), &entries)) return component;
        std::string found = component;
        bool exact = false;
        for (const os::DirectoryEntry& entry : entries) {
            if (entry.name == component) exact = true;
            if (!exact && ascii::EqualIgnoringCase(entry.name, component)) found = entry.name;
        }
        return exact ? component : found;
    }

    std::string root_;
    PathStyle target_;
};

FileState StateOf(const std::string& path) {
    switch (os::KindOfPath(path.c_str())) {
        case os::PathKind::kMissing:
            return FileState::kMissing;
        case os::PathKind::kDirectory:
            return FileState::kDirectory;
        case os::PathKind::kOther:
            return FileState::kFile;  // a device or a pipe: opening it could wait for ever
        case os::PathKind::kFile:
            break;
    }
    return os::OpensForReading(path.c_str()) ? FileState::kFile : FileState::kUnreadable;
}

StepFacts FactsOf(const PlanStep& step, const Installation& in, const HostPaths& host) {
    StepFacts facts;
    if (step.kind != StepKind::kCopy) return facts;
    const std::string& wd = in.workingDirectory;
    facts.source = StateOf(host.Of(RelativeToWorkingDirectory(step.source, wd)));
    const std::string directory = DirectoryOf(step.destination, in.style, in.lead);
    facts.destinationDirectoryExists =
        os::KindOfPath(host.Of(RelativeToWorkingDirectory(directory, wd)).c_str()) ==
        os::PathKind::kDirectory;
    facts.destinationIsDirectory =
        os::KindOfPath(host.Of(RelativeToWorkingDirectory(step.destination, wd)).c_str()) ==
        os::PathKind::kDirectory;
    return facts;
}

void ListStaged(const std::string& directory, const std::string& prefix, int depth,
                std::vector<std::string>* staged) {
    std::vector<os::DirectoryEntry> entries;
    if (depth > kListingDepth || !os::ListDirectory(directory.c_str(), &entries)) return;
    for (const os::DirectoryEntry& entry : entries) {
        const std::string relative = prefix.empty() ? entry.name : prefix + "/" + entry.name;
        if (entry.directory) {
            ListStaged(JoinPath(directory, entry.name, NativePathStyle()), relative, depth + 1, staged);
        } else {
            staged->push_back(relative);
        }
    }
}

}  // namespace

bool SurveyInstallation(const std::string& directory, PathStyle style, CodePage codePage, Installation* in,
                        std::string* error) {
    std::string absolute;
    if (!os::AbsolutePath(directory.c_str(), &absolute)) {
        *error = directory + ": No such file or directory";
        return false;
    }
    if (os::KindOfPath(absolute.c_str()) != os::PathKind::kDirectory) {
        *error = directory + ": Not a directory";
        return false;
    }
    in->style = style;
    in->codePage = codePage;
    in->lead = LeadBytesOf(style, codePage);
    in->workingDirectory = TargetWorkingDirectory(absolute, NativePathStyle(), style);
    const HostPaths host(absolute, style);

    const ManifestPath manifestPath = PlanManifestPath(in->workingDirectory, style);
    in->manifestFits = manifestPath.fits;
    const std::string hostManifest =
        host.Of(RelativeToWorkingDirectory(manifestPath.path, in->workingDirectory));
    in->manifest = StateOf(hostManifest);
    const bool readable = in->manifest == FileState::kFile && in->manifestFits;
    // A manifest relayhive cannot open leaves its document empty; so does one it cannot find.
    CIniFile manifest(readable ? hostManifest : std::string());
    std::string bytes;
    if (readable && os::ReadWholeFile(hostManifest.c_str(), &bytes)) {
        // One parse, read as the target's runtime delivers the file, fills the document and the lines.
        in->scan = ScanManifest(bytes, style == PathStyle::kWindows, &manifest, &in->load);
    } else {
        in->load = manifest.LoadQuietly();
    }
    in->plan = PlanUpdate(in->workingDirectory, manifest, style, in->lead);
    in->facts.clear();
    for (const PlanStep& step : in->plan) in->facts.push_back(FactsOf(step, *in, host));
    in->staged.clear();
    ListStaged(host.Of(texts::kStagingDirectory), "", 0, &in->staged);
    std::sort(in->staged.begin(), in->staged.end());
    return true;
}
