#include "stage/proof.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "check/installation.h"
#include "check/manifest_scan.h"
#include "common/texts.h"
#include "update/plan.h"

namespace {

// A file of the simulated installation, known by the tree file whose bytes it holds.
struct SimulatedFile {
    std::string path;                    // as the tree spells it, '/' between components
    const ReleaseTree* tree = nullptr;   // nullptr: the manifest, which no tree holds
    const std::string* file = nullptr;   // the path in tree, as tree->files holds it
};

// An installation as relayhive would leave it, files and directories found by the key the target looks them up by.
class Simulation {
public:
    Simulation(const ReleaseTree& tree, PathStyle style, const CodePage& codePage)
        : style_(style), codePage_(codePage) {
        for (const std::string& directory : tree.directories) AddDirectory(directory);
        for (const auto& entry : tree.files) Put(entry.first, &tree, &entry.first);
    }

    void AddDirectory(const std::string& path) { directories_.insert(Key(path)); }
    // A replaced file keeps the name it had.
    void Put(const std::string& path, const ReleaseTree* tree, const std::string* file) {
        SimulatedFile& put = files_.try_emplace(Key(path), SimulatedFile{path}).first->second;
        put.tree = tree;
        put.file = file;
    }
    void Remove(const std::string& path) { files_.erase(Key(path)); }
    const SimulatedFile* Find(const std::string& path) const {
        const auto found = files_.find(Key(path));
        return found == files_.end() ? nullptr : &found->second;
    }
    bool IsDirectory(const std::string& path) const {
        return path.empty() || directories_.count(Key(path)) != 0;
    }
    const std::map<std::string, SimulatedFile>& Files() const { return files_; }

private:
    std::string Key(const std::string& path) const { return SameFileKey(path, style_, codePage_); }

    PathStyle style_;
    CodePage codePage_;
    std::map<std::string, SimulatedFile> files_;
    std::set<std::string> directories_;
};

// A plan path as a tree path: relative to the working directory, '/' between components.
std::string TreePath(const std::string& planPath, const Installation& in) {
    std::string path;
    for (const std::string& component :
         TargetComponents(RelativeToWorkingDirectory(planPath, in.workingDirectory), in.style, in.codePage)) {
        path += (path.empty() ? "" : "/") + component;
    }
    return path;
}

StepFacts FactsOf(const PlanStep& step, const Installation& in, const Simulation& simulation) {
    StepFacts facts;
    if (step.kind != StepKind::kCopy) return facts;
    const std::string source = TreePath(step.source, in);
    facts.source = simulation.Find(source) != nullptr ? FileState::kFile
                   : simulation.IsDirectory(source)   ? FileState::kDirectory
                                                      : FileState::kMissing;
    facts.destinationDirectoryExists =
        simulation.IsDirectory(TreePath(DirectoryOf(step.destination, in.style, in.codePage), in));
    facts.destinationIsDirectory = simulation.IsDirectory(TreePath(step.destination, in));
    return facts;
}

// relayhive's own working files, which no release holds.
bool IsWorkingFile(const std::string& path, PathStyle style, const CodePage& codePage) {
    const std::string key = SameFileKey(path, style, codePage);
    const std::string staging = SameFileKey(texts::kStagingDirectory, style, codePage);
    return key == SameFileKey(texts::kManifestName, style, codePage) || key.compare(0, staging.size() + 1, staging + "/") == 0;
}

}  // namespace

Proof ProveStaging(const ReleaseTree& base, const ReleaseTree& release, const Staging& staging,
                   const StageOptions& options, Contents* contents) {
    Installation in;
    in.style = options.style;
    in.codePage = options.codePage;
    in.workingDirectory = InstallDirectoryOf(options);
    in.manifestFits = PlanManifestPath(in.workingDirectory, in.style).fits;

    // Let go before the findings are gathered: the peak of memory is then the plan's alone.
    std::optional<Simulation> simulation(std::in_place, base, options.style, options.codePage);
    simulation->AddDirectory(texts::kStagingDirectory);
    // download/ holds each staged file, a copy of NEW's, and the manifest.
    std::vector<StagedFile> download = staging.files;
    download.push_back(StagedFile{PlanGroup::kMain, std::string(), std::string(), texts::kManifestName});
    for (const StagedFile& file : download) {
        const std::string path = std::string(texts::kStagingDirectory) + "/" + file.staged;
        for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
            simulation->AddDirectory(path.substr(0, slash));
        }
        const auto inRelease = release.files.find(file.file);
        const bool copy = inRelease != release.files.end();
        simulation->Put(path, copy ? &release : nullptr, copy ? &inRelease->first : nullptr);
        in.staged.push_back(file.staged);
    }
    std::sort(in.staged.begin(), in.staged.end());

    CIniFile manifest{std::string()};
    if (in.manifestFits) {
        in.scan = ScanManifest(staging.manifest, in.style == PathStyle::kWindows, &manifest, &in.load);
    } else {
        in.load = manifest.LoadQuietly();
    }
    in.plan = PlanUpdate(in.workingDirectory, manifest, in.style, in.codePage);
    for (const PlanStep& step : in.plan) in.facts.push_back(FactsOf(step, in, *simulation));

    // The run: every copy whose source is a file and whose destination's directory is there.
    for (std::size_t i = 0; i < in.plan.size(); ++i) {
        const PlanStep& step = in.plan[i];
        const StepFacts& facts = in.facts[i];
        if (step.kind != StepKind::kCopy || facts.source != FileState::kFile || !facts.destinationDirectoryExists ||
            facts.destinationIsDirectory) {
            continue;
        }
        // A leftover scratch file goes first; a directory in its place stops the copy.
        const std::string scratch = TreePath(step.scratch, in);
        if (simulation->IsDirectory(scratch)) continue;
        simulation->Remove(scratch);
        const SimulatedFile source = *simulation->Find(TreePath(step.source, in));
        simulation->Put(TreePath(step.destination, in), source.tree, source.file);
    }

    Proof proof;
    proof.compared = release.files.size();
    std::set<std::string> differences;
    // Every byte accounted for: each file ends as NEW's own, or a copy of it, or one that compares equal.
    for (const auto& entry : release.files) {
        const std::string& path = entry.first;
        const SimulatedFile* result = simulation->Find(path);
        const bool same = result != nullptr && result->tree != nullptr &&
                          ((result->tree == &release && *result->file == path) ||
                           contents->Same(*result->tree, *result->file, release, path));
        if (!same) differences.insert(path);
    }
    {
        const Simulation expected(release, options.style, options.codePage);
        for (const auto& entry : simulation->Files()) {
            const std::string& path = entry.second.path;
            if (!IsWorkingFile(path, options.style, options.codePage) && expected.Find(path) == nullptr) differences.insert(path);
        }
        // relayhive makes and removes no directory: the result has OLD's.
        for (const std::string& directory : release.directories) {
            if (!simulation->IsDirectory(directory)) differences.insert(directory);
        }
        for (const std::string& directory : base.directories) {
            if (!expected.IsDirectory(directory)) differences.insert(directory);
        }
    }
    simulation.reset();
    proof.differences.assign(differences.begin(), differences.end());
    for (const std::string& path : proof.differences) {
        if (!Explains(staging.errors, path)) proof.defects.push_back(path);
    }
    proof.findings = FindProblems(in);
    return proof;
}

bool Reproduces(const Staging& staging, const Proof& proof, bool strict) {
    for (const Finding& finding : proof.findings) {
        if (finding.severity == Severity::kError || (strict && finding.severity == Severity::kWarning)) return false;
    }
    return staging.errors.empty() && proof.differences.empty();
}
