// The check as one JSON document for a program. Strings carry bytes: each byte is the character
// of the same number (U+0000-U+00FF), so encoding a string as Latin-1 gives its bytes back.
#ifndef RELAYHIVE_CHECK_REPORT_JSON_H
#define RELAYHIVE_CHECK_REPORT_JSON_H

#include <string>
#include <vector>

#include "check/after.h"
#include "check/findings.h"
#include "check/installation.h"

// One finding as one JSON object, as both tools write it: "line" is null when it names a file.
std::string FindingJson(const Finding& finding);
std::string RenderJson(const Installation& installation, const std::vector<Finding>& findings);
// After a run: each step that names a file, its state, the sizes and hashes (16 hex digits) of
// what could be read, and the reason for each file that did not land.
std::string RenderAfterJson(const Installation& installation, const std::vector<Landing>& landings,
                            const record::Read& run);

#endif
