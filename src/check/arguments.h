// relayhive-check's command line, decided without touching anything.
#ifndef RELAYHIVE_CHECK_ARGUMENTS_H
#define RELAYHIVE_CHECK_ARGUMENTS_H

#include <string>
#include <vector>

#include "check/code_page.h"
#include "common/options.h"
#include "update/path_style.h"

inline constexpr int kExitClean = 0;
inline constexpr int kExitErrors = 1;

extern const char kCheckUsage[];

struct CheckArguments : CommandLine {
    PathStyle style = PathStyle::kPosix;
    CodePage codePage = CodePage::kUtf8;
    bool json = false;
    bool after = false;  // report what a run left, not what it would do
    std::string directory = ".";
};

// arguments without the program name; native is the build's own platform.
CheckArguments ParseCheckArguments(const std::vector<std::string>& arguments, PathStyle native);

#endif
