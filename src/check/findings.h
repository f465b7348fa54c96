// What is wrong with a staged installation: relayhive's own plan and loader
// outcome, and the file facts, turned into findings. Pure.
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
    // "autoupdate.ini" for a finding about a manifest line; otherwise a path
    // relative to the installation ("download/autoupdate.ini", "download/a.bmp").
    std::string file;
    std::uint32_t line;  // the manifest line, 0 when the finding names a file
    std::string message;
};

// Errors first, then warnings, then notes; by manifest line within each (files first), else in plan order.
std::vector<Finding> FindProblems(const Installation& installation);

// The error the plan predicts for step (an index into the plan): why its
// file would not land; "" when it predicts none.
std::string PredictedFailure(const Installation& installation, std::size_t step);

const char* SeverityLabel(Severity severity);  // "error", "warning", "note"

// Edits (insertions, deletions, substitutions, swaps of neighbours) from a to b,
// ASCII case ignored.
std::size_t EditDistance(const std::string& a, const std::string& b);

#endif
