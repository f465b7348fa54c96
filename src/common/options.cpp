#include "common/options.h"

#include <cerrno>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "common/texts.h"
#include "common/version.h"
#include "os/os.h"

int Delivered(const char* tool, int status) {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
    std::fprintf(stderr, "%s: cannot write the report: %s\n", tool, os::ErrorMessage(errno));
    return kExitUnwritten;
}

bool Answered(const CommandLine& parsed, const char* tool, const char* usage, int* status) {
    if (parsed.outcome == CommandLine::Outcome::kHelp) {
        std::fputs(usage, stdout);
    } else if (parsed.outcome == CommandLine::Outcome::kVersion) {
        std::printf("%s %s\n", tool, kRelayhiveVersion);
    } else {
        return false;
    }
    *status = Delivered(tool, kExitClean);
    return true;
}

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

int RunTool(const char* tool, int (*body)(int, char**, std::string*), int argc, char** argv) {
    std::string note;
    try {
        return body(argc, argv, &note);
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {  // a string or list longer than memory can hold
    }
    // Written without allocating: nothing is left to allocate with.
    std::fprintf(stderr, "%s: %s%s%s%s\n", tool, texts::kOutOfMemory, note.empty() ? "" : " (", note.c_str(),
                 note.empty() ? "" : ")");
    return kExitOutOfMemory;
}
