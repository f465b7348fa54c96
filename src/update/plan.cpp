#include "update/plan.h"

#include "common/texts.h"
#include "update/safe_name.h"
#include "update/split_list.h"

namespace {

std::string Below(const std::string& workingDirectory, const char* subdirectory,
                  const std::string& name, PathStyle style) {
    if (subdirectory == nullptr) return JoinPath(workingDirectory, name, style);
    return JoinPath(JoinPath(workingDirectory, subdirectory, style), name, style);
}

// One copy step: refused, too long, or a copy whose every path fits its buffer.
PlanStep PlanCopy(PlanGroup group, const std::string& workingDirectory, const char* subdirectory,
                  const std::string& name, PathStyle style, const CodePage& codePage) {
    PlanStep step{StepKind::kCopy, group, name, {}, {}, {}, nullptr, {}};
    step.source = Below(workingDirectory, texts::kStagingDirectory, name, style);
    step.reason = UnsafeNameReason(name.c_str(), style, codePage);
    if (step.reason != nullptr) {
        step.kind = StepKind::kRefuse;
        step.reported = step.source;
        return step;
    }
    step.destination = Below(workingDirectory, subdirectory, name, style);
    step.scratch = ScratchPathFor(step.destination, style, codePage);
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

}  // namespace

const GroupRule& RuleOf(PlanGroup group) {
    for (const GroupRule& rule : kGroupRules) {
        if (rule.group == group) return rule;
    }
    return kGroupRules[0];  // every group has its rule
}

std::vector<std::string> NamesOf(const GroupRule& rule, const std::string& value) {
    if (rule.list) return SplitList(texts::kListDelimiters, value);
    const std::string name(value.c_str());
    return name.empty() ? std::vector<std::string>{} : std::vector<std::string>{name};
}

ManifestPath PlanManifestPath(const std::string& workingDirectory, PathStyle style) {
    std::string path = Below(workingDirectory, texts::kStagingDirectory, texts::kManifestName, style);
    const bool fits = path.size() < ManifestPathBufferSize(style);
    return ManifestPath{std::move(path), fits};
}

std::vector<PlanStep> PlanGroupSteps(PlanGroup group, const std::string& workingDirectory,
                                     const CIniFile& manifest, PathStyle style, const CodePage& codePage) {
    if (group == PlanGroup::kPause) {
        return {PlanStep{StepKind::kPause, group, {}, {}, {}, {}, nullptr, {}}};
    }
    if (group == PlanGroup::kManifest) {
        return {PlanCopy(group, workingDirectory, nullptr, texts::kManifestName, style, codePage)};
    }
    const GroupRule& rule = RuleOf(group);
    std::vector<PlanStep> steps;
    const std::string value = manifest.LookupValue(rule.section, rule.key, "");
    for (const std::string& name : NamesOf(rule, value)) {
        steps.push_back(PlanCopy(group, workingDirectory, rule.directory, name, style, codePage));
    }
    return steps;
}

std::vector<PlanStep> PlanUpdate(const std::string& workingDirectory, const CIniFile& manifest,
                                 PathStyle style, const CodePage& codePage) {
    std::vector<PlanStep> plan;
    for (const GroupRule& rule : kGroupRules) {
        for (PlanStep& step : PlanGroupSteps(rule.group, workingDirectory, manifest, style, codePage)) {
            plan.push_back(std::move(step));
        }
    }
    return plan;
}
