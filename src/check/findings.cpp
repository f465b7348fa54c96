#include "check/findings.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "check/shown.h"
#include "check/target.h"
#include "common/ascii.h"
#include "common/texts.h"
#include "update/safe_name.h"
#include "update/transfer.h"

namespace {

// A name within this many edits of one relayhive reads was probably meant to be it.
constexpr std::size_t kNearMiss = 2;


// A path below download/, as findings name files.
std::string Staged(const std::string& relative) {
    return std::string(texts::kStagingDirectory) + "/" + relative;
}

std::string Hex(int byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(byte) & 0xFFu);
    return text;
}

std::string Number(std::size_t value) { return std::to_string(value); }

// "[cltskin] filelist"
std::string GroupEntry(const GroupRule& rule) { return std::string("[") + rule.section + "] " + rule.key; }

// The groups that read the manifest.
std::vector<const GroupRule*> ReadingGroups() {
    std::vector<const GroupRule*> reading;
    for (const GroupRule& rule : kGroupRules) {
        if (rule.section != nullptr) reading.push_back(&rule);
    }
    return reading;
}

// The sections, or the keys, relayhive reads: each once.
std::vector<const char*> ReadNames(bool keys) {
    std::vector<const char*> names;
    for (const GroupRule* rule : ReadingGroups()) {
        const char* name = keys ? rule->key : rule->section;
        if (std::find_if(names.begin(), names.end(), [&](const char* n) { return std::strcmp(n, name) == 0; }) ==
            names.end()) {
            names.push_back(name);
        }
    }
    return names;
}

class Collector {
public:
    void Add(Severity severity, std::string file, std::uint32_t line, std::string message) {
        // A finding said twice is shown once; the set keeps long manifests linear.
        const std::string key = std::to_string(static_cast<int>(severity)) + '\n' + file + '\n' +
                                std::to_string(line) + '\n' + message;
        if (!seen_.insert(key).second) return;
        findings_.push_back(Finding{severity, std::move(file), line, std::move(message)});
    }
    void AtLine(Severity severity, std::uint32_t line, std::string message) {
        Add(severity, line == 0 ? Staged(texts::kManifestName) : std::string(texts::kManifestName), line,
            std::move(message));
    }
    std::vector<Finding> Sorted() {
        std::stable_sort(findings_.begin(), findings_.end(), [](const Finding& a, const Finding& b) {
            if (a.severity != b.severity) return static_cast<int>(a.severity) < static_cast<int>(b.severity);
            return a.line < b.line;
        });
        return std::move(findings_);
    }

private:
    std::vector<Finding> findings_;
    std::set<std::string> seen_;
};

// --- The manifest's groups ----------------------------------------------------------------

// What one group's entry holds after the loader has read lines: the loader
// stores every key under the first section of its name, and a key set again
// replaces the value it had.
struct GroupValue {
    std::string value;
    std::uint32_t line = 0;               // the line whose value counts; 0 when unset
    std::vector<std::uint32_t> settings;  // every line that set it, in order
};

bool ReadsEntry(const ManifestLine& line, const GroupRule& group) {
    return line.kind == LineKind::kEntry && ascii::Fold(line.section) == group.section &&
           ascii::Fold(line.key) == group.key;
}

// The line whose value counts for the group; 0 when unset. Copies nothing: it runs once per step.
std::uint32_t LineOf(const std::vector<ManifestLine>& lines, const GroupRule& group) {
    std::uint32_t number = 0;
    for (const ManifestLine& line : lines) {
        if (ReadsEntry(line, group)) number = line.number;
    }
    return number;
}

GroupValue ValueOf(const std::vector<ManifestLine>& lines, const GroupRule& group) {
    GroupValue found;
    for (const ManifestLine& line : lines) {
        if (!ReadsEntry(line, group)) continue;
        found.value = line.value;
        found.line = line.number;
        found.settings.push_back(line.number);
    }
    return found;
}

