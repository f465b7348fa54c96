// How relayhive-check and relayhive-stage read their command lines, and the
// exit statuses they share.
#ifndef RELAYHIVE_COMMON_OPTIONS_H
#define RELAYHIVE_COMMON_OPTIONS_H

#include <cstddef>
#include <string>
#include <vector>

inline constexpr int kExitClean = 0;   // check: no errors; stage: the staged update reproduces NEW
inline constexpr int kExitErrors = 1;  // check: errors found; stage: it does not
inline constexpr int kExitUsage = 2;
inline constexpr int kExitUnwritten = 3;  // the report could not be written
inline constexpr int kExitOutOfMemory = 4;

// Runs a tool's body: memory running out anywhere in it ends the tool with one line on standard
// error ("<tool>: out of memory", then " (<note>)" unless *note is empty) and kExitOutOfMemory,
// never an abort. The body sets *note to what the user must know then.
int RunTool(const char* tool, int (*body)(int, char**, std::string*), int argc, char** argv);

// A report nobody receives must not pass for a clean one: status once standard output took it all,
// else kExitUnwritten with one line on standard error.
int Delivered(const char* tool, int status);

struct CommandLine {
    enum class Outcome { kRun, kHelp, kVersion, kUsageError } outcome = Outcome::kRun;
    std::string error;  // kUsageError: one line, no line end
};

// --help and --version answered: the usage or "<tool> <version>" on standard output, then
// *status as Delivered gives it; false for any other outcome.
bool Answered(const CommandLine& parsed, const char* tool, const char* usage, int* status);

// --help, -h and --version: true, with the outcome that ends the parse.
bool EndsParse(const std::string& argument, CommandLine* parsed);

// "--name=value" or "--name value" at arguments[*i]: false when it is neither;
// missing when the option comes last, without its value.
bool OptionValue(const std::vector<std::string>& arguments, std::size_t* i,
                 const std::string& option, std::string* value, bool* missing);

// "--" ends the options: what follows is an operand, whatever it starts with.
inline bool EndsOptions(const std::string& argument) { return argument == "--"; }

// parsed, ended by a usage error that points to --help.
template <typename Parsed>
Parsed Refused(Parsed parsed, const std::string& error) {
    parsed.outcome = CommandLine::Outcome::kUsageError;
    parsed.error = error + " (see --help)";
    return parsed;
}

// The one wording for an option given last, without its value.
inline std::string MissingValue(const std::string& option) { return option + " needs a value"; }

// The rule a table gives for name, or nullptr.
template <typename Rule, std::size_t N>
const Rule* RuleNamed(const Rule (&rules)[N], const std::string& name) {
    for (const Rule& rule : rules) {
        if (name == rule.name) return &rule;
    }
    return nullptr;
}

// "--target takes windows or linux"
template <typename Rule, std::size_t N>
std::string OptionTakes(const std::string& option, const Rule (&rules)[N]) {
    std::string takes = option + " takes ";
    for (std::size_t i = 0; i < N; ++i) {
        takes += std::string(i == 0 ? "" : i + 1 == N ? " or " : ", ") + rules[i].name;
    }
    return takes;
}

// The rule value names for option, or nullptr with *refusal saying why (a missing value or one no rule has).
template <typename Rule, std::size_t N>
const Rule* RuleValue(const std::string& option, const Rule (&rules)[N], const std::string& value, bool missing,
                      std::string* refusal) {
    const Rule* rule = missing ? nullptr : RuleNamed(rules, value);
    if (rule == nullptr) *refusal = missing ? MissingValue(option) : OptionTakes(option, rules) + ", not '" + value + "'";
    return rule;
}

#endif
