#include "check/arguments.h"

#include "target/target.h"

const char kCheckUsage[] =
    "usage: relayhive-check [--after] [--target windows|linux] [--code-page CP] [--layout windows|wine]\n"
    "                       [--strict] [--json] [--] [DIR]\n"
    "       relayhive-check --help | --version\n"
    "Shows what relayhive would do in the staged installation DIR (default: the current\n"
    "directory), then what is wrong with it. --target defaults to this build's platform.\n"
    "--code-page (874, 932, 936, 949, 950, 1250-1258 or utf-8) defaults for windows to the\n"
    "system's ANSI code page on Windows and to 936 elsewhere, for linux to utf-8. --layout:\n"
    "how the staged names of a windows target are spelt on this disk, as the code page's\n"
    "bytes or as Wine keeps them (UTF-8); wine on Linux, windows on Windows.\n"
    "Exit status: 0 no errors, 1 errors found (with --strict: or warnings), 2 bad usage,\n"
    "3 the report could not be written, 4 memory ran out.\n"
    "--after: after a run, whether each file of the plan now equals the staged one, and why\n"
    "not; exit status 1 when one did not land. -- ends the options.\n";

CheckArguments ParseCheckArguments(const std::vector<std::string>& arguments, const Host& host) {
    CheckArguments parsed;
    parsed.style = host.style;
    bool codePageGiven = false;
    bool layoutGiven = false;
    bool directoryGiven = false;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        std::string value;
        std::string refusal;
        bool missing = false;
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            if (directoryGiven) {
                return Refused(parsed, "only one directory, not also '" + argument + "'");
            }
            parsed.directory = argument;
            directoryGiven = true;
        } else if (EndsOptions(argument)) {
            optionsEnded = true;  // what follows is the directory, whatever it starts with
        } else if (EndsParse(argument, &parsed)) {
            return parsed;
        } else if (argument == "--json") {
            parsed.json = true;
        } else if (argument == "--after") {
            parsed.after = true;
        } else if (argument == "--strict") {
            parsed.strict = true;
        } else if (OptionValue(arguments, &i, "--target", &value, &missing)) {
            const TargetRule* target = RuleValue("--target", kTargets, value, missing, &refusal);
            if (target == nullptr) return Refused(parsed, refusal);
            parsed.style = target->style;
        } else if (OptionValue(arguments, &i, "--code-page", &value, &missing)) {
            const CodePageRule* codePage = RuleValue("--code-page", kCodePages, value, missing, &refusal);
            if (codePage == nullptr) return Refused(parsed, refusal);
            parsed.codePage = codePage->number;
            codePageGiven = true;
        } else if (OptionValue(arguments, &i, "--layout", &value, &missing)) {
            const LayoutRule* layout = RuleValue("--layout", kLayouts, value, missing, &refusal);
            if (layout == nullptr) return Refused(parsed, refusal);
            parsed.layout = layout->layout;
            layoutGiven = true;
        } else {
            return Refused(parsed, "unknown option '" + argument + "'");
        }
    }
    if (!codePageGiven) parsed.codePage = DefaultCodePage(parsed.style, host);
    if (!layoutGiven) parsed.layout = DefaultLayout(parsed.style, host);
    if (const char* refusal = LayoutRefusal(parsed.layout, host.style)) return Refused(parsed, refusal);
    return parsed;
}
