// The record of a run, kept in the working directory as the run goes: what was stopped, each
// planned copy's result, the relaunch. The layout and its reading are pure; RunRecord writes it.
#ifndef RELAYHIVE_UPDATE_RUN_RECORD_H
#define RELAYHIVE_UPDATE_RUN_RECORD_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <new>
#include <vector>

#include "process/client_process.h"
#include "update/plan.h"

namespace record {

// Every line fills whole units of this size, so each slot rewritten in place lies within one
// disk sector: a power cut leaves it old or new, never torn.
inline constexpr std::size_t kUnit = 128;

// The values a slot takes; a slot still "pending" was never reached.
inline constexpr char kPending[] = "pending";
inline constexpr char kCopying[] = "copying";
inline constexpr char kLanded[] = "landed";
inline constexpr char kFailedPrefix[] = "failed: ";
inline constexpr char kInUse[] = ", the file is in use by another program";
inline constexpr char kStopped[] = "stopped";
inline constexpr char kNoneRunning[] = "none running";
inline constexpr char kNotStoppedPrefix[] = "not stopped: ";
inline constexpr char kNoProcessList[] = "the process list could not be taken";
// The download did not match the manifest's digests: the client was left running, nothing copied.
inline constexpr char kDownloadRefused[] = "left running: the download does not match the manifest's digests";
inline constexpr char kCopiesBelow[] = " below";
inline constexpr char kNotRecordedPrefix[] = "not recorded: ";
inline constexpr char kRelaunching[] = "starting the client";
inline constexpr char kInProgress[] = "in progress";
inline constexpr char kFinished[] = "finished";
inline constexpr char kEndedEarly[] = "ended before the copies";

// Bytes outside printable ASCII and '\' as \xNN: each name stays on one line.
std::string Escaped(const std::string& bytes);
// "label: value" cut to one unit, padded with blanks and ended by a line feed.
std::string SlotLine(const char* label, const char* value);

// The record as read back.
struct Step {
    std::string group;   // the plan group's label
    std::string name;    // escaped, as the manifest gives it
    std::string result;  // the slot's value
};
struct Read {
    bool found = false;  // a record of this layout
    bool unwritten = false;  // the file is there but empty: relayhive could not write it (a full disk)
    std::string version, started, client, copies, relaunch, run;
    bool stepsWhole = false;  // the copies slot vouches for the steps below it
    std::vector<Step> steps;
};
Read Parse(const std::string& bytes);

// The step of read matching step's group and name, from *next on (which it advances); nullptr if none.
const Step* Find(const Read& read, const PlanStep& step, std::size_t* next);

}  // namespace record

// Writes the record of this run. Every failure to write only leaves the record shorter: the run,
// its output and its exit status never change for it.
class RunRecord {
public:
    RunRecord() = default;
    ~RunRecord();
    RunRecord(const RunRecord&) = delete;
    RunRecord& operator=(const RunRecord&) = delete;

    // Opens the record in the working directory and writes its header with every slot pending.
    void Begin(const char* version);
    void Client(const char* value);
    // How stopping the client went; errnum: why it could not be (kNotTerminated).
    void ClientStopped(ClientStop how, int errnum);
    // Lists the steps plan() gives, each with its result slot, before the first copy.
    template <typename Plan>
    void List(Plan plan) {
        try {
            ListSteps(plan());
        } catch (const std::bad_alloc&) {
            NotListed(ENOMEM);
        }
    }
    // The slot of the listed step matching step, from the last one found on; -1 if none.
    long Find(const PlanStep& step);
    void Result(long slot, const char* value);
    // A step begins: its slot says "copying", and what the step reports is kept for its result.
    void StartStep(const PlanStep& step);
    // The step begun last has ended; moved: its file is in place.
    void EndStep(bool moved);
    void Relaunched(const RelaunchOutcome& outcome);
    void Relaunch(const char* value);
    void Run(const char* value);
    void Flush();

private:
    void WriteHeader(const char* version);
    void ListSteps(const std::vector<PlanStep>& steps);
    // The copies slot says why the steps are not listed.
    void NotListed(int errnum);
    void Write(std::uint64_t offset, const std::string& line);
    // One slot, assembled without memory: a run short of it still records.
    void WriteSlot(std::uint64_t offset, const char* label, const char* value);

    std::intptr_t file_ = -1;
    std::uint64_t end_ = 0;  // the length of what has been written
    struct Slot {
        PlanGroup group;
        std::string name;
        std::uint64_t offset;
    };
    std::vector<Slot> slots_;
    std::size_t next_ = 0;
    long current_ = -1;               // the slot of the step under way
    const PlanStep* step_ = nullptr;  // the step under way
};

#endif
