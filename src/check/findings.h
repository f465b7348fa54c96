// What is wrong with a staged installation: relayhive's plan, loader outcome and file facts
// turned into findings. Pure.
#ifndef RELAYHIVE_CHECK_FINDINGS_H
#define RELAYHIVE_CHECK_FINDINGS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "check/installation.h"

enum class Severity { kError, kWarning, kNote };

struct Finding {
    Severity severity;
    // "autoupdate.ini" for a manifest line, else a path below the installation ("download/a.bmp").
    std::string file;
    std::uint32_t line;  // the manifest line, 0 when the finding names a file
    std::string message;
};

// Errors first, then warnings, then notes; by manifest line within each (files first), else in plan order.
std::vector<Finding> FindProblems(const Installation& installation);

// The error the plan predicts for step (an index into the plan): why its file won't land, or "".
std::string PredictedFailure(const Installation& installation, std::size_t step);

const char* SeverityLabel(Severity severity);  // "error", "warning", "note"

#endif
