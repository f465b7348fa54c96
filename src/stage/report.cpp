#include "stage/report.h"

#include "check/report_json.h"
#include "check/report_text.h"
#include "check/shown.h"
#include "common/json_string.h"
#include "target/target.h"

namespace {

const char kDefect[] =
    "the staged update does not reproduce this file and no error says why: a fault of relayhive-stage";

std::string JsonList(const std::vector<std::string>& items) {
    std::string json = "[";
    for (std::size_t i = 0; i < items.size(); ++i) json += (i == 0 ? "" : ", ") + items[i];
    return json + "]";
}

// Only Windows' path buffer is short enough for the install directory's length to matter.
bool InstallDirectoryMatters(const StageOptions& options) { return options.style == PathStyle::kWindows; }

}  // namespace

std::string RenderStageText(const StageReport& report) {
    const StageOptions& options = report.options;
    std::string text = std::string("relayhive-stage: target ") + TargetOf(options.style).name +
                       ", code page " + CodePageRuleOf(options.codePage.Number()).name;
    // The layout and the install directory's length count only for Windows.
    if (InstallDirectoryMatters(options)) {
        text += std::string(", layout ") + LayoutName(options.layout) + ", install directory of " +
                Count(options.installDirLength, "byte");
    }
    text += "\nstaged:\n";
    for (const StagedFile& file : report.staging.files) {
        text += std::string("  ") + GroupLabel(file.group) + " " + ShowBytes(file.file) + " -> download/" +
                ShowBytes(file.staged) + "\n";
    }
    text += "  manifest download/autoupdate.ini\nerrors:\n";
    for (const StageError& error : report.staging.errors) {
        text += "error: " + ShowBytes(error.file) + ": " + error.message + "\n";
    }
    for (const std::string& path : report.proof.defects) text += "error: " + ShowBytes(path) + ": " + kDefect + "\n";
    const bool reproduces = Reproduces(report.staging, report.proof, options.strict);
    text += std::string("proof: ") + (reproduces ? "reproduces NEW" : "does not reproduce NEW") + ", " +
            Count(report.proof.compared, "file") + " compared, " + std::to_string(report.proof.differences.size()) +
            (report.proof.differences.size() == 1 ? " differs\n" : " differ\n");
    text += "relayhive-check findings:\n";
    for (const Finding& finding : report.proof.findings) text += FindingLine(finding) + "\n";
    text += std::to_string(report.staging.files.size()) + " staged, " +
            Count(report.staging.errors.size() + report.proof.defects.size(), "error") + "\n";
    return ShowInCodePage(text, options.codePage);
}

std::string RenderStageJson(const StageReport& report) {
    const StageOptions& options = report.options;
    std::vector<std::string> staged;
    for (const StagedFile& file : report.staging.files) {
        staged.push_back("{\"group\": " + JsonString(GroupLabel(file.group)) + ", \"file\": " + JsonString(file.file) +
                         ", \"name\": " + JsonString(file.name) + ", \"staged\": " +
                         JsonString("download/" + file.staged) + "}");
    }
    std::vector<std::string> errors;
    for (const StageError& error : report.staging.errors) {
        errors.push_back("{\"file\": " + JsonString(error.file) + ", \"message\": " + JsonString(error.message) + "}");
    }
    for (const std::string& path : report.proof.defects) {
        errors.push_back("{\"file\": " + JsonString(path) + ", \"message\": " + JsonString(kDefect) + "}");
    }
    std::vector<std::string> differences;
    for (const std::string& path : report.proof.differences) differences.push_back(JsonString(path));
    std::vector<std::string> findings;
    for (const Finding& finding : report.proof.findings) {
        findings.push_back(FindingJson(finding));
    }
    return std::string("{\"target\": ") + JsonString(TargetOf(options.style).name) +
           ", \"code_page\": " + JsonString(CodePageRuleOf(options.codePage.Number()).name) +
           ", \"layout\": " + JsonString(LayoutName(options.layout)) +
           ", \"install_dir_length\": " +
           (InstallDirectoryMatters(options) ? std::to_string(options.installDirLength) : std::string("null")) +
           ", \"staged\": " + JsonList(staged) + ", \"errors\": " + JsonList(errors) +
           ", \"proof\": {\"reproduces\": " + (Reproduces(report.staging, report.proof, options.strict) ? "true" : "false") +
           ", \"compared\": " + std::to_string(report.proof.compared) +
           ", \"differences\": " + JsonList(differences) + "}, \"findings\": " + JsonList(findings) + "}\n";
}
