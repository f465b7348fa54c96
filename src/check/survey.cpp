#include "check/survey.h"

#include "check/digest.h"

#include <algorithm>
#include <cerrno>
#include <set>

#include "common/texts.h"
#include "ini/ini_file.h"
#include "os/os.h"
#include "update/payload.h"
#include "update/plan.h"

namespace {

// Directories below download/ deeper than this are not listed (a link loop would never end).
constexpr int kListingDepth = 16;

// Maps paths relative to the installation, as the target spells them, to the host's.
class HostPaths {
public:
    explicit HostPaths(const Installation& in)
        : root_(in.hostRoot), workingDirectory_(in.workingDirectory), target_(in.style), codePage_(in.codePage),
          layout_(in.layout) {}

    // A path of relayhive's plan, which starts at the working directory.
    std::string OfPlan(const std::string& path) const {
        return Of(RelativeToWorkingDirectory(path, workingDirectory_));
    }

    std::string Of(const std::string& relative) const {
        if (relative.empty()) return root_;
        if (target_ == NativePathStyle()) return JoinPath(root_, relative, target_);
        std::string path = root_;
        for (const std::string& spelt : TargetComponents(relative, target_, codePage_)) {
            std::string component;
            // A name the code page does not read is looked up as its bytes: its warning says it names no file intended.
            if (!HostSpelling(spelt, layout_, codePage_, &component)) component = spelt;
            if (target_ == PathStyle::kWindows) component = Resolve(path, component);
            path = JoinPath(path, component, NativePathStyle());
        }
        return path;
    }

    // A name found on the host as the target spells it; false when no name of the target's reaches it.
    bool Spelling(const std::string& hostName, std::string* name) const {
        *name = hostName;
        return target_ == NativePathStyle() || layout_ != Layout::kWine || NameOfUtf8(hostName, codePage_, name);
    }

private:
    // A Windows target finds a name in any case: the entry of directory that it would open, the
    // exact spelling first. Host names are the layout's: under Wine, UTF-8.
    std::string Resolve(const std::string& directory, const std::string& component) const {
        std::vector<os::DirectoryEntry> entries;
        if (!os::ListDirectory(directory.c_str(), &entries)) return component;
        const CodePage hostCodePage = layout_ == Layout::kWine ? CodePage() : codePage_;
        std::string found = component;
        for (const os::DirectoryEntry& entry : entries) {
            if (entry.name == component) return component;
            if (SameWindowsName(entry.name, component, hostCodePage)) found = entry.name;
        }
        return found;
    }

    std::string root_;
    std::string workingDirectory_;  // as relayhive spells it
    PathStyle target_;
    CodePage codePage_;
    Layout layout_;
};

// Read a block at a time; only a regular file is opened: a pipe could wait for ever.
FileDigest DigestOfFile(const std::string& path) {
    Hash64 hash;
    FileDigest digest;
    if (!os::StreamFile(path.c_str(), &hash, &digest.size)) return FileDigest{};
    digest.read = true;
    digest.hash = hash.Value();
    return digest;
}

FileState StateOf(const std::string& path) {
    switch (os::KindOfPath(path.c_str())) {
        case os::PathKind::kMissing:
            return FileState::kMissing;
        case os::PathKind::kDirectory:
            return FileState::kDirectory;
        case os::PathKind::kOther:
            return FileState::kIrregular;  // never opened here: a pipe could wait for ever
        case os::PathKind::kNameTooLong:
            return FileState::kNameTooLong;
        case os::PathKind::kDenied:
            return FileState::kUnreadable;
        case os::PathKind::kFile:
            break;
    }
    return os::OpensForReading(path.c_str()) ? FileState::kFile : FileState::kUnreadable;
}

// The facts of a destination directory, which every step into it shares.
struct DirectoryFacts {
    bool exists = false;
    bool writable = false;
    bool scratchIsDirectory = false;
};

class StepSurvey {
public:
    StepSurvey(const Installation& in, const HostPaths& host) : in_(in), host_(host) {}

