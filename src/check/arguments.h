// relayhive-check's command line, decided without touching anything.
#ifndef RELAYHIVE_CHECK_ARGUMENTS_H
#define RELAYHIVE_CHECK_ARGUMENTS_H

#include <string>
#include <vector>

#include "common/options.h"
#include "target/target.h"

extern const char kCheckUsage[];

struct CheckArguments : CommandLine {
    PathStyle style = PathStyle::kPosix;
    unsigned codePage = kUtf8CodePage;
    Layout layout = Layout::kWindows;  // how a Windows target's names are spelt on this host
    bool json = false;
    bool strict = false;  // warnings count as errors for the exit status
    bool after = false;  // report what a run left, not what it would do
    std::string directory = ".";
};

// arguments without the program name.
CheckArguments ParseCheckArguments(const std::vector<std::string>& arguments, const Host& host);

#endif
