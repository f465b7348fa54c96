// relayhive-check: shows what relayhive would do in a staged installation, then what is wrong.
#include <cstdio>
#include <string>
#include <vector>

#include "check/after.h"
#include "check/arguments.h"
#include "check/findings.h"
#include "check/report_json.h"
#include "check/report_text.h"
#include "check/survey.h"
#include "common/version.h"
#include "os/os.h"

namespace {

// Ends the run with status, once the report has reached standard output.
int Delivered(int status) { return ::Delivered("relayhive-check", status); }

int Check(int argc, char** argv, std::string*) {
    os::WritesToClosedPipesFail();
    const CheckArguments arguments =
        ParseCheckArguments(std::vector<std::string>(argv + 1, argv + argc), Host{NativePathStyle(), os::AnsiCodePage()});
    int status = kExitClean;
    if (Answered(arguments, "relayhive-check", kCheckUsage, &status)) return status;
    Installation installation;
    std::string error = arguments.error;
    CodePage codePage;
    const bool usable = arguments.outcome != CheckArguments::Outcome::kUsageError;
    if (usable && !LoadCodePage(arguments.codePage, &codePage)) {
        error = "code page " + std::to_string(arguments.codePage) + ": this system has no converter for it";
    }
    // After a run the files are looked at only to tell why a copy did not land.
    const SurveyDepth depth = arguments.after ? SurveyDepth::kPlan : SurveyDepth::kFiles;
    if (!error.empty() || !SurveyInstallation(arguments.directory, arguments.style, codePage, arguments.layout,
                                              &installation, &error, depth)) {
        std::fprintf(stderr, "relayhive-check: %s\n", error.c_str());
        return kExitUsage;
    }
    if (arguments.after) {
        std::vector<FileDigest> sources;
        std::vector<FileDigest> destinations;
        SurveyDigests(installation, &sources, &destinations);
        const record::Read run = SurveyRecord(installation);
        std::vector<Landing> landings = Landings(installation, sources, destinations, run);
        if (NotLanded(landings) > 0) {
            SurveyFiles(&installation);
            landings = Landings(installation, sources, destinations, run);
        }
        const std::string report = arguments.json ? RenderAfterJson(installation, landings, run)
                                                  : RenderAfterText(installation, landings, run);
        std::fwrite(report.data(), 1, report.size(), stdout);
        return Delivered(NotLanded(landings) == 0 ? kExitClean : kExitErrors);
    }
    const std::vector<Finding> findings = FindProblems(installation);
    const std::string report =
        arguments.json ? RenderJson(installation, findings) : RenderText(installation, findings);
    std::fwrite(report.data(), 1, report.size(), stdout);
    for (const Finding& finding : findings) {
        const bool counts = finding.severity == Severity::kError ||
                            (arguments.strict && finding.severity == Severity::kWarning);
        if (counts) return Delivered(kExitErrors);
    }
    return Delivered(kExitClean);
}

}  // namespace

int main(int argc, char** argv) { return RunTool("relayhive-check", Check, argc, argv); }
