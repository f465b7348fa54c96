#include "update/run_record.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

#include "common/texts.h"
#include "os/os.h"
#include "update/report.h"

namespace record {

namespace {

constexpr char kTitle[] = "relayhive run record";
constexpr char kStepWord[] = "step ";
constexpr char kResultLabel[] = "  result";
// The header's slots, one unit each, in this order after the title, version and start.
enum HeaderSlot { kClientSlot = 3, kCopiesSlot, kRelaunchSlot, kRunSlot, kHeaderUnits };
constexpr const char* kHeaderLabels[] = {"", "version", "started", "client", "copies", "relaunch", "run"};

// text, blanks up to the end of its last unit, a line feed.
std::string Padded(const std::string& text) {
    const std::size_t units = text.size() / kUnit + 1;
    std::string line = text;
    line.resize(units * kUnit - 1, ' ');
    return line + "\n";
}

std::string Trimmed(const std::string& line) {
    const std::size_t end = line.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : line.substr(0, end + 1);
}

// The value of "label: value", or false when line is not one.
bool ValueOf(const std::string& line, const char* label, std::string* value) {
    const std::string prefix = std::string(label) + ": ";
    if (line.compare(0, prefix.size(), prefix) != 0) return false;
    *value = line.substr(prefix.size());
    return true;
}

std::string StepHeading(const PlanStep& step) {
    return kStepWord + std::string(RuleOf(step.group).label) + " " + Escaped(step.name);
}

std::string StepPaths(const PlanStep& step) {
    if (step.kind != StepKind::kCopy) return "  " + Escaped(step.reported);
    return "  " + Escaped(step.source) + " -> " + Escaped(step.destination);
}

}  // namespace

std::string Escaped(const std::string& bytes) {
    std::string shown;
    // Blanks that end a name are escaped too: the line's padding would swallow them.
    const std::size_t kept = bytes.find_last_not_of(' ') + 1;  // 0 when all are blanks
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\' && i < kept) {
            shown += c;
            continue;
        }
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\x%02X", byte);
        shown += escape;
    }
    return shown;
}

namespace {

void FillSlot(char (&line)[kUnit], const char* label, const char* value) {
    std::memset(line, ' ', sizeof line);
    std::size_t used = 0;
    for (const char* piece : {label, ": ", value}) {
        // A longer value is cut: the slot is one unit. Bytes that would break the line are blanks.
        for (; *piece != '\0' && used < kUnit - 1; ++piece) line[used++] = *piece == '\n' ? ' ' : *piece;
    }
    line[kUnit - 1] = '\n';
}

}  // namespace

std::string SlotLine(const char* label, const char* value) {
    char line[kUnit];
    FillSlot(line, label, value);
    return std::string(line, sizeof line);
}

Read Parse(const std::string& bytes) {
    Read read;
    read.unwritten = bytes.empty();
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < bytes.size();) {
        const std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos) break;  // a line cut short by the end is no line
        lines.push_back(Trimmed(bytes.substr(start, end - start)));
        start = end + 1;
    }
    if (lines.size() < kHeaderUnits || lines[0] != kTitle) return read;
    std::string* const fields[] = {nullptr, &read.version, &read.started, &read.client,
                                   &read.copies, &read.relaunch, &read.run};
    for (int i = 1; i < kHeaderUnits; ++i) {
        if (!ValueOf(lines[i], kHeaderLabels[i], fields[i])) return read;
    }
    read.found = true;
    for (std::size_t i = kHeaderUnits; i + 2 < lines.size() && lines[i].rfind(kStepWord, 0) == 0; i += 3) {
        const std::string heading = lines[i].substr(std::strlen(kStepWord));
        const std::size_t blank = heading.find(' ');
        Step step{heading.substr(0, blank), blank == std::string::npos ? "" : heading.substr(blank + 1), ""};
        if (!ValueOf(lines[i + 2], kResultLabel, &step.result)) break;
        read.steps.push_back(step);
    }
    const std::string count = std::to_string(read.steps.size()) + kCopiesBelow;
    read.stepsWhole = read.copies == count;
    if (!read.stepsWhole) read.steps.clear();
    return read;
}

