#include "stage/decide.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <utility>

#include "check/installation.h"
#include "check/manifest_scan.h"
#include "check/shown.h"
#include "common/ascii.h"
#include "common/texts.h"
#include "target/target.h"
#include "update/payload.h"
#include "update/safe_name.h"

namespace {

const char kDeleted[] = "NEW no longer has this file, and relayhive deletes nothing";
const char kDeletedDirectory[] = "NEW no longer has this directory, and relayhive deletes nothing";
const char kNewDirectory[] = "a new directory, and relayhive creates none";
const char kOutside[] =
    "changed or new outside skin/, logo/ and the main file, and relayhive replaces no other file";
const char kComma[] = "the name holds a comma, and relayhive splits the list on commas";
const char kControlByte[] = "the name holds a control byte, and the manifest cannot carry it";
const char kCaseTwin[] = "differs only in letter case from ";
const char kStagedTwin[] = "would be staged as the same file of download/ as ";
const char kManifestTwin[] = "would be staged over the manifest download/autoupdate.ini";
const char kRefused[] = "relayhive refuses the name: ";
const char kRereadAs[] = "the manifest cannot carry the name: relayhive reads it as ";
const char kManifestTooLong[] = "the manifest's path does not fit its buffer at this install directory";
const char kLink[] = "a symbolic link: relayhive copies files, and replaces a link with one";
const char kScratch[] =
    "the name of relayhive's scratch file: relayhive removes it, or cannot copy past it, in its directory";
const char kShortScratch[] =
    "may be the short (8.3) name of relayhive's scratch file, which Windows resolves to that file";
const char kStagedUnder[] = "would be staged where download/ needs a directory for ";
const char kBackslash[] = "the name holds a '\\', which Windows reads as a separator";

// The install directory each target is measured from, padded or cut to length.
const char kWindowsInstallDirectory[] = "C:\\Users\\uuuuuuuuuuuuuuuuuuuu\\AppData\\Local\\Quillmon";
const char kPosixInstallDirectory[] = "/opt/quillmon";

// "download/autoupdate.ini", as an error names the manifest.
std::string ManifestFile() { return std::string(texts::kStagingDirectory) + "/" + texts::kManifestName; }

// Errors by file, then message: what OLD and NEW both hold wrong is said once.
using Errors = std::set<std::pair<std::string, std::string>>;

// Where a changed file of NEW goes, or nothing when relayhive puts nothing there.
std::optional<StagedFile> Classify(const std::string& path, PathStyle style, const CodePage& codePage) {
    for (const GroupRule& rule : kGroupRules) {
        if (rule.section == nullptr) continue;
        std::string rest = path;
        if (rule.directory == nullptr) {
            const bool main = style == PathStyle::kWindows ? SameWindowsName(path, texts::kClientImageName, codePage)
                                                           : path == texts::kClientImageName;
            if (!main) continue;
        } else {
            const std::string prefix = std::string(rule.directory) + "/";
            if (path.compare(0, prefix.size(), prefix) != 0) continue;
            rest = path.substr(prefix.size());
        }
        std::string name = rest;
        std::replace(name.begin(), name.end(), '/', PathSeparator(style));
        return StagedFile{rule.group, path, name, rest};
    }
    return std::nullopt;
}

// Why the target cannot take a name as it stands, before relayhive's plan is asked; "" when it can.
std::string NameProblem(const StagedFile& file, const StageOptions& options) {
    const std::string& name = file.name;
    if (RuleOf(file.group).list && name.find(',') != std::string::npos) return kComma;
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return kControlByte;  // a line end would end the entry
    }
    const std::size_t invalid = options.codePage.FirstInvalidByte(name);
    if (invalid != kAllValid) {
        return std::string("not a name in ") + CodePageRuleOf(options.codePage.Number()).title + ": byte " + Hex(name[invalid]) +
               " at offset " + std::to_string(invalid);
    }
    if (options.style == PathStyle::kWindows) {
        // By character: a '\' or a '|' may be the second byte of a double-byte one.
        const std::string& staged = file.staged;
        if (FirstCharacterAmong(staged, "\\", options.codePage) != '\0') return kBackslash;
        if (const char forbidden = FirstCharacterAmong(staged, kWindowsForbidden, options.codePage)) {
            return std::string("Windows allows no '") + forbidden + "' in a file name";
        }
        std::string_view changed;
        if (WindowsChangedComponent(staged, options.codePage, &changed)) {
            return "Windows drops the trailing dots and blanks of " + Quoted(std::string(changed));
        }
    }
    return std::string();
}

// "_REL~HWN.TMP", "RELAYH~1.TMP": an 8.3 name with a '~' and the scratch file's extension.
bool MayBeShortScratchName(const std::string& component) {
    const std::size_t dot = component.rfind('.');
    return dot != std::string::npos && dot <= 8 && component.find('~') < dot &&
           ascii::EqualIgnoringCase(std::string_view(component).substr(dot), ".tmp");
}

