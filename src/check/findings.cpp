#include "check/findings.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string_view>
#include <tuple>

#include "check/shown.h"
#include "common/ascii.h"
#include "common/texts.h"
#include "target/target.h"
#include "update/safe_name.h"

namespace {

// Said of a staged file that does not match its digest, and of every copy after such a run.
const char kPayloadRefused[] =
    "relayhive checks every listed file before it stops the client, and then copies nothing";
const char kPayloadCopiedNothing[] = "copied nothing and left the client running";

// A name within this many edits of one relayhive reads was probably meant to be it.
constexpr std::size_t kNearMiss = 2;

// What relayhive prints when its loader stops, without the line end.
std::string LoadFailureText(int byte) {
    char text[sizeof texts::kLoadFailureFormat + 16];
    const int length = std::snprintf(text, sizeof text, texts::kLoadFailureFormat, byte);
    return std::string(text, length > 0 ? static_cast<std::size_t>(length) - 1 : 0);
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

class Collector {
public:
    void Add(Severity severity, std::string file, std::uint32_t line, std::string message) {
        // A finding said twice is shown once; the set keeps long manifests linear.
        if (!seen_.emplace(severity, file, line, message).second) return;
        findings_.push_back(Finding{severity, std::move(file), line, std::move(message)});
    }
    void AtLine(Severity severity, std::uint32_t line, std::string message) {
        Add(severity, line == 0 ? ShownStaged(texts::kManifestName) : texts::kManifestName, line,
            std::move(message));
    }
    std::vector<Finding> Sorted() {
        std::stable_sort(findings_.begin(), findings_.end(), [](const Finding& a, const Finding& b) {
            return std::tie(a.severity, a.line) < std::tie(b.severity, b.line);
        });
        return std::move(findings_);
    }

private:
    std::vector<Finding> findings_;
    std::set<std::tuple<Severity, std::string, std::uint32_t, std::string>> seen_;
};

// A group's entry after the loader has read lines: it stores every key under the first
// section of its name, and a key set again replaces the value it had.
struct GroupValue {
    std::string_view value;  // into the line that sets it: nothing is copied per step
    std::uint32_t line = 0;               // the line whose value counts; 0 when unset
    std::vector<std::uint32_t> settings;  // every line that set it, in order
};

bool ReadsEntry(const ManifestLine& line, const GroupRule& group) {
    return line.kind == LineKind::kEntry && ascii::Fold(line.section) == group.section &&
           ascii::Fold(line.key) == group.key;
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

// "[cltskin] filelist (line 3), [cltmain] mainfile (line 9)": the groups the whole file (as
// its author meant it) sets otherwise than what relayhive reads of it.
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

// What a path in a state other than kFile gives: said of the manifest, and of a source.
struct StateWords {
    FileState state;
    const char* manifest;
    const char* source;
};
constexpr StateWords kStateWords[] = {
    {FileState::kMissing, "the manifest is missing", "does not exist"},
    {FileState::kUnreadable, "the manifest cannot be read", "cannot be read"},
    {FileState::kDirectory, "the manifest is a directory", "is a directory"},
    {FileState::kIrregular, "the manifest is not a regular file (a pipe, a device or a socket)",
     "is not a regular file (a pipe, a device or a socket): relayhive refuses it"},
    {FileState::kNameTooLong, "the manifest's path is longer than the file system holds",
     "has a name longer than the file system holds"},
};

const StateWords* WordsOf(FileState state) {
    for (const StateWords& words : kStateWords) {
        if (words.state == state) return &words;
    }
    return nullptr;
}

// What relayhive makes of a manifest in this state, "" for a file it reads.
std::string ManifestStateProblem(FileState state) {
    const StateWords* words = WordsOf(state);
    if (words == nullptr) return std::string();
    return std::string(words->manifest) + ": relayhive reads no list and copies nothing";
}

void CheckManifestFile(const Installation& in, Collector* out) {
    const std::string problem = ManifestStateProblem(in.manifest);
    if (!problem.empty()) {
        out->AtLine(Severity::kError, 0, problem);
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
                    "relayhive stops reading the manifest here (it prints \"" + LoadFailureText(in.load.byte) +
                        "\"): " + problem + "; " + skipped);
    } else if (in.form == ManifestForm::kLoneCarriageReturns) {
        out->AtLine(lost.empty() ? Severity::kWarning : Severity::kError, 1,
                    "the lines end in CR alone, and relayhive ends lines only at LF: it reads the whole file as "
                    "one line; save it with CR LF or LF line ends; " + skipped);
    } else if (in.load.stop == LoadStop::kOutOfMemory) {
        out->AtLine(Severity::kError, 0,
                    "relayhive runs out of memory reading the manifest; " + skipped);
    } else if (in.scan.endOfInputLine != 0 && in.style == PathStyle::kWindows) {
        out->AtLine(lost.empty() ? Severity::kWarning : Severity::kError, in.scan.endOfInputLine,
                    "the byte 0x1A ends the manifest for relayhive on Windows; " + skipped);
    }
}

// The first character Windows refuses in any file name (wildcards, redirections, quotes); '\0'
// when none or not for Windows. ':' and control bytes are refused before this.
char WindowsInvalidCharacter(const std::string& name, const Installation& in) {
    return in.style == PathStyle::kWindows ? FirstCharacterAmong(name, kWindowsForbidden, in.codePage) : '\0';
}

// Offset of a Windows target's lead byte whose character does not end, or kAllValid.
std::size_t CutCharacter(const std::string& name, const Installation& in) {
    return in.style == PathStyle::kWindows ? in.codePage.FirstCutCharacter(name) : kAllValid;
}

// The error the plan and the facts predict for a step, "" when none. Of a manifest not there
// to read its copy says nothing, the manifest's own finding says it, unless ownFinding is false.
std::string StepProblem(const Installation& in, const PlanStep& step, const StepFacts& facts, bool ownFinding) {
    if (step.kind == StepKind::kPause) return std::string();
    const bool manifest = step.group == PlanGroup::kManifest;
    const std::string named =
        manifest ? std::string("the manifest") : GroupEntry(RuleOf(step.group)) + " names " + Quoted(step.name);
    if (step.kind == StepKind::kRefuse) {
        return named + ", which relayhive refuses (" + step.reason + ") and skips";
    }
    if (step.kind == StepKind::kTooLong) {
        return named + ": the path " + ShownReported(step) + " is too long for " +
               TargetOf(in.style).title + " (" + Number(step.reported.size()) +
               " bytes; relayhive's buffer holds " + Number(PathBufferSize(in.style) - 1) +
               "); relayhive skips it";
    }
    if (manifest && ownFinding && facts.source != FileState::kFile) return std::string();
    if (const char invalid = WindowsInvalidCharacter(step.name, in)) {
        return named + ", but Windows allows no '" + invalid + "' in a file name: relayhive cannot open it";
    }
    const std::size_t cut = CutCharacter(step.name, in);
    if (cut != kAllValid) {
        return named + ", but its byte " + Hex(step.name[cut]) + " at offset " + Number(cut) +
               " begins a character of " + CodePageRuleOf(in.codePage.Number()).title +
               " that does not end: relayhive cannot open it";
    }
    if (const StateWords* words = WordsOf(facts.source)) {
        // The system's own words follow, as relayhive prints them for that copy.
        const std::string system = facts.source == FileState::kNameTooLong ? std::string(" (") + texts::kTooLong + ")" : "";
        return named + ", but " + ShownSource(step) + " " + words->source + system;
    }
    const std::string directory = ShownDestinationDirectory(step, in.style, in.codePage);
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

// What the check before the stop finds of a step's staged file, "" when it matches or is not checked.
std::string PayloadProblem(const Installation& in, std::size_t step) {
    if (step >= in.payload.size() || in.payload[step].empty()) return std::string();
    const PlanStep& planned = in.plan[step];
    return GroupEntry(RuleOf(planned.group)) + " names " + Quoted(planned.name) + ", but " + ShownSource(planned) +
           " " + in.payload[step] + "; " + kPayloadRefused;
}

void CheckStep(const Installation& in, std::size_t index, Collector* out) {
    const PlanStep& step = in.plan[index];
    const std::string problems[] = {
        PayloadProblem(in, index),
        StepProblem(in, step, index < in.facts.size() ? in.facts[index] : StepFacts{}, true)};
    for (const std::string& problem : problems) {
        if (problem.empty()) continue;
        const std::uint32_t line =
            step.group == PlanGroup::kManifest ? 0 : ValueOf(in.scan.read, RuleOf(step.group)).line;
        out->AtLine(Severity::kError, line, problem);
    }
}

const char* ReadKeyOf(const std::string& foldedSection) {
    for (const GroupRule* group : ReadingGroups()) {
        if (foldedSection == group->section) return group->key;
    }
    return nullptr;
}

// Edits (insertions, deletions, substitutions, neighbour swaps) from a to b, ASCII case ignored.
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

// The section, or the key, relayhive reads within kNearMiss edits of name, or nullptr. A
// misspelt digest section would leave the download unchecked without a word.
const char* NearMiss(const std::string& name, bool key) {
    for (const GroupRule* group : ReadingGroups()) {
        const char* candidate = key ? group->key : group->section;
        if (EditDistance(name, candidate) <= kNearMiss) return candidate;
    }
    return !key && EditDistance(name, texts::kDigestSection) <= kNearMiss ? texts::kDigestSection : nullptr;
}

void CheckSections(const ManifestScan& scan, Collector* out) {
    std::map<std::string, std::uint32_t> seen;  // folded name -> first header line
    for (const ManifestLine& line : scan.lines) {
        if (line.kind != LineKind::kSection) continue;
        const std::string folded = ascii::Fold(line.section);
        const auto first = seen.emplace(folded, line.number);
        const bool read = ReadKeyOf(folded) != nullptr || folded == texts::kDigestSection;
        if (!first.second && read) {
            out->AtLine(Severity::kWarning, line.number,
                        "[" + ShowBytes(line.section) + "] repeats the section of line " +
                            Number(first.first->second) +
                            ": relayhive adds its keys to that first one");
        }
        if (!first.second || read) continue;
        if (const char* meant = NearMiss(folded, false)) {
            out->AtLine(Severity::kWarning, line.number,
                        "relayhive never reads section [" + ShowBytes(line.section) + "]; did you mean [" +
                            meant + "]?");
        }
    }
}

void CheckKeys(const ManifestScan& scan, Collector* out) {
    for (const ManifestLine& line : scan.lines) {
        if (line.kind != LineKind::kEntry) continue;
        const std::string key = ascii::Fold(line.key);
        const char* read = ReadKeyOf(ascii::Fold(line.section));
        if (read != nullptr && key == read) continue;
        if (NearMiss(key, true) == nullptr) continue;
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
}

void CheckCodePage(const std::string& name, std::uint32_t line, const CodePage& codePage, Collector* out) {
    const std::size_t bad = codePage.FirstInvalidByte(name);
    const char* title = CodePageRuleOf(codePage.Number()).title;
    if (bad != kAllValid) {
        out->AtLine(Severity::kWarning, line,
                    Quoted(name) + " is not valid " + title + " (byte " + Hex(name[bad]) + " at offset " + Number(bad) +
                        "): it cannot name the file intended");
    } else if (codePage.Number() != kUtf8CodePage && LooksLikeUtf8(name)) {
        out->AtLine(Severity::kWarning, line,
                    Quoted(name) + " is UTF-8, but Windows with " + title +
                        " reads these bytes as other characters: it names another file");
    }
}

void CheckNames(const Installation& in, Collector* out) {
    for (const GroupRule* group : ReadingGroups()) {
        const GroupValue value = ValueOf(in.scan.lines, *group);
        for (std::size_t i = 0; i + 1 < value.settings.size(); ++i) {
            out->AtLine(Severity::kWarning, value.settings[i],
                        GroupEntry(*group) + " is set again at line " + Number(value.settings.back()) +
                            ": relayhive uses that value and never this one");
        }
        std::set<std::string> seen;  // SameFileKey of each name so far
        for (const std::string& name : NamesOf(*group, std::string(value.value))) {
            if (UnsafeNameReason(name.c_str(), in.style, in.codePage) != nullptr) continue;
            if (!seen.insert(SameFileKey(name, in.style, in.codePage)).second) {
                out->AtLine(Severity::kWarning, value.line,
                            Quoted(name) + " is listed again in " + GroupEntry(*group) +
                                (in.style == PathStyle::kWindows ? " (the same file on Windows)" : "") +
                                ": relayhive copies it again");
            }
            std::string_view changed;
            if (in.style == PathStyle::kWindows && WindowsChangedComponent(name, in.codePage, &changed)) {
                out->AtLine(Severity::kWarning, value.line,
                            "Windows drops the trailing dots and blanks of " + Quoted(name) + ": it names " +
                                Quoted(TargetSpelling(name, in.style, in.codePage)));
            }
            CheckCodePage(name, value.line, in.codePage, out);
        }
    }
}

void CheckNotes(const Installation& in, Collector* out) {
    if (in.manifest != FileState::kFile) return;
    const bool mainStep = std::any_of(in.plan.begin(), in.plan.end(),
                                      [](const PlanStep& s) { return s.group == PlanGroup::kMain; });
    if (!mainStep) {
        out->AtLine(Severity::kNote, 0, "no [cltmain] mainfile: relayhive does not update the client itself");
    }
    // Names in lists relayhive never reads count as listed: the warnings about those lists say the rest.
    std::set<std::string> listed{SameFileKey(texts::kManifestName, in.style, in.codePage)};
    std::vector<ManifestLine> entries = in.scan.lines;
    entries.insert(entries.end(), in.scan.read.begin(), in.scan.read.end());
    entries.insert(entries.end(), in.asMeant.lines.begin(), in.asMeant.lines.end());
    for (const ManifestLine& line : entries) {
        if (line.kind != LineKind::kEntry || NearMiss(line.key, true) == nullptr) continue;
        for (const std::string& name : NamesOf(RuleOf(PlanGroup::kSkin), line.value)) {
            listed.insert(SameFileKey(name, in.style, in.codePage));
        }
        listed.insert(SameFileKey(line.value.c_str(), in.style, in.codePage));  // a main file, commas and all
    }
    for (const std::string& name : in.unspellable) {
        out->Add(Severity::kWarning, ShownStaged(name), 0,
                 "the name is not UTF-8, so Wine shows relayhive other characters and no manifest name reaches "
                 "it; stage it under the UTF-8 spelling of its characters");
    }
    std::map<std::string, std::string> first;  // SameFileKey -> the first staged name with it
    for (const std::string& staged : in.staged) {
        const std::string key = SameFileKey(staged, in.style, in.codePage);
        const auto known = first.emplace(key, staged);
        if (!known.second) {
            out->Add(Severity::kWarning, ShownStaged(known.first->second), 0,
                     "the staged " + ShownStaged(staged) +
                         " is the same name on Windows: which of the two relayhive copies depends on the file system");
        }
        if (listed.count(key) != 0) continue;
        out->Add(Severity::kNote, ShownStaged(staged), 0,
                 "staged, but no list in the manifest names it: relayhive leaves it in " +
                     ShownStaged(""));
    }
}

}  // namespace

std::string PredictedFailure(const Installation& in, std::size_t step) {
    // A file that does not match its digest stops the run before the client is stopped.
    for (std::size_t i = 0; i < in.payload.size() && in.plan[step].kind == StepKind::kCopy; ++i) {
        if (!in.payload[i].empty()) {
            return std::string("relayhive ") + kPayloadCopiedNothing + ": " + ShownSource(in.plan[i]) + " " +
                   in.payload[i];
        }
    }
    if (in.plan[step].group == PlanGroup::kManifest && in.plan[step].kind == StepKind::kCopy &&
        in.manifest != FileState::kFile) {
        return ManifestStateProblem(in.manifest);
    }
    return StepProblem(in, in.plan[step], step < in.facts.size() ? in.facts[step] : StepFacts{}, false);
}

const char* SeverityLabel(Severity severity) {
    static const char* const kLabels[] = {"error", "warning", "note"};
    return kLabels[static_cast<int>(severity)];
}

std::vector<Finding> FindProblems(const Installation& in) {
    Collector out;
    CheckManifestFile(in, &out);
    for (std::size_t i = 0; i < in.plan.size(); ++i) CheckStep(in, i, &out);
    if (in.manifest == FileState::kFile && in.manifestFits) {
        CheckSections(in.scan, &out);
        CheckKeys(in.scan, &out);
        CheckNames(in, &out);
    }
    CheckNotes(in, &out);
    return out.Sorted();
}
