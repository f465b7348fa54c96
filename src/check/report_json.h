// The check as one JSON document for a program. Strings carry bytes: each
// byte is the character of the same number (U+0000-U+00FF), so a reader gets
// the bytes back by encoding the string as Latin-1.
#ifndef RELAYHIVE_CHECK_REPORT_JSON_H
#define RELAYHIVE_CHECK_REPORT_JSON_H

#include <string>
#include <vector>

#include "check/findings.h"
#include "check/installation.h"

std::string RenderJson(const Installation& installation, const std::vector<Finding>& findings);

#endif
