#include "check/report_json.h"

#include <cstdio>

#include "check/shown.h"
#include "target/target.h"
#include "common/json_string.h"

namespace {

std::string String(const std::string& bytes) { return JsonString(bytes); }

std::string Field(const char* name, const std::string& jsonValue) {
    return std::string("\"") + name + "\": " + jsonValue;
}

std::string Step(const PlanStep& step) {
    std::string json = "{" + Field("kind", String(StepKindLabel(step.kind))) + ", " +
                       Field("group", String(GroupLabel(step.group)));
    if (step.kind != StepKind::kPause) {
        json += ", " + Field("name", String(step.name)) + ", " + Field("source", String(step.source));
    }
    if (step.kind == StepKind::kCopy) json += ", " + Field("destination", String(step.destination));
    if (step.kind == StepKind::kRefuse || step.kind == StepKind::kTooLong) {
        json += ", " + Field("reported", String(step.reported));
    }
    if (step.reason != nullptr) json += ", " + Field("reason", String(step.reason));
    return json + "}";
}

std::string Digest(const char* prefix, const FileDigest& digest) {
    if (!digest.read) return std::string();
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(digest.hash));
    return ", " + Field((std::string(prefix) + "_size").c_str(), std::to_string(digest.size)) + ", " +
           Field((std::string(prefix) + "_hash").c_str(), String(hash));
}

std::string LandingObject(const Installation& installation, const Landing& landing) {
    std::string json = Step(installation.plan[landing.step]);
    json.pop_back();
    json += ", " + Field("state", String(LandedLabel(landing.state))) + Digest("source", landing.source) +
            Digest("destination", landing.destination);
    if (!landing.reason.empty()) json += ", " + Field("because", String(landing.reason));
    return json + "}";
}

// The opening fields both documents share, up to the list named list.
std::string Opening(const Installation& installation, const char* list) {
    return "{\n  " + Field("target", String(TargetOf(installation.style).name)) +
           ",\n  " + Field("code_page", String(CodePageRuleOf(installation.codePage.Number()).name)) +
           ",\n  " + Field("working_directory", String(installation.workingDirectory)) + ",\n  \"" + list + "\": [";
}

}  // namespace

std::string FindingJson(const Finding& finding) {
    // Every finding has the same keys: null says it names a file, not a manifest line.
    const std::string line = finding.line == 0 ? std::string("null") : std::to_string(finding.line);
    return "{" + Field("severity", String(SeverityLabel(finding.severity))) + ", " + Field("file", String(finding.file)) +
           ", " + Field("line", line) + ", " + Field("message", String(finding.message)) + "}";
}

std::string RenderAfterJson(const Installation& installation, const std::vector<Landing>& landings,
                            const record::Read& run) {
    std::string json = Opening(installation, "after");
    for (std::size_t i = 0; i < landings.size(); ++i) {
        json += (i == 0 ? "\n    " : ",\n    ") + LandingObject(installation, landings[i]);
    }
    json += "\n  ],\n  " + Field("not_landed", std::to_string(NotLanded(landings))) + ",\n  \"record\": ";
    if (!run.found) return json + "null\n}\n";
    return json + "{" + Field("version", String(run.version)) + ", " + Field("started", String(run.started)) + ", " +
           Field("client", String(run.client)) + ", " + Field("copies", String(run.copies)) + ", " +
           Field("relaunch", String(run.relaunch)) + ", " + Field("run", String(run.run)) + "}\n}\n";
}

std::string RenderJson(const Installation& installation, const std::vector<Finding>& findings) {
    std::string json = Opening(installation, "plan");
    for (std::size_t i = 0; i < installation.plan.size(); ++i) {
        json += (i == 0 ? "\n    " : ",\n    ") + Step(installation.plan[i]);
    }
    json += "\n  ],\n  \"findings\": [";
    for (std::size_t i = 0; i < findings.size(); ++i) {
        json += (i == 0 ? "\n    " : ",\n    ") + FindingJson(findings[i]);
    }
    return json + "\n  ]\n}\n";
}