// "[cltskin] filelist (line 3), [cltmain] mainfile (line 9)": the groups the
// whole file sets otherwise than what relayhive reads of it; the file as its
// author meant it when that is not what the loader reads.
std::string LostGroups(const Installation& in) {
    const std::vector<ManifestLine>& meant = in.form == ManifestForm::kAsRead ? in.scan.lines : in.asMeant.lines;
    std::string lost;
    for (const GroupRule* group : ReadingGroups()) {
        const GroupValue whole = ValueOf(meant, *group);
        const GroupValue read = ValueOf(in.scan.read, *group);
        if (whole.value == read.value) continue;
        if (!lost.empty()) lost += ", ";
        lost += GroupEntry(*group) + " (line " + Number(whole.line) +
                (read.line != 0 ? ", read only in part)" : ")");
    }
    return lost;
}

std::string FirstByteProblem(const ManifestLine& line) {
    if (line.byteOrderMark) {
        return "the line starts with a UTF-8 byte order mark (EF BB BF); save the file without it";
    }
    const int byte = line.firstByte & 0xFF;
    if (byte == '\t') return "the line starts with a tab";
    if (byte < 0x20 || byte == 0x7F) return "the line starts with the control byte " + Hex(byte);
    return "the line starts with the byte " + Hex(byte) + ", which is not printable ASCII";
}

// What relayhive makes of a manifest in this state, "" for a file it reads.
std::string ManifestStateProblem(FileState state) {
    const char* consequence = ": relayhive reads no list and copies nothing";
    switch (state) {
        case FileState::kMissing:
            return std::string("the manifest is missing") + consequence;
        case FileState::kUnreadable:
            return std::string("the manifest cannot be read") + consequence;
        case FileState::kDirectory:
            return std::string("the manifest is a directory") + consequence;
        case FileState::kIrregular:
            return std::string("the manifest is not a regular file (a pipe, a device or a socket)") + consequence;
        case FileState::kNameTooLong:
            return std::string("the manifest's path is longer than the file system holds") + consequence;
        case FileState::kFile:
            break;
    }
    return std::string();
}

void CheckManifestFile(const Installation& in, Collector* out) {
    const std::string problem = ManifestStateProblem(in.manifest);
    if (!problem.empty()) {
        out->Add(Severity::kError, Staged(texts::kManifestName), 0, problem);
        return;
    }
    if (!in.manifestFits) return;  // its copy step reports the path
    const std::string lost = LostGroups(in);
    const std::string skipped = lost.empty() ? std::string("no list comes after it") : "not read: " + lost;
    if (in.load.stop == LoadStop::kBadFirstByte) {
        const ManifestLine* failing = nullptr;
        for (const ManifestLine& line : in.scan.lines) {
            if (line.number == in.load.line) failing = &line;
        }
        const std::string problem =
            in.form == ManifestForm::kUtf16 && in.load.line == 1
                ? "the file is UTF-16 (it starts with " + Hex(failing != nullptr ? failing->firstByte : in.load.byte) +
                      "), which relayhive cannot read; save it as ANSI or as UTF-8 without a byte order mark"
            : failing != nullptr ? FirstByteProblem(*failing)
                                 : "the line starts with " + Hex(in.load.byte);
        out->AtLine(Severity::kError, in.load.line,
                    "relayhive stops reading the manifest here (it prints \"Failing on char " +
                        std::to_string(in.load.byte) + "\"): " + problem + "; " + skipped);
    } else if (in.form == ManifestForm::kLoneCarriageReturns) {
        out->AtLine(lost.empty() ? Severity::kWarning : Severity::kError, 1,
                    "the lines end in CR alone, and relayhive ends lines only at LF: it reads the whole file as "
                    "one line; save it with CR LF or LF line ends; " + skipped);
    } else if (in.load.stop == LoadStop::kOutOfMemory) {
        out->Add(Severity::kError, Staged(texts::kManifestName), 0,
                 "relayhive runs out of memory reading the manifest; " + skipped);
    } else if (in.scan.endOfInputLine != 0 && in.style == PathStyle::kWindows) {
        out->AtLine(lost.empty() ? Severity::kWarning : Severity::kError, in.scan.endOfInputLine,
                    "the byte 0x1A ends the manifest for relayhive on Windows; " + skipped);
    }
}