const Step* Find(const Read& read, const PlanStep& step, std::size_t* next) {
    const std::string name = Escaped(step.name);
    for (std::size_t i = *next; i < read.steps.size(); ++i) {
        if (read.steps[i].group == RuleOf(step.group).label && read.steps[i].name == name) {
            *next = i + 1;
            return &read.steps[i];
        }
    }
    return nullptr;
}

}  // namespace record

namespace {

// The pieces one after another in value, cut to fit: a slot is one unit.
void Join(char (&value)[record::kUnit], std::initializer_list<const char*> pieces) {
    std::size_t used = 0;
    for (const char* piece : pieces) {
        for (; *piece != '\0' && used < sizeof value - 1; ++piece) value[used++] = *piece;
    }
    value[used] = '\0';
}

// The last report of the step under way.
char lastReport[record::kUnit];

void KeepReport(const char* message) { Join(lastReport, {message}); }

}  // namespace


RunRecord::~RunRecord() {
    if (file_ >= 0) os::CloseRecordFile(file_);
}

void RunRecord::Write(std::uint64_t offset, const std::string& line) {
    if (file_ >= 0) (void)os::WriteRecordAt(file_, offset, line.data(), line.size());
}

void RunRecord::WriteSlot(std::uint64_t offset, const char* label, const char* value) {
    if (file_ < 0) return;
    const int savedErrno = errno;
    char line[record::kUnit];
    record::FillSlot(line, label, value);
    (void)os::WriteRecordAt(file_, offset, line, sizeof line);
    errno = savedErrno;
}

void RunRecord::Begin(const char* version) {
    const int savedErrno = errno;
    file_ = os::OpenRecordFile(texts::kRecordName);
    try {
        WriteHeader(version);
    } catch (const std::bad_alloc&) {
    }
    errno = savedErrno;
}

void RunRecord::WriteHeader(const char* version) {
    char started[64];
    os::UtcTimeText(started, sizeof started);
    std::string header = record::Padded(record::kTitle);
    const char* const values[] = {version, started, record::kPending, record::kPending, record::kPending,
                                  record::kInProgress};
    for (int i = 1; i < record::kHeaderUnits; ++i) header += record::SlotLine(record::kHeaderLabels[i], values[i - 1]);
    if (file_ < 0) return;
    // Written over the last run's record, then cut: on a full disk its blocks hold the new one.
    // A header that cannot be written leaves an empty file, never one that passes for a record.
    end_ = os::WriteRecordAt(file_, 0, header.data(), header.size()) ? header.size() : 0;
    (void)os::SetRecordLength(file_, end_);
    if (end_ == 0) {
        os::CloseRecordFile(file_);
        file_ = -1;
        return;
    }
    Flush();
}

void RunRecord::Client(const char* value) {
    WriteSlot(record::kClientSlot * record::kUnit, record::kHeaderLabels[record::kClientSlot], value);
}

void RunRecord::ListSteps(const std::vector<PlanStep>& steps) {
    if (file_ < 0) return;
    const int savedErrno = errno;
    std::string listed;
    for (const PlanStep& step : steps) {
        if (step.kind == StepKind::kPause) continue;
        listed += record::Padded(record::StepHeading(step)) + record::Padded(record::StepPaths(step));
        slots_.push_back(Slot{step.group, step.name, end_ + listed.size()});
        listed += record::SlotLine(record::kResultLabel, record::kPending);
    }
    // The space every later result needs is taken now, before the first copy.
    if (!os::WriteRecordAt(file_, end_, listed.data(), listed.size()) || !os::FlushRecordFile(file_)) {
        NotListed(errno);
        errno = savedErrno;
        return;
    }
    end_ += listed.size();
    char copies[record::kUnit];
    std::snprintf(copies, sizeof copies, "%lu%s", static_cast<unsigned long>(slots_.size()), record::kCopiesBelow);
    WriteSlot(record::kCopiesSlot * record::kUnit, record::kHeaderLabels[record::kCopiesSlot], copies);
    Flush();
    errno = savedErrno;
}

