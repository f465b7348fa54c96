#include "update/plan.h"

#include "common/texts.h"
#include "update/safe_name.h"
#include "update/transfer.h"

namespace {

std::string Below(const std::string& workingDirectory, const char* subdirectory,
                  const std::string& name, PathStyle style) {
    if (subdirectory == nullptr) return JoinPath(workingDirectory, name, style);
    return JoinPath(JoinPath(workingDirectory, subdirectory, style), name, style);
}

// One copy step: refused, too long, or a copy whose every path fits its buffer.
PlanStep PlanCopy(PlanGroup group, const std::string& workingDirectory, const char* subdirectory,
                  const std::string& name, PathStyle style, const LeadBytes& lead) {
    PlanStep step{StepKind::kCopy, group, name, {}, {}, {}, nullptr, {}};
    step.source = Below(workingDirectory, texts::kStagingDirectory, name, style);
    step.reason = UnsafeNameReason(name.c_str(), style, lead);
    if (step.reason != nullptr) {
        step.kind = StepKind::kRefuse;
        step.reported = step.source;
        return step;
    }
    step.destination = Below(workingDirectory, subdirectory, name, style);
    step.scratch = ScratchPathFor(step.destination, style, lead);
    if (!FitsPathBuffer(step.source, style)) {
        step.reported = step.source;
    } else if (!FitsPathBuffer(step.destination, style) || !FitsPathBuffer(step.scratch, style)) {
        // The scratch file beside the destination must fit too: it is named after the destination.
        step.reported = step.destination;
    } else {
        return step;
    }
    step.kind = StepKind::kTooLong;
    step.destination.clear();
    step.scratch.clear();
    return step;
}

const char* GroupDirectory(PlanGroup group) {
    switch (group) {
        case PlanGroup::kSkin:
            return texts::kSkinDirectory;
        case PlanGroup::kLogo:
            return texts::kLogoDirectory;
        default:
            return nullptr;  // the working directory itself
    }
}

}  // namespace

const char* GroupSection(PlanGroup group) {
    switch (group) {
        case PlanGroup::kSkin:
            return texts::kSkinSection;
        case PlanGroup::kLogo:
            return texts::kLogoSection;
        case PlanGroup::kMain:
            return texts::kMainSection;
        default:
            return nullptr;
    }
}

const char* GroupKey(PlanGroup group) {
    if (group == PlanGroup::kMain) return texts::kMainFileKey;
    return GroupSection(group) != nullptr ? texts::kFileListKey : nullptr;
}

ManifestPath PlanManifestPath(const std::string& workingDirectory, PathStyle style) {
    ManifestPath manifest{Below(workingDirectory, texts::kStagingDirectory, texts::kManifestName, style),
                          false};
    manifest.fits = manifest.path.size() < ManifestPathBufferSize(style);
    return manifest;
}

std::vector<PlanStep> PlanGroupSteps(PlanGroup group, const std::string& workingDirectory,
                                     const CIniFile& manifest, PathStyle style, const LeadBytes& lead) {
    std::vector<PlanStep> steps;
    if (group == PlanGroup::kPause) {
        steps.push_back(PlanStep{StepKind::kPause, group, {}, {}, {}, {}, nullptr, {}});
        return steps;
    }
    if (group == PlanGroup::kManifest) {
        steps.push_back(PlanCopy(group, workingDirectory, nullptr, texts::kManifestName, style, lead));
        return steps;
    }
    const std::string value = manifest.LookupValue(GroupSection(group), GroupKey(group), "");
    if (value.length() == 0) return steps;
    if (group == PlanGroup::kMain) {
        // One name, commas and all; like every name it ends at a zero byte.
        const std::string name(value.c_str());
        if (!name.empty()) steps.push_back(PlanCopy(group, workingDirectory, nullptr, name, style, lead));
        return steps;
    }
    for (const std::string& name : SplitList(texts::kListDelimiters, value)) {
        steps.push_back(PlanCopy(group, workingDirectory, GroupDirectory(group), name, style, lead));
    }
    return steps;
}

std::vector<PlanStep> PlanUpdate(const std::string& workingDirectory, const CIniFile& manifest,
                                 PathStyle style, const LeadBytes& lead) {
    std::vector<PlanStep> plan;
    for (PlanGroup group : kPlanGroups) {
        std::vector<PlanStep> steps = PlanGroupSteps(group, workingDirectory, manifest, style, lead);
        for (PlanStep& step : steps) plan.push_back(std::move(step));
    }
    return plan;
}
