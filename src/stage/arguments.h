// relayhive-stage's command line, decided without touching anything.
#ifndef RELAYHIVE_STAGE_ARGUMENTS_H
#define RELAYHIVE_STAGE_ARGUMENTS_H

#include <string>
#include <vector>

#include "common/options.h"
#include "stage/decide.h"

extern const char kStageUsage[];

struct StageArguments : CommandLine {
    StageOptions options;
    bool json = false;
    std::string old;
    std::string release;
    std::string out;
};

// arguments without the program name; native is the build's own platform.
StageArguments ParseStageArguments(const std::vector<std::string>& arguments, PathStyle native);

#endif
