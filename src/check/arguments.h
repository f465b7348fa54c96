// relayhive-check's command line, decided without touching anything.
#ifndef RELAYHIVE_CHECK_ARGUMENTS_H
#define RELAYHIVE_CHECK_ARGUMENTS_H

#include <string>
#include <vector>

#include "common/options.h"
#include "target/name.h"

inline constexpr int kExitClean = 0;
inline constexpr int kExitErrors = 1;

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

// The platform the tools run on: its path style and the code page its programs read names in.
struct Host {
    PathStyle style;
    unsigned ansiCodePage;
};

// A Windows target's code page unless told: the host's own on Windows, as relayhive reads names
// there; elsewhere 936. A POSIX target's: UTF-8.
unsigned DefaultCodePage(PathStyle target, const Host& host);
// Unless told: a Windows target on a POSIX host is read as Wine keeps its names.
Layout DefaultLayout(PathStyle target, const Host& host);

// arguments without the program name.
CheckArguments ParseCheckArguments(const std::vector<std::string>& arguments, const Host& host);

#endif