// --- Plan steps -------------------------------------------------------------------------------

// The first byte Windows refuses in any file name (wildcards, redirections,
// quotes), as text; nullptr when none or not for Windows. ':' and control
// bytes are refused before this; a double-byte character's trail byte is none.
const char* WindowsInvalidCharacter(const std::string& name, PathStyle style, const LeadBytes& lead) {
    static const char* const kInvalid[] = {"<", ">", "\"", "|", "?", "*"};
    if (style != PathStyle::kWindows) return nullptr;
    for (std::size_t i = 0; i < name.size(); i += CharacterLength(name.data(), name.size(), i, style, lead)) {
        for (const char* invalid : kInvalid) {
            if (name[i] == invalid[0]) return invalid;
        }
    }
    return nullptr;
}

// Offset of a lead byte whose character does not end, or kAllValid: Windows
// reads that character as one no file name holds.
std::size_t CutCharacter(const std::string& name, const Installation& in) {
    const std::size_t bad = FirstInvalidByte(name, in.codePage);
    return bad != kAllValid && in.lead.Leads(static_cast<unsigned char>(name[bad])) ? bad : kAllValid;
}

// What a source in this state gives instead of a copy, after "download/NAME "; nullptr for a file.
const char* SourceProblem(FileState state) {
    switch (state) {
        case FileState::kMissing:
            return "does not exist";
        case FileState::kUnreadable:
            return "cannot be read";
        case FileState::kDirectory:
            return "is a directory";
        case FileState::kIrregular:
            return "is not a regular file (a pipe, a device or a socket): relayhive refuses it";
        case FileState::kNameTooLong:
            return "has a name longer than the file system holds (File name too long)";
        case FileState::kFile:
            break;
    }
    return nullptr;
}

std::string Limit(const PlanStep& step, PathStyle style) {
    return Number(step.reported.size()) + " bytes; relayhive's buffer holds " +
           Number(PathBufferSize(style) - 1);
}

// The error the plan and the facts predict for a step, "" when none. The
// manifest's copy says nothing of a manifest that is not there to read: the
// manifest's own finding says it, unless ownFinding is false.
std::string StepProblem(const Installation& in, const PlanStep& step, const StepFacts& facts, bool ownFinding) {
    if (step.kind == StepKind::kPause) return std::string();
    const bool manifest = step.group == PlanGroup::kManifest;
    const std::string named =
        manifest ? std::string("the manifest") : GroupEntry(RuleOf(step.group)) + " names " + Quoted(step.name);
    switch (step.kind) {
        case StepKind::kRefuse:
            return named + ", which relayhive refuses (" + step.reason + ") and skips";
        case StepKind::kTooLong:
            return named + ": the path " + ShownReported(step) + " is too long for " + TargetOf(in.style).title +
                   std::string(" (") + Limit(step, in.style) + "); relayhive skips it";
        case StepKind::kPause:
            return std::string();
        case StepKind::kCopy:
            break;
    }
    if (manifest && ownFinding && facts.source != FileState::kFile) return std::string();
    if (const char* invalid = WindowsInvalidCharacter(step.name, in.style, in.lead)) {
        return named + ", but Windows allows no '" + invalid + "' in a file name: relayhive cannot open it";
    }
    const std::size_t cut = facts.source == FileState::kMissing ? CutCharacter(step.name, in) : kAllValid;
    if (cut != kAllValid) {
        return named + ", but its byte " + Hex(step.name[cut]) + " at offset " + Number(cut) +
               " begins a character of " + CodePageOf(in.codePage).title + " that does not end: relayhive cannot open it";
    }
    if (const char* problem = SourceProblem(facts.source)) {
        return named + ", but " + ShownSource(step) + " " + problem;
    }
    const std::string directory = ShownDestinationDirectory(step, in.style, in.lead);
    if (!facts.destinationDirectoryExists) {
        return named + ", but the directory " + directory + " does not exist, so it cannot be copied";
    }
    if (facts.destinationIsDirectory) {
        return named + ", but " + ShownDestination(step) + " is a directory relayhive cannot replace";
    }
    if (!facts.destinationWritable) {
        return named + ", but this user may not write " + ShownDestination(step) +
               ": relayhive cannot replace it (Permission denied)";
    }
    if (facts.scratchIsDirectory) {
        return named + ", but the directory " + directory + texts::kScratchName +
               " stands where relayhive makes its scratch file: no copy into " + directory +
               " can be made (Is a directory)";
    }
    if (!facts.directoryWritable) {
        return named + ", but this user may not create files in " + directory +
               ": relayhive cannot make its scratch file there (Permission denied)";
    }
    return std::string();
}

