#include "check/after.h"

#include "check/findings.h"

// What a copy that did not land, with no failure foreseen, most likely met.
static const char kUnforeseen[] =
    "the plan predicts no failure here: the run stopped before it (killed, or the machine went down), or a "
    "write failed (a full disk, the file held open by another program)";

const char* LandedLabel(Landed state) {
    static const char* const kLabels[] = {"landed", "differs", "missing", "not copied"};
    return kLabels[static_cast<int>(state)];
}

std::vector<Landing> Landings(const Installation& in, const std::vector<FileDigest>& sources,
                              const std::vector<FileDigest>& destinations) {
    std::vector<Landing> landings;
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
            landing.state = same ? Landed::kLanded : landing.destination.read ? Landed::kDiffers : Landed::kMissing;
        }
        if (landing.state != Landed::kLanded) {
            landing.reason = PredictedFailure(in, i);
            if (landing.reason.empty()) landing.reason = kUnforeseen;
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
