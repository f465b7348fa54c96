// relayhive-stage's report: what was staged, what could not be, the proof and
// relayhive-check's findings; as text for a person or one JSON document.
#ifndef RELAYHIVE_STAGE_REPORT_H
#define RELAYHIVE_STAGE_REPORT_H

#include <string>

#include "stage/decide.h"
#include "stage/proof.h"

struct StageReport {
    const StageOptions& options;
    const Staging& staging;
    const Proof& proof;
};

std::string RenderStageText(const StageReport& report);
// Strings carry bytes, one character U+0000-U+00FF per byte, as relayhive-check's JSON does.
std::string RenderStageJson(const StageReport& report);

#endif
