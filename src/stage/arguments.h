// relayhive-stage's command line, decided without touching anything.
#ifndef RELAYHIVE_STAGE_ARGUMENTS_H
#define RELAYHIVE_STAGE_ARGUMENTS_H

#include <string>
#include <vector>

#include "common/options.h"
#include "stage/decide.h"
#include "target/target.h"

extern const char kStageUsage[];

struct StageArguments : CommandLine {
    StageOptions options;  // all but its code page, which is loaded from codePage
    unsigned codePage = kUtf8CodePage;
    bool json = false;
    std::string old;
    std::string release;
    std::string out;
};

// arguments without the program name.
StageArguments ParseStageArguments(const std::vector<std::string>& arguments, const Host& host);

#endif
