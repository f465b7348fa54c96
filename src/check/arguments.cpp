#include "check/arguments.h"

#include "check/target.h"

const char kCheckUsage[] =
    "usage: relayhive-check [--after] [--target windows|linux] [--code-page 936|utf-8] [--json] [--] [DIR]\n"
    "       relayhive-check --help | --version\n"
    "Shows what relayhive would do in the staged installation DIR (default: the current\n"
    "directory), then what is wrong with it. --target defaults to this build's platform,\n"
    "--code-page to 936 for windows and utf-8 for linux. Exit status: 0 no errors,\n"
    "1 errors found, 2 bad usage, 3 the report could not be written.\n"
    "--after: after a run, whether each file of the plan now equals the staged one, and why\n"
    "not; exit status 1 when one did not land. -- ends the options.\n";

namespace {

bool TakeValue(const std::vector<std::string>& arguments, std::size_t* i, const std::string& option,
               std::string* value, std::string* error) {
    const std::string& argument = arguments[*i];
    if (argument.size() > option.size() && argument.compare(0, option.size() + 1, option + "=") == 0) {
        *value = argument.substr(option.size() + 1);
        return true;
    }
    if (*i + 1 >= arguments.size()) {
        *error = option + " needs a value";
        return false;
    }
    *value = arguments[++*i];
    return true;
}

// The rule a table gives for name, or nullptr.
template <typename Rule, std::size_t N>
const Rule* Named(const Rule (&rules)[N], const std::string& name) {
    for (const Rule& rule : rules) {
        if (name == rule.name) return &rule;
    }
    return nullptr;
}

// "windows or linux"
template <typename Rule, std::size_t N>
std::string Choices(const Rule (&rules)[N]) {
    std::string choices;
    for (std::size_t i = 0; i < N; ++i) choices += std::string(i == 0 ? "" : i + 1 == N ? " or " : ", ") + rules[i].name;
    return choices;
}

bool IsOption(const std::string& argument, const std::string& option) {
    return argument == option || argument.compare(0, option.size() + 1, option + "=") == 0;
}

}  // namespace

CheckArguments ParseCheckArguments(const std::vector<std::string>& arguments, PathStyle native) {
    CheckArguments parsed;
    parsed.style = native;
    bool codePageGiven = false;
    bool directoryGiven = false;
    bool optionsEnded = false;
    auto fail = [&](const std::string& error) {
        parsed.outcome = CheckArguments::Outcome::kUsageError;
        parsed.error = error + " (see --help)";
        return parsed;
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        std::string value;
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            if (directoryGiven) return fail("only one directory, not also '" + argument + "'");
            parsed.directory = argument;
            directoryGiven = true;
        } else if (argument == "--") {
            optionsEnded = true;  // what follows is the directory, whatever it starts with
        } else if (argument == "--help" || argument == "-h") {
            parsed.outcome = CheckArguments::Outcome::kHelp;
            return parsed;
        } else if (argument == "--version") {
            parsed.outcome = CheckArguments::Outcome::kVersion;
            return parsed;
        } else if (argument == "--json") {
            parsed.json = true;
        } else if (argument == "--after") {
            parsed.after = true;
        } else if (IsOption(argument, "--target")) {
            if (!TakeValue(arguments, &i, "--target", &value, &parsed.error)) return fail(parsed.error);
            const TargetRule* target = Named(kTargets, value);
            if (target == nullptr) return fail("--target takes " + Choices(kTargets) + ", not '" + value + "'");
            parsed.style = target->style;
        } else if (IsOption(argument, "--code-page")) {
            if (!TakeValue(arguments, &i, "--code-page", &value, &parsed.error)) return fail(parsed.error);
            const CodePageRule* codePage = Named(kCodePages, value);
            if (codePage == nullptr) {
                return fail("--code-page takes " + Choices(kCodePages) + ", not '" + value + "'");
            }
            parsed.codePage = codePage->codePage;
            codePageGiven = true;
        } else {
            return fail("unknown option '" + argument + "'");
        }
    }
    if (!codePageGiven) parsed.codePage = TargetOf(parsed.style).codePage;
    return parsed;
}
