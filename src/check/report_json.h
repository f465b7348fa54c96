// The check as one JSON document for a program. Strings carry bytes: each
// byte is the character of the same number (U+0000-U+00FF), so a reader gets
// the bytes back by encoding the string as Latin-1.
#ifndef RELAYHIVE_CHECK_REPORT_JSON_H
#define RELAYHIVE_CHECK_REPORT_JSON_H

#include <string>
#include <vector>

#include "check/after.h"
#include "check/findings.h"
#include "check/installation.h"

std::string RenderJson(const Installation& installation, const std::vector<Finding>& findings);
// After a run: each step that names a file, with its state ("landed",
// "differs", "missing", "not copied"), the sizes and hashes (16 hex digits)
// of what could be read, and the reason for each file that did not land.
std::string RenderAfterJson(const Installation& installation, const std::vector<Landing>& landings);

#endif
