#include "check/report_text.h"

#include <algorithm>

#include "check/shown.h"
#include "check/target.h"

namespace {

std::string StepLine(const PlanStep& step) {
    switch (step.kind) {
        case StepKind::kCopy:
            return "copy " + ShownSource(step) + " -> " + ShownDestination(step);
        case StepKind::kRefuse:
            return "refuse " + ShownSource(step) + ": " + step.reason;
        case StepKind::kTooLong:
            return "too long " + ShownReported(step) + " (" + std::to_string(step.reported.size()) +
                   " bytes)";
        case StepKind::kPause:
            return "pause 1 second";
    }
    return "";
}

}  // namespace

std::string Count(std::size_t count, const char* what) {
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

std::string FindingLine(const Finding& finding) {
    std::string line = std::string(SeverityLabel(finding.severity)) + ": " + finding.file;
    if (finding.line != 0) line += ":" + std::to_string(finding.line);
    return line + ": " + finding.message;
}

// "relayhive-check: target linux, code page utf-8, working directory /x"
std::string Heading(const Installation& installation) {
    return std::string("relayhive-check: target ") + TargetOf(installation.style).name + ", code page " +
           CodePageOf(installation.codePage).name + ", working directory " +
           ShowPath(installation.workingDirectory);
}

std::string RenderText(const Installation& installation, const std::vector<Finding>& findings) {
    std::string text = Heading(installation) + "\nplan:\n";
    for (const PlanStep& step : installation.plan) text += "  " + StepLine(step) + "\n";
    text += "findings:\n";
    std::size_t counts[3] = {0, 0, 0};
    for (const Finding& finding : findings) {
        text += FindingLine(finding) + "\n";
        ++counts[static_cast<int>(finding.severity)];
    }
    text += Count(counts[0], "error") + ", " + Count(counts[1], "warning") + ", " + Count(counts[2], "note") +
            "\n";
    return ShowInCodePage(text, installation.codePage);
}

std::string RenderAfterText(const Installation& installation, const std::vector<Landing>& landings) {
    std::string text = Heading(installation) + "\nafter the run:\n";
    for (const Landing& landing : landings) {
        const PlanStep& step = installation.plan[landing.step];
        std::string label = LandedLabel(landing.state);
        label.resize(std::max<std::size_t>(label.size(), 10), ' ');
        text += "  " + label + " " + StepLine(step) + "\n";
        if (landing.state == Landed::kDiffers) {
            text += "             " + Count(landing.destination.size, "byte") + ", staged " +
                    (landing.source.read ? Count(landing.source.size, "byte") : std::string("unread")) + "\n";
        }
        if (!landing.reason.empty()) text += "             because " + landing.reason + "\n";
    }
    text += std::to_string(NotLanded(landings)) + " of " + Count(landings.size(), "file") + " did not land\n";
    return ShowInCodePage(text, installation.codePage);
}
