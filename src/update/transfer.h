// The file operations of an update: splitting a manifest list into names,
// copying one staged file into place, and reporting a failed file operation.
#ifndef RELAYHIVE_UPDATE_TRANSFER_H
#define RELAYHIVE_UPDATE_TRANSFER_H

#include <cstdio>
#include <string>
#include <vector>

// The maximal non-empty runs of non-delimiter bytes of text, in order, untrimmed.
std::vector<std::string> SplitList(const std::string& delimiters, const std::string& text);

// Copies source (open "rb"; owned and closed from here on) to destination
// through the scratch file scratchPath beside it. The destination is replaced
// in one atomic step or, on any failure, left exactly as it was. 1 copied;
// -3 the destination (or the scratch file) cannot be created or replaced, or
// the destination is the scratch file under another name; -4 a write (or the
// final flush or close) failed; -5 a read failed. A read error and a refused
// destination are reported with sourcePath (may be null).
int TransferStagedFile(const char* destination, const char* scratchPath, FILE* source, const char* sourcePath);
// TransferStagedFile without a source path, through the native scratch path.
int TransferFile(const char* destination, FILE* source);

// "text: <message for errno>\n" on standard error; just the message when text is empty.
void ReportError(const char* text);

#endif
