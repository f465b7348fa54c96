// The check as text for a person: the plan, one step a line, then the findings and their count.
#ifndef RELAYHIVE_CHECK_REPORT_TEXT_H
#define RELAYHIVE_CHECK_REPORT_TEXT_H

#include <string>
#include <vector>

#include "check/after.h"
#include "check/findings.h"
#include "check/installation.h"

std::string RenderText(const Installation& installation, const std::vector<Finding>& findings);

// After a run: each file of the plan, landed or not, and why not.
std::string RenderAfterText(const Installation& installation, const std::vector<Landing>& landings);

// "1 error", "2 errors": a count and its noun in the number it takes.
std::string Count(std::size_t count, const char* what);

// "error: autoupdate.ini:3: message" or "note: download/a.bmp: message"
std::string FindingLine(const Finding& finding);

#endif