    StepFacts FactsOf(const PlanStep& step) {
        StepFacts facts;
        if (step.kind != StepKind::kCopy) return facts;
        facts.source = StateOf(host_.OfPlan(step.source));
        const DirectoryFacts& directory = DirectoryOfStep(step);
        const std::string destination = host_.OfPlan(step.destination);
        const os::PathKind destinationKind = os::KindOfPath(destination.c_str());
        facts.destinationDirectoryExists = directory.exists;
        facts.destinationIsDirectory = destinationKind == os::PathKind::kDirectory;
        facts.destinationWritable = destinationKind != os::PathKind::kFile || os::MayWriteFile(destination.c_str());
        facts.scratchIsDirectory = directory.scratchIsDirectory;
        facts.directoryWritable = !directory.exists || directory.writable;
        return facts;
    }

private:
    // Steps come grouped by directory: the last one looked at is the one asked for again.
    const DirectoryFacts& DirectoryOfStep(const PlanStep& step) {
        const std::string directory = host_.OfPlan(DirectoryOf(step.destination, in_.style, in_.codePage));
        const std::string scratch = host_.OfPlan(step.scratch);
        if (looked_ && directory == lastDirectory_ && scratch == lastScratch_) return last_;
        looked_ = true;
        lastDirectory_ = directory;
        lastScratch_ = scratch;
        last_.exists = os::KindOfPath(directory.c_str()) == os::PathKind::kDirectory;
        last_.writable = last_.exists && os::MayCreateIn(directory.c_str());
        last_.scratchIsDirectory = os::KindOfPath(scratch.c_str()) == os::PathKind::kDirectory;
        return last_;
    }

    const Installation& in_;
    const HostPaths& host_;
    bool looked_ = false;
    std::string lastDirectory_;
    std::string lastScratch_;
    DirectoryFacts last_;
};

// What the digest section lists for each step's staged file, in its group's order.
std::vector<ListedDigest> ListedOf(const Installation& in, const CIniFile& manifest) {
    std::vector<ListedDigest> entries(in.plan.size());
    if (!in.digests) return entries;
    for (const GroupRule& rule : kGroupRules) {
        const std::vector<ListedDigest> listed = ListedDigests(rule, manifest);
        std::size_t position = 0;  // the step's place in its group, which is its name's in the list
        for (std::size_t i = 0; i < in.plan.size(); ++i) {
            if (in.plan[i].group != rule.group) continue;
            const std::size_t at = position++;
            if (at < listed.size()) entries[i] = listed[at];
        }
    }
    return entries;
}

// With digests, why each file relayhive copies is not the one listed, as its check before the stop finds it.
std::vector<std::string> PayloadOf(const Installation& in, const HostPaths& host) {
    std::vector<std::string> payload(in.plan.size());
    if (!in.digests) return payload;
    for (const GroupRule& rule : kGroupRules) {
        if (rule.digestKey == nullptr) continue;
        for (std::size_t i = 0; i < in.plan.size(); ++i) {
            if (in.plan[i].group != rule.group || in.plan[i].kind != StepKind::kCopy) continue;
            char why[256];
            if (!StagedMatches(host.OfPlan(in.plan[i].source).c_str(), in.listed[i], why, sizeof why)) payload[i] = why;
        }
    }
    return payload;
}

// Each real directory below download/ is listed once, by the first name
// that reaches it: a link back to an ancestor is not followed again.
void ListStaged(const HostPaths& host, const std::string& directory, const std::string& prefix, int depth,
                std::set<std::string>* visited, Installation* in) {
    std::vector<os::DirectoryEntry> entries;
    std::string real;
    if (os::AbsolutePath(directory.c_str(), &real) && !visited->insert(real).second) return;
    if (depth > kListingDepth || !os::ListDirectory(directory.c_str(), &entries)) return;
    for (const os::DirectoryEntry& entry : entries) {
        std::string name;
        const bool spelt = host.Spelling(entry.name, &name);
        const std::string leaf = spelt ? name : entry.name;
        const std::string relative = prefix.empty() ? leaf : prefix + "/" + leaf;
        if (!spelt) in->unspellable.push_back(relative);
        if (entry.directory) {
            ListStaged(host, JoinPath(directory, entry.name, NativePathStyle()), relative, depth + 1, visited, in);
        } else {
            in->staged.push_back(relative);
        }
    }
}

// The manifest as its author meant it, unless the loader reads it so: CRs as line ends in a file
// without LFs; UTF-16 character by character, ASCII kept and any other character as '?'.
ManifestForm FormOf(const std::string& bytes, std::string* meant) {
    const bool littleEndian = bytes.compare(0, 2, "\xFF\xFE") == 0;
    if (littleEndian || bytes.compare(0, 2, "\xFE\xFF") == 0) {
        meant->clear();
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
            const unsigned char low = static_cast<unsigned char>(bytes[littleEndian ? i : i + 1]);
            const unsigned char high = static_cast<unsigned char>(bytes[littleEndian ? i + 1 : i]);
            *meant += high == 0 && low < 0x80 ? static_cast<char>(low) : '?';
        }
        return ManifestForm::kUtf16;
    }
    *meant = bytes;
    if (bytes.find('\n') != std::string::npos || bytes.find('\r') == std::string::npos) return ManifestForm::kAsRead;
    std::replace(meant->begin(), meant->end(), '\r', '\n');
    return ManifestForm::kLoneCarriageReturns;
}