// What of a tree relayhive cannot live beside: links, and anything the target resolves
// to relayhive's scratch file (flagged).
void TreeProblems(const ReleaseTree& tree, PathStyle style, const CodePage& codePage, Errors* errors,
                  std::set<std::string>* flagged) {
    for (const std::string& link : tree.links) errors->emplace(link, kLink);
    std::vector<std::string> paths(tree.directories.begin(), tree.directories.end());
    for (const auto& entry : tree.files) paths.push_back(entry.first);
    for (const std::string& path : paths) {
        const std::vector<std::string> components = TargetComponents(path, style, codePage);
        if (components.empty()) continue;
        const std::string& last = components.back();
        const bool scratch = UnsafeNameReason(last.c_str(), style, codePage) == texts::kScratchNameReason;
        if (!scratch && (style != PathStyle::kWindows || !MayBeShortScratchName(last))) continue;
        errors->emplace(path, scratch ? kScratch : kShortScratch);
        flagged->insert(path);
    }
}

std::string ManifestText(const std::vector<StagedFile>& files) {
    std::string text;
    for (const GroupRule& rule : kGroupRules) {
        if (rule.section == nullptr) continue;
        std::string value;
        for (const StagedFile& file : files) {
            if (file.group != rule.group) continue;
            if (!value.empty()) value += texts::kListDelimiters[0];
            value += file.name;
        }
        if (!value.empty()) text += std::string("[") + rule.section + "]\r\n" + rule.key + "=" + value + "\r\n";
    }
    return text;
}

// Asks relayhive's own loader and plan about every candidate at the install
// directory; keeps those it copies as they are named (moved, not copied), an error for each other.
std::vector<StagedFile> PlannedAsNamed(std::vector<StagedFile> candidates, const StageOptions& options,
                                       Errors* errors) {
    CIniFile manifest{std::string()};
    LoadOutcome load;
    ScanManifest(ManifestText(candidates), options.style == PathStyle::kWindows, &manifest, &load);
    const std::string directory = InstallDirectoryOf(options);
    std::vector<StagedFile> kept;
    kept.reserve(candidates.size());
    for (const GroupRule& rule : kGroupRules) {
        if (rule.section == nullptr) continue;
        const std::vector<PlanStep> steps = PlanGroupSteps(rule.group, directory, manifest, options.style, options.codePage);
        std::size_t next = 0;
        for (StagedFile& candidate : candidates) {
            if (candidate.group != rule.group) continue;
            const std::string& file = candidate.file;
            if (next >= steps.size()) {
                errors->emplace(file, kRereadAs + std::string("nothing"));
                continue;
            }
            const PlanStep& step = steps[next++];
            if (step.name != candidate.name) {
                errors->emplace(file, kRereadAs + Quoted(step.name));
            } else if (step.kind == StepKind::kRefuse) {
                errors->emplace(file, kRefused + std::string(step.reason));
            } else if (step.kind == StepKind::kTooLong) {
                errors->insert({file, "too long: at an install directory of " +
                                          std::to_string(options.installDirLength) + " bytes, " +
                                          "a path relayhive forms for " +
                                          ShowBytes(RelativeToWorkingDirectory(step.reported, directory)) +
                                          " is longer than its buffer holds (" +
                                          std::to_string(PathBufferSize(options.style) - 1) + " bytes)"});
            } else {
                kept.push_back(std::move(candidate));
            }
        }
    }
    return kept;
}

// Paths of NEW that share a key on the target with another: an error for each, and flagged.
void CaseTwins(const ReleaseTree& release, PathStyle style, const CodePage& codePage, Errors* errors,
               std::set<std::string>* flagged) {
    if (style != PathStyle::kWindows) return;
    std::map<std::string, std::vector<std::string>> byKey;
    for (const auto& entry : release.files) byKey[SameFileKey(entry.first, style, codePage)].push_back(entry.first);
    for (const auto& path : release.directories) byKey[SameFileKey(path, style, codePage)].push_back(path);
    for (const auto& entry : byKey) {
        const std::vector<std::string>& paths = entry.second;
        if (paths.size() < 2) continue;
        for (const std::string& path : paths) {
            errors->emplace(path, kCaseTwin + Quoted(path == paths[0] ? paths[1] : paths[0]));
            flagged->insert(path);
        }
    }
}