void CheckStep(const Installation& in, const PlanStep& step, const StepFacts& facts, Collector* out) {
    const std::string problem = StepProblem(in, step, facts, true);
    if (problem.empty()) return;
    const std::uint32_t line = step.group == PlanGroup::kManifest ? 0 : LineOf(in.scan.read, RuleOf(step.group));
    out->AtLine(Severity::kError, line, problem);
}

// --- The manifest's text ----------------------------------------------------------------------

const char* ReadKeyOf(const std::string& foldedSection) {
    for (const GroupRule* group : ReadingGroups()) {
        if (foldedSection == group->section) return group->key;
    }
    return nullptr;
}

bool IsReadSection(const std::string& folded) { return ReadKeyOf(folded) != nullptr; }

// The read name within kNearMiss edits of name, or nullptr.
const char* NearMiss(const std::string& name, const std::vector<const char*>& candidates) {
    for (const char* candidate : candidates) {
        if (EditDistance(name, candidate) <= kNearMiss) return candidate;
    }
    return nullptr;
}

void CheckSections(const ManifestScan& scan, Collector* out) {
    const std::vector<const char*> sections = ReadNames(false);
    std::map<std::string, std::uint32_t> seen;  // folded name -> first header line
    for (const ManifestLine& line : scan.lines) {
        if (line.kind != LineKind::kSection) continue;
        const std::string folded = ascii::Fold(line.section);
        const auto first = seen.find(folded);
        if (first != seen.end()) {
            if (IsReadSection(folded)) {
                out->AtLine(Severity::kWarning, line.number,
                            "[" + ShowBytes(line.section) + "] repeats the section of line " +
                                Number(first->second) + ": relayhive adds its keys to that first one");
            }
            continue;
        }
        seen.emplace(folded, line.number);
        if (IsReadSection(folded)) continue;
        if (const char* meant = NearMiss(folded, sections)) {
            out->AtLine(Severity::kWarning, line.number,
                        "relayhive never reads section [" + ShowBytes(line.section) + "]; did you mean [" +
                            meant + "]?");
        }
    }
}

