#include "stage/proof.h"

#include <algorithm>
#include <deque>
#include <map>
#include <set>

#include "check/installation.h"
#include "check/manifest_scan.h"
#include "common/texts.h"
#include "update/plan.h"

namespace {

// A file of the simulated installation, known by the tree file whose bytes it holds.
struct SimulatedFile {
    const std::string* path = nullptr;   // as the tree spells it, '/' between components
    const ReleaseTree* tree = nullptr;   // nullptr: the manifest, which no tree holds
    const std::string* file = nullptr;   // the path in tree, as tree->files holds it
    bool inRelease = false;              // NEW has a file the target finds by this one's key
};

// An installation as relayhive would leave it, files and directories found by the key the target looks them up by.
class Simulation {
public:
    Simulation(PathStyle style, const CodePage& codePage) : style_(style), codePage_(codePage) {}
    // tree outlives the simulation, which names its files by the tree's own strings.
    Simulation(const ReleaseTree& tree, PathStyle style, const CodePage& codePage) : Simulation(style, codePage) {
        for (const std::string& directory : tree.directories) AddDirectory(directory);
        for (const auto& entry : tree.files) PutNamed(&entry.first, &tree, &entry.first);
    }

    void AddDirectory(const std::string& path) { directories_.insert(Key(path)); }
    // A replaced file keeps the name it had; a new one's name is kept by the simulation.
    void Put(const std::string& path, const ReleaseTree* tree, const std::string* file) {
        const auto found = files_.find(Key(path));
        if (found != files_.end()) {
            found->second.tree = tree;
            found->second.file = file;
            return;
        }
        names_.push_back(path);
        PutNamed(&names_.back(), tree, file);
    }
    void Remove(const std::string& path) { files_.erase(Key(path)); }
    const SimulatedFile* Find(const std::string& path) const {
        const auto found = files_.find(Key(path));
        return found == files_.end() ? nullptr : &found->second;
    }
    // The file at path, marked as one NEW has; nullptr when there is none.
    const SimulatedFile* FindForRelease(const std::string& path) {
        const auto found = files_.find(Key(path));
        if (found == files_.end()) return nullptr;
        found->second.inRelease = true;
        return &found->second;
    }
    bool IsDirectory(const std::string& path) const {
        return path.empty() || directories_.count(Key(path)) != 0;
    }
    const std::map<std::string, SimulatedFile>& Files() const { return files_; }

private:
    std::string Key(const std::string& path) const { return SameFileKey(path, style_, codePage_); }
    // A file named by a string that outlives the simulation: its path is not stored twice.
    void PutNamed(const std::string* path, const ReleaseTree* tree, const std::string* file) {
        files_.insert_or_assign(Key(*path), SimulatedFile{path, tree, file});
    }

    PathStyle style_;
    CodePage codePage_;
    std::map<std::string, SimulatedFile> files_;
    std::set<std::string> directories_;
    std::deque<std::string> names_;  // of the files no tree names; a deque never moves them
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

// relayhive's plan for the staged manifest, as relayhive's loader reads it; the loaded manifest goes once planned.
void PlanStaged(const std::string& manifestText, Installation* in) {
    CIniFile manifest{std::string()};
    if (in->manifestFits) {
        in->scan = ScanManifest(manifestText, in->style == PathStyle::kWindows, &manifest, &in->load);
    } else {
        in->load = manifest.LoadQuietly();
    }
    in->plan = PlanUpdate(in->workingDirectory, manifest, in->style, in->codePage);
    in->plan.shrink_to_fit();  // else its spare room is held all through the simulation
}

// download/<staged>, and the directories above it, put in the simulation.
void PutStaged(const std::string& staged, const ReleaseTree* tree, const std::string* file, Simulation* simulation) {
    const std::string path = std::string(texts::kStagingDirectory) + "/" + staged;
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        simulation->AddDirectory(path.substr(0, slash));
    }
    simulation->Put(path, tree, file);
}

// The run: every copy whose source is a file and whose destination's directory is there.
void RunPlan(const Installation& in, Simulation* simulation) {
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
}

// Files and directories where the result of the run is not NEW, in byte order.
std::vector<std::string> Differences(const ReleaseTree& base, const ReleaseTree& release, const StageOptions& options,
                                     Contents* contents, Simulation* result) {
    std::set<std::string> differences;
    // Every byte accounted for: each file ends as NEW's own, or a copy of it, or one that compares equal.
    for (const auto& entry : release.files) {
        const std::string& path = entry.first;
        const SimulatedFile* file = result->FindForRelease(path);
        const bool same = file != nullptr && file->tree != nullptr &&
                          ((file->tree == &release && *file->file == path) ||
                           contents->Same(*file->tree, *file->file, release, path));
        if (!same) differences.insert(path);
    }
    for (const auto& entry : result->Files()) {
        const SimulatedFile& file = entry.second;
        if (!file.inRelease && !IsWorkingFile(*file.path, options.style, options.codePage)) {
            differences.insert(*file.path);
        }
    }
    // relayhive makes and removes no directory: the result has OLD's.
    for (const std::string& directory : release.directories) {
        if (!result->IsDirectory(directory)) differences.insert(directory);
    }
    Simulation expected(options.style, options.codePage);
    for (const std::string& directory : release.directories) expected.AddDirectory(directory);
    for (const std::string& directory : base.directories) {
        if (!expected.IsDirectory(directory)) differences.insert(directory);
    }
    return std::vector<std::string>(differences.begin(), differences.end());
}

}  // namespace

Proof ProveStaging(const ReleaseTree& base, const ReleaseTree& release, const Staging& staging,
                   const StageOptions& options, Contents* contents) {
    Installation in;
    in.style = options.style;
    in.codePage = options.codePage;
    in.workingDirectory = InstallDirectoryOf(options);
    in.manifestFits = PlanManifestPath(in.workingDirectory, in.style).fits;
    PlanStaged(staging.manifest, &in);

    Proof proof;
    proof.compared = release.files.size();
    {
        // Built once the plan is made, let go before the findings are gathered: it meets neither's own peak of memory.
        Simulation simulation(base, options.style, options.codePage);
        simulation.AddDirectory(texts::kStagingDirectory);
        // download/ holds each staged file, a copy of NEW's, and the manifest.
        for (const StagedFile& file : staging.files) {
            const auto inRelease = release.files.find(file.file);
            const bool copy = inRelease != release.files.end();
            PutStaged(file.staged, copy ? &release : nullptr, copy ? &inRelease->first : nullptr, &simulation);
            in.staged.push_back(file.staged);
        }
        PutStaged(texts::kManifestName, nullptr, nullptr, &simulation);
        in.staged.push_back(texts::kManifestName);
        std::sort(in.staged.begin(), in.staged.end());
        in.facts.reserve(in.plan.size());
        for (const PlanStep& step : in.plan) in.facts.push_back(FactsOf(step, in, simulation));
        RunPlan(in, &simulation);
        proof.differences = Differences(base, release, options, contents, &simulation);
    }
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