void RunRecord::NotListed(int errnum) {
    slots_.clear();
    if (file_ < 0) return;
    (void)os::SetRecordLength(file_, end_);  // a part written is no list
    char copies[record::kUnit];
    Join(copies, {record::kNotRecordedPrefix, os::ErrorMessage(errnum)});
    WriteSlot(record::kCopiesSlot * record::kUnit, record::kHeaderLabels[record::kCopiesSlot], copies);
    Flush();
}

long RunRecord::Find(const PlanStep& step) {
    for (std::size_t i = next_; i < slots_.size(); ++i) {
        if (slots_[i].group == step.group && slots_[i].name == step.name) {
            next_ = i + 1;
            return static_cast<long>(i);
        }
    }
    return -1;
}

void RunRecord::Result(long slot, const char* value) {
    if (slot < 0 || static_cast<std::size_t>(slot) >= slots_.size()) return;
    WriteSlot(slots_[static_cast<std::size_t>(slot)].offset, record::kResultLabel, value);
}

void RunRecord::Relaunch(const char* value) {
    WriteSlot(record::kRelaunchSlot * record::kUnit, record::kHeaderLabels[record::kRelaunchSlot], value);
}

void RunRecord::Run(const char* value) {
    WriteSlot(record::kRunSlot * record::kUnit, record::kHeaderLabels[record::kRunSlot], value);
}

void RunRecord::Flush() {
    const int savedErrno = errno;
    if (file_ >= 0) (void)os::FlushRecordFile(file_);
    errno = savedErrno;
}

void RunRecord::ClientStopped(ClientStop how, int errnum) {
    char value[record::kUnit];
    switch (how) {
        case ClientStop::kStopped:
            Client(record::kStopped);
            return;
        case ClientStop::kNoneRunning:
            Client(record::kNoneRunning);
            return;
        case ClientStop::kNoProcessList:
            Join(value, {record::kNotStoppedPrefix, record::kNoProcessList});
            break;
        case ClientStop::kNotTerminated:
            Join(value, {record::kNotStoppedPrefix, os::ErrorMessage(errnum)});
            break;
    }
    Client(value);
    Run(record::kEndedEarly);
    Flush();
}

void RunRecord::StartStep(const PlanStep& step) {
    current_ = step.kind == StepKind::kPause ? -1 : Find(step);
    step_ = &step;
    lastReport[0] = '\0';
    ListenToReports(KeepReport);
    Result(current_, record::kCopying);
}

void RunRecord::EndStep(bool moved) {
    ListenToReports(nullptr);
    char value[record::kUnit];
    const bool refused = std::strncmp(lastReport, texts::kRefusedPrefix, std::strlen(texts::kRefusedPrefix)) == 0;
    if (moved) {
        Join(value, {record::kLanded});
    } else if (refused) {
        Join(value, {lastReport});
    } else {
        // Windows says only "Permission denied" for a file another program holds: the record says which.
        const bool inUse = step_ != nullptr && step_->kind == StepKind::kCopy &&
                           (os::FileInUse(step_->source.c_str()) || os::FileInUse(step_->destination.c_str()));
        Join(value, {record::kFailedPrefix, lastReport, inUse ? record::kInUse : ""});
    }
    Result(current_, value);
    current_ = -1;
    step_ = nullptr;
}

void RunRecord::Relaunched(const RelaunchOutcome& outcome) {
    char value[record::kUnit];
    if (!outcome.started) {
        std::snprintf(value, sizeof value, "the client could not start: error code %ld", outcome.errorCode);
    } else if (outcome.waited == os::WaitResult::kExited) {
        std::snprintf(value, sizeof value, "the client exited, exit code %ld", outcome.exitCode);
    } else {
        std::snprintf(value, sizeof value, "the client started; its exit code could not be read");
    }
    Relaunch(value);
    Run(record::kFinished);
    Flush();
}
