#include "common/options.h"

bool EndsParse(const std::string& argument, CommandLine* parsed) {
    const bool help = argument == "--help" || argument == "-h";
    if (!help && argument != "--version") return false;
    parsed->outcome = help ? CommandLine::Outcome::kHelp : CommandLine::Outcome::kVersion;
    return true;
}

bool OptionValue(const std::vector<std::string>& arguments, std::size_t* i,
                 const std::string& option, std::string* value, bool* missing) {
    const std::string& argument = arguments[*i];
    if (argument.compare(0, option.size() + 1, option + "=") == 0) {
        *value = argument.substr(option.size() + 1);
        return true;
    }
    if (argument != option) return false;
    *missing = *i + 1 >= arguments.size();
    if (!*missing) *value = arguments[++*i];
    return true;
}