// Why root cannot be looked at, found false when it is not there; nullptr when it can.
const char* Refusal(const std::string& root, bool found) {
    if (!found) return os::ErrorMessage(ENOENT);
    if (os::KindOfPath(root.c_str()) != os::PathKind::kDirectory) return os::ErrorMessage(ENOTDIR);
    const std::string entered = JoinPath(root, ".", NativePathStyle());
    return os::KindOfPath(entered.c_str()) == os::PathKind::kDenied ? os::ErrorMessage(EACCES) : nullptr;
}

}  // namespace

bool SurveyInstallation(const std::string& directory, PathStyle style, const CodePage& codePage, Layout layout,
                        Installation* in, std::string* error, SurveyDepth depth) {
    std::string absolute;
    const bool resolved = os::AbsolutePath(directory.c_str(), &absolute);
    // A directory whose whole path is too long for the host to resolve or look
    // up is looked at as given: relayhive works there from ".".
    const bool tooLong = resolved ? os::KindOfPath(absolute.c_str()) == os::PathKind::kNameTooLong
                                  : os::KindOfPath(directory.c_str()) == os::PathKind::kDirectory;
    const std::string root = tooLong ? directory : absolute;
    if (const char* refusal = Refusal(root, resolved || tooLong)) {
        *error = directory + ": " + refusal;
        return false;
    }
    in->style = style;
    in->codePage = codePage;
    in->layout = layout;
    in->workingDirectory = tooLong ? std::string(".") : TargetWorkingDirectory(absolute, NativePathStyle(), style);
    in->hostRoot = root;
    const HostPaths host(*in);
    const ManifestPath manifestPath = PlanManifestPath(in->workingDirectory, style);
    in->manifestFits = manifestPath.fits;
    const std::string hostManifest = host.OfPlan(manifestPath.path);
    in->manifest = StateOf(hostManifest);
    const bool readable = in->manifest == FileState::kFile && in->manifestFits;
    // A manifest relayhive cannot open leaves its document empty; so does one it cannot find.
    CIniFile manifest(readable ? hostManifest : std::string());
    std::string bytes;
    if (readable && os::ReadWholeFile(hostManifest.c_str(), &bytes)) {
        // One parse, read as the target's runtime delivers the file, fills the document and the lines.
        in->scan = ScanManifest(bytes, style == PathStyle::kWindows, &manifest, &in->load);
        std::string meant;
        in->form = FormOf(bytes, &meant);
        if (in->form != ManifestForm::kAsRead) {
            CIniFile unused{std::string()};
            LoadOutcome ignored;
            in->asMeant = ScanManifest(meant, style == PathStyle::kWindows, &unused, &ignored);
        }
    } else {
        in->load = manifest.LoadQuietly();
    }
    in->plan = PlanUpdate(in->workingDirectory, manifest, style, in->codePage);
    in->digests = CarriesDigests(manifest);
    in->listed = ListedOf(*in, manifest);
    if (depth == SurveyDepth::kFiles) SurveyFiles(in);
    return true;
}

void SurveyFiles(Installation* in) {
    const HostPaths host(*in);
    StepSurvey steps(*in, host);
    in->facts.clear();
    for (const PlanStep& step : in->plan) in->facts.push_back(steps.FactsOf(step));
    in->payload = PayloadOf(*in, host);
    in->staged.clear();
    in->unspellable.clear();
    std::set<std::string> visited;
    ListStaged(host, host.Of(texts::kStagingDirectory), "", 0, &visited, in);
    std::sort(in->staged.begin(), in->staged.end());
    std::sort(in->unspellable.begin(), in->unspellable.end());
}

record::Read SurveyRecord(const Installation& in) {
    std::string bytes;
    const std::string path = JoinPath(in.hostRoot, texts::kRecordName, NativePathStyle());
    if (!os::ReadWholeFile(path.c_str(), &bytes)) return record::Read();
    return record::Parse(bytes);
}

void SurveyDigests(const Installation& in, std::vector<FileDigest>* sources, std::vector<FileDigest>* destinations) {
    const HostPaths host(in);
    sources->assign(in.plan.size(), FileDigest{});
    destinations->assign(in.plan.size(), FileDigest{});
    for (std::size_t i = 0; i < in.plan.size(); ++i) {
        const PlanStep& step = in.plan[i];
        if (step.kind != StepKind::kCopy) continue;
        (*sources)[i] = DigestOfFile(host.OfPlan(step.source));
        const std::string destination = host.OfPlan(step.destination);
        (*destinations)[i] = DigestOfFile(destination);
        // A file that is there but will not be read (held open on Windows) is no missing one.
        (*destinations)[i].present =
            (*destinations)[i].read || os::KindOfPath(destination.c_str()) != os::PathKind::kMissing;
    }
}
