// How relayhive-check shows names and plan paths to a person. Paths are relative to the
// installation, '/' standing for each separator relayhive puts between directory and name; a name
// as the manifest spells it, each byte outside printable ASCII, edge blank and backslash as \xNN
// (so that an escape in shown text is always one).
#ifndef RELAYHIVE_CHECK_SHOWN_H
#define RELAYHIVE_CHECK_SHOWN_H

#include <string>

#include "target/code_page.h"
#include "update/plan.h"

std::string ShowBytes(const std::string& bytes);
// One byte as a person reads it in a message: "0x1A".
std::string Hex(int byte);
// A whole path, such as the working directory: as ShowBytes, but its backslashes are separators, shown as such.
std::string ShowPath(const std::string& path);
// 'name', bytes shown as ShowBytes does.
std::string Quoted(const std::string& name);

// A report as a UTF-8 terminal shows it where names are UTF-8: each run of escapes that spells
// one valid, visible UTF-8 character becomes that character. Bytes that are not valid UTF-8, and
// characters that hide or reorder text (controls, spaces but U+0020, bidi marks), stay escaped.
std::string ShowUtf8Text(const std::string& shown);
// The report as a person reads it in the code page: ShowUtf8Text for UTF-8, else as it is.
std::string ShowInCodePage(const std::string& shown, const CodePage& codePage);

const char* GroupLabel(PlanGroup group);   // "skin", "logo", "manifest", "pause", "main"
const char* StepKindLabel(StepKind kind);  // "copy", "refuse", "too_long", "pause"

std::string ShownStaged(const std::string& relative);  // download/RELATIVE
std::string ShownSource(const PlanStep& step);          // download/NAME
std::string ShownDestination(const PlanStep& step);  // skin/NAME, logo/NAME or NAME
// The path a refusal or a too-long report names.
std::string ShownReported(const PlanStep& step);
// The directory a copy lands in: "skin/", "logo/" or "./", plus any directories the name holds.
std::string ShownDestinationDirectory(const PlanStep& step, PathStyle style, const CodePage& codePage);

#endif