// Drops the candidates whose staged files would be one file of download/ (or the manifest); moves the others.
std::vector<StagedFile> StagedApart(std::vector<StagedFile> candidates, PathStyle style, const CodePage& codePage,
                                    Errors* errors) {
    // Each key download/ holds, with what a second file there is told.
    std::map<std::string, std::string> taken{
        {SameFileKey(texts::kManifestName, style, codePage), kManifestTwin}};
    // download/'s directories: a staged file may not take one's name.
    std::map<std::string, std::string> directories;
    for (const StagedFile& candidate : candidates) {
        const std::string key = SameFileKey(candidate.staged, style, codePage);
        for (std::size_t slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1)) {
            directories.emplace(key.substr(0, slash), candidate.file);
        }
    }
    std::vector<StagedFile> kept;
    kept.reserve(candidates.size());
    for (StagedFile& candidate : candidates) {
        const std::string key = SameFileKey(candidate.staged, style, codePage);
        const auto under = directories.find(key);
        // Taken even when under a directory: a twin of its key is under it too.
        const auto found = taken.emplace(key, kStagedTwin + Quoted(candidate.file));
        if (under != directories.end()) {
            errors->emplace(candidate.file, kStagedUnder + Quoted(under->second));
        } else if (!found.second) {
            errors->emplace(candidate.file, found.first->second);
        } else {
            kept.push_back(std::move(candidate));
        }
    }
    return kept;
}

}  // namespace

std::size_t ShortestInstallDirectory(PathStyle style) { return style == PathStyle::kWindows ? 3 : 1; }

std::string InstallDirectoryOf(const StageOptions& options) {
    std::string directory = options.style == PathStyle::kWindows ? kWindowsInstallDirectory : kPosixInstallDirectory;
    directory.resize(std::max(options.installDirLength, ShortestInstallDirectory(options.style)), 'x');
    return directory;
}

ReleaseTree InstalledBase(ReleaseTree old, const ReleaseTree& release) {
    if (!old.files.empty() || !old.directories.empty()) return old;
    ReleaseTree base;
    base.directories = release.directories;
    return base;
}

Staging DecideStaging(const ReleaseTree& base, const ReleaseTree& release, const StageOptions& options,
                      Contents* contents) {
    Errors errors;
    std::set<std::string> flagged;  // said already: not staged as well
    CaseTwins(release, options.style, options.codePage, &errors, &flagged);
    TreeProblems(base, options.style, options.codePage, &errors, &flagged);
    TreeProblems(release, options.style, options.codePage, &errors, &flagged);
    for (const auto& entry : base.files) {
        if (release.files.count(entry.first) == 0) errors.emplace(entry.first, kDeleted);
    }
    for (const std::string& directory : release.directories) {
        if (base.directories.count(directory) == 0) errors.emplace(directory, kNewDirectory);
    }
    for (const std::string& directory : base.directories) {
        if (release.directories.count(directory) == 0) errors.emplace(directory, kDeletedDirectory);
    }
    std::vector<StagedFile> candidates;
    for (const auto& entry : release.files) {
        const std::string& path = entry.first;
        if (base.files.count(path) != 0 && contents->Same(base, path, release, path)) continue;
        const std::size_t slash = path.rfind('/');
        // A file in a new directory: that directory's error says it.
        if (slash != std::string::npos && !base.directories.count(path.substr(0, slash))) continue;
        if (flagged.count(path) != 0) continue;
        const std::optional<StagedFile> candidate = Classify(path, options.style, options.codePage);
        const std::string problem = candidate ? NameProblem(*candidate, options) : kOutside;
        if (problem.empty()) {
            candidates.push_back(*candidate);
        } else {
            errors.emplace(path, problem);
        }
    }
    Staging staging;
    staging.files = PlannedAsNamed(StagedApart(std::move(candidates), options.style, options.codePage, &errors),
                                   options, &errors);
    if (!PlanManifestPath(InstallDirectoryOf(options), options.style).fits) {
        errors.emplace(ManifestFile(), kManifestTooLong);
    }
    staging.manifest = ManifestText(staging.files);
    for (const auto& [file, message] : errors) staging.errors.push_back({file, message});
    return staging;
}

std::string DigestSectionText(const std::vector<StagedFile>& files, const std::vector<os::FileDigest256>& digests) {
    std::string text = std::string("[") + texts::kDigestSection + "]\r\n";
    for (const GroupRule& rule : kGroupRules) {
        if (rule.digestKey == nullptr) continue;
        std::string value;
        for (std::size_t i = 0; i < files.size() && i < digests.size(); ++i) {
            if (files[i].group != rule.group) continue;
            if (!value.empty()) value += texts::kListDelimiters[0];
            value += DigestEntry(digests[i]);
        }
        if (!value.empty()) text += std::string(rule.digestKey) + "=" + value + "\r\n";
    }
    return text;
}

bool Explains(const std::vector<StageError>& errors, const std::string& path) {
    return std::any_of(errors.begin(), errors.end(), [&](const StageError& error) {
        // An error about the manifest: no manifest read, nothing copied.
        return error.file == path || error.file == ManifestFile() ||
               path.compare(0, error.file.size() + 1, error.file + "/") == 0;
    });
}

std::string SpeltOnDisk(const std::string& staged, const StageOptions& options) {
    std::string host = staged;
    HostSpelling(staged, options.layout, options.codePage, &host);
    return host;
}