void CheckKeys(const ManifestScan& scan, Collector* out) {
    for (const ManifestLine& line : scan.lines) {
        if (line.kind != LineKind::kEntry) continue;
        const std::string section = ascii::Fold(line.section);
        const std::string key = ascii::Fold(line.key);
        const char* read = ReadKeyOf(section);
        if (read != nullptr && key == read) continue;
        const char* meant = NearMiss(key, ReadNames(true));
        if (meant == nullptr) continue;
        if (read != nullptr) {
            out->AtLine(Severity::kWarning, line.number,
                        "relayhive never reads key '" + ShowBytes(line.key) + "' in [" +
                            ShowBytes(line.section) + "]; it reads '" + read + "' there");
        } else if (line.section.empty()) {
            out->AtLine(Severity::kWarning, line.number,
                        "relayhive never reads key '" + ShowBytes(line.key) +
                            "' here: it belongs to no section relayhive reads");
        }
    }
    for (const GroupRule* group : ReadingGroups()) {
        const GroupValue value = ValueOf(scan.lines, *group);
        for (std::size_t i = 0; i + 1 < value.settings.size(); ++i) {
            out->AtLine(Severity::kWarning, value.settings[i],
                        GroupEntry(*group) + " is set again at line " + Number(value.settings.back()) +
                            ": relayhive uses that value and never this one");
        }
    }
}

// The name as the target's file system takes it: components as it looks them up.
std::string TargetSpelling(const std::string& name, PathStyle style) {
    std::string spelt;
    for (const std::string& component : TargetComponents(name, style)) {
        if (!spelt.empty()) spelt += '/';
        spelt += component;
    }
    return spelt;
}

bool WindowsChanges(const std::string& name) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && !IsPathSeparator(name[i], PathStyle::kWindows)) continue;
        if (WindowsWouldChangeName(name.data() + start, i - start)) return true;
        start = i + 1;
    }
    return false;
}

void CheckCodePage(const std::string& name, std::uint32_t line, CodePage codePage, Collector* out) {
    const std::size_t bad = FirstInvalidByte(name, codePage);
    const char* page = CodePageOf(codePage).title;
    if (bad != kAllValid) {
        out->AtLine(Severity::kWarning, line,
                    Quoted(name) + " is not valid " + page + " (byte " + Hex(name[bad]) + " at offset " +
                        Number(bad) + "): it cannot name the file intended");
    } else if (codePage == CodePage::k936 && LooksLikeUtf8(name)) {
        out->AtLine(Severity::kWarning, line,
                    Quoted(name) +
                        " is UTF-8, but Windows with code page 936 reads these bytes as other "
                        "characters: it names another file");
    }
}

void CheckNames(const Installation& in, Collector* out) {
    for (const GroupRule* group : ReadingGroups()) {
        const GroupValue value = ValueOf(in.scan.lines, *group);
        std::set<std::string> seen;  // SameFileKey of each name so far
        for (const std::string& name : NamesOf(*group, value.value)) {
            if (UnsafeNameReason(name.c_str(), in.style, in.lead) != nullptr) continue;
            if (!seen.insert(SameFileKey(name, in.style)).second) {
                out->AtLine(Severity::kWarning, value.line,
                            Quoted(name) + " is listed again in " + GroupEntry(*group) +
                                (in.style == PathStyle::kWindows ? " (the same file on Windows)" : "") +
                                ": relayhive copies it again");
            }
            if (in.style == PathStyle::kWindows && WindowsChanges(name)) {
                out->AtLine(Severity::kWarning, value.line,
                            "Windows drops the trailing dots and blanks of " + Quoted(name) + ": it names " +
                                Quoted(TargetSpelling(name, in.style)));
            }
            CheckCodePage(name, value.line, in.codePage, out);
        }
    }
}

// --- Notes ------------------------------------------------------------------------------------

