#include "check/arguments.h"

#include "check/target.h"

const char kCheckUsage[] =
    "usage: relayhive-check [--after] [--target windows|linux] [--code-page 936|utf-8] [--json] [--] [DIR]\n"
    "       relayhive-check --help | --version\n"
    "Shows what relayhive would do in the staged installation DIR (default: the current\n"
    "directory), then what is wrong with it. --target defaults to this build's platform,\n"
    "--code-page to 936 for windows and utf-8 for linux. Exit status: 0 no errors,\n"
    "1 errors found, 2 bad usage, 3 the report could not be written, 4 memory ran out.\n"
    "--after: after a run, whether each file of the plan now equals the staged one, and why\n"
    "not; exit status 1 when one did not land. -- ends the options.\n";

CheckArguments ParseCheckArguments(const std::vector<std::string>& arguments, PathStyle native) {
    CheckArguments parsed;
    parsed.style = native;
    bool codePageGiven = false;
    bool directoryGiven = false;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        std::string value;
        bool missing = false;
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            if (directoryGiven) {
                return Refused(parsed, "only one directory, not also '" + argument + "'");
            }
            parsed.directory = argument;
            directoryGiven = true;
        } else if (argument == "--") {
            optionsEnded = true;  // what follows is the directory, whatever it starts with
        } else if (EndsParse(argument, &parsed)) {
            return parsed;
        } else if (argument == "--json") {
            parsed.json = true;
        } else if (argument == "--after") {
            parsed.after = true;
        } else if (OptionValue(arguments, &i, "--target", &value, &missing)) {
            const TargetRule* target = RuleNamed(kTargets, value);
            if (missing) return Refused(parsed, "--target needs a value");
            if (target == nullptr) {
                return Refused(parsed, OptionTakes("--target", kTargets) + ", not '" + value + "'");
            }
            parsed.style = target->style;
        } else if (OptionValue(arguments, &i, "--code-page", &value, &missing)) {
            const CodePageRule* codePage = RuleNamed(kCodePages, value);
            if (missing) return Refused(parsed, "--code-page needs a value");
            if (codePage == nullptr) {
                return Refused(parsed,
                               OptionTakes("--code-page", kCodePages) + ", not '" + value + "'");
            }
            parsed.codePage = codePage->codePage;
            codePageGiven = true;
        } else {
            return Refused(parsed, "unknown option '" + argument + "'");
        }
    }
    if (!codePageGiven) parsed.codePage = TargetOf(parsed.style).codePage;
    return parsed;
}
