#include "check/after.h"

#include <cstring>

#include "check/findings.h"

// What a copy that did not land, with no failure foreseen, most likely met.
static const char kUnforeseen[] =
    "the plan predicts no failure here: the run stopped before it (killed, or the machine went down), or a "
    "write failed (a full disk, the file held open by another program)";

// An empty record: relayhive made the file but could not write a byte of it.
static const char kUnwritten[] = "relayhive could not write its record of the run (is this disk full?); ";

// value without prefix when it starts with it.
static bool Stripped(const std::string& value, const char* prefix, std::string* rest) {
    if (value.compare(0, std::strlen(prefix), prefix) != 0) return false;
    *rest = value.substr(std::strlen(prefix));
    return true;
}

// What the record says of a copy that did not land; empty where it knows nothing. step: the
// record's entry for it (nullptr: none).
static std::string Recorded(const Installation& in, std::size_t index, const record::Read& run,
                            const record::Step* step) {
    std::string detail;
    if (!run.found) return std::string();
    if (run.client == record::kDownloadRefused) {
        return "the run found a staged file that does not match the manifest's size and SHA-256, so it copied "
               "nothing and left the client running";
    }
    if (Stripped(run.client, record::kNotStoppedPrefix, &detail)) {
        return "the run could not stop the client (" + detail + "), so it copied nothing";
    }
    if (Stripped(run.copies, record::kNotRecordedPrefix, &detail)) {
        return std::string();  // the run went on without a list: the plan's word stands
    }
    if (!run.stepsWhole) {
        return "the run did not finish: it ended before its first copy (killed, or the machine went down)";
    }
    if (step == nullptr) return std::string();
    if (step->result == record::kPending) {
        return "the run did not finish: it ended before this copy (killed, or the machine went down); run "
               "relayhive again";
    }
    if (step->result == record::kCopying) {
        return "the run did not finish: it ended during this copy (killed, or the machine went down); run "
               "relayhive again";
    }
    if (step->result == record::kLanded) return "the run recorded this copy as landed; the file has changed since";
    if (Stripped(step->result, record::kFailedPrefix, &detail)) {
        const PlanStep& planned = in.plan[index];
        return "the run recorded that copying " + RelativeToWorkingDirectory(planned.source, in.workingDirectory) +
               " to " + RelativeToWorkingDirectory(planned.destination, in.workingDirectory) + " failed: " + detail;
    }
    return "the run recorded: " + step->result;
}

const char* LandedLabel(Landed state) {
    static const char* const kLabels[] = {"landed", "differs", "missing", "not copied", "unread"};
    return kLabels[static_cast<int>(state)];
}

std::vector<Landing> Landings(const Installation& in, const std::vector<FileDigest>& sources,
                              const std::vector<FileDigest>& destinations, const record::Read& run) {
    std::vector<Landing> landings;
    std::size_t nextRecorded = 0;
    for (std::size_t i = 0; i < in.plan.size(); ++i) {
        const PlanStep& step = in.plan[i];
        if (step.kind == StepKind::kPause) continue;
        Landing landing{i, Landed::kNotCopied, FileDigest{}, FileDigest{}, std::string()};
        if (step.kind == StepKind::kCopy) {
            landing.source = i < sources.size() ? sources[i] : FileDigest{};
            landing.destination = i < destinations.size() ? destinations[i] : FileDigest{};
            const bool same = landing.source.read && landing.destination.read &&
                              landing.source.size == landing.destination.size &&
                              landing.source.hash == landing.destination.hash;
            landing.state = same                         ? Landed::kLanded
                            : landing.destination.read    ? Landed::kDiffers
                            : landing.destination.present ? Landed::kUnread
                                                          : Landed::kMissing;
        }
        const record::Step* recorded = record::Find(run, step, &nextRecorded);
        if (landing.state != Landed::kLanded) {
            // A refusal the plan names is the same one the run met: the plan's words say more.
            const std::string predicted = PredictedFailure(in, i);
            const bool refused = step.kind != StepKind::kCopy && !predicted.empty();
            landing.reason = refused ? std::string() : Recorded(in, i, run, recorded);
            const bool failed = recorded != nullptr && recorded->result.rfind(record::kFailedPrefix, 0) == 0;
            // A failure the plan foresaw: the run's words, then what to do about it.
            if (failed && !predicted.empty()) landing.reason += "; " + predicted;
            if (landing.reason.empty()) landing.reason = predicted;
            if (landing.reason.empty()) landing.reason = kUnforeseen;
            if (run.unwritten) landing.reason = kUnwritten + landing.reason;
        }
        landings.push_back(landing);
    }
    return landings;
}

std::size_t NotLanded(const std::vector<Landing>& landings) {
    std::size_t count = 0;
    for (const Landing& landing : landings) count += landing.state != Landed::kLanded ? 1 : 0;
    return count;
}