void CheckNotes(const Installation& in, Collector* out) {
    if (in.manifest != FileState::kFile) return;
    const bool mainStep = std::any_of(in.plan.begin(), in.plan.end(),
                                      [](const PlanStep& s) { return s.group == PlanGroup::kMain; });
    if (!mainStep) {
        out->AtLine(Severity::kNote, 0, "no [cltmain] mainfile: relayhive does not update the client itself");
    }
    // Names in lists relayhive never reads count as listed: the warnings about those lists say the rest.
    std::set<std::string> listed{SameFileKey(texts::kManifestName, in.style)};
    std::vector<ManifestLine> entries = in.scan.lines;
    entries.insert(entries.end(), in.scan.read.begin(), in.scan.read.end());
    entries.insert(entries.end(), in.asMeant.lines.begin(), in.asMeant.lines.end());
    for (const ManifestLine& line : entries) {
        if (line.kind != LineKind::kEntry || NearMiss(ascii::Fold(line.key), ReadNames(true)) == nullptr) continue;
        for (const std::string& name : NamesOf(RuleOf(PlanGroup::kSkin), line.value)) {
            listed.insert(SameFileKey(name, in.style));
        }
        listed.insert(SameFileKey(line.value.c_str(), in.style));  // a main file, commas and all
    }
    for (const std::string& name : in.unspellable) {
        out->Add(Severity::kWarning, Staged(ShowBytes(name)), 0,
                 "the name is not UTF-8, so Wine shows relayhive other characters and no manifest name reaches "
                 "it; stage it under the UTF-8 spelling of its characters");
    }
    std::map<std::string, std::string> first;  // SameFileKey -> the first staged name with it
    for (const std::string& staged : in.staged) {
        const std::string key = SameFileKey(staged, in.style);
        const auto known = first.emplace(key, staged);
        if (!known.second) {
            out->Add(Severity::kWarning, Staged(ShowBytes(known.first->second)), 0,
                     "the staged " + Staged(ShowBytes(staged)) +
                         " is the same name on Windows: which of the two relayhive copies depends on the file system");
        }
        if (listed.count(key) != 0) continue;
        out->Add(Severity::kNote, Staged(ShowBytes(staged)), 0,
                 "staged, but no list in the manifest names it: relayhive leaves it in " + Staged(""));
    }
}

}  // namespace

std::string PredictedFailure(const Installation& in, std::size_t step) {
    if (in.plan[step].group == PlanGroup::kManifest && in.plan[step].kind == StepKind::kCopy &&
        in.manifest != FileState::kFile) {
        return ManifestStateProblem(in.manifest);
    }
    return StepProblem(in, in.plan[step], step < in.facts.size() ? in.facts[step] : StepFacts{}, false);
}

const char* SeverityLabel(Severity severity) {
    switch (severity) {
        case Severity::kError:
            return "error";
        case Severity::kWarning:
            return "warning";
        case Severity::kNote:
            return "note";
    }
    return "";
}

std::size_t EditDistance(const std::string& a, const std::string& b) {
    const std::string x = ascii::Fold(a);
    const std::string y = ascii::Fold(b);
    // Three rows of the optimal-string-alignment table: two back, one back, current.
    std::vector<std::size_t> previous2(y.size() + 1), previous(y.size() + 1), current(y.size() + 1);
    for (std::size_t j = 0; j <= y.size(); ++j) previous[j] = j;
    for (std::size_t i = 1; i <= x.size(); ++i) {
        current[0] = i;
        for (std::size_t j = 1; j <= y.size(); ++j) {
            const std::size_t cost = x[i - 1] == y[j - 1] ? 0 : 1;
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
            if (i > 1 && j > 1 && x[i - 1] == y[j - 2] && x[i - 2] == y[j - 1]) {
                current[j] = std::min(current[j], previous2[j - 2] + 1);
            }
        }
        previous2.swap(previous);
        previous.swap(current);
    }
    return previous[y.size()];
}

std::vector<Finding> FindProblems(const Installation& in) {
    Collector out;
    CheckManifestFile(in, &out);
    for (std::size_t i = 0; i < in.plan.size(); ++i) {
        CheckStep(in, in.plan[i], i < in.facts.size() ? in.facts[i] : StepFacts{}, &out);
    }
    if (in.manifest == FileState::kFile && in.manifestFits) {
        CheckSections(in.scan, &out);
        CheckKeys(in.scan, &out);
        CheckNames(in, &out);
    }
    CheckNotes(in, &out);
    return out.Sorted();
}
