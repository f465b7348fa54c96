#include "check/shown.h"

#include <cstdio>

#include "common/texts.h"

namespace {

std::string Show(const std::string& bytes, bool keepBackslashes) {
    std::string shown;
    const std::size_t first = bytes.find_first_not_of(' ');
    const std::size_t last = bytes.find_last_not_of(' ');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        const unsigned char byte = static_cast<unsigned char>(c);
        const bool edgeBlank = c == ' ' && (first == std::string::npos || i < first || i > last);
        // A backslash in a name is escaped too, so that no name shows as another's escape.
        if (byte >= 0x20 && byte < 0x7F && !edgeBlank && (c != '\\' || keepBackslashes)) {
            shown += c;
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        shown += escaped;
    }
    return shown;
}

}  // namespace

std::string ShowBytes(const std::string& bytes) { return Show(bytes, false); }

std::string ShowPath(const std::string& path) { return Show(path, true); }

std::string Quoted(const std::string& name) { return "'" + ShowBytes(name) + "'"; }

const char* GroupLabel(PlanGroup group) { return RuleOf(group).label; }

const char* StepKindLabel(StepKind kind) {
    static const char* const kLabels[] = {"copy", "refuse", "too_long", "pause"};
    return kLabels[static_cast<int>(kind)];
}

std::string ShownStaged(const std::string& relative) {
    return std::string(texts::kStagingDirectory) + "/" + ShowBytes(relative);
}

std::string ShownSource(const PlanStep& step) { return ShownStaged(step.name); }

std::string ShownDestination(const PlanStep& step) {
    const char* directory = RuleOf(step.group).directory;
    const std::string name = ShowBytes(step.name);
    return directory == nullptr ? name : std::string(directory) + "/" + name;
}

std::string ShownReported(const PlanStep& step) {
    return step.reported == step.source ? ShownSource(step) : ShownDestination(step);
}

std::string ShownDestinationDirectory(const PlanStep& step, PathStyle style, const CodePage& codePage) {
    const char* directory = RuleOf(step.group).directory;
    std::string shown = directory == nullptr ? std::string(".") : std::string(directory);
    const std::string within = DirectoryOf(step.name, style, codePage);
    if (!within.empty()) shown += "/" + ShowBytes(within);
    return shown + "/";
}
