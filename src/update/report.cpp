#include "update/report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/texts.h"
#include "os/os.h"

namespace {

ReportListener listener = nullptr;

}  // namespace

void ListenToReports(ReportListener newListener) { listener = newListener; }

void ReportUnder(const char* heading, const char* text, const char* message) {
    if (listener != nullptr) listener(message);
    const bool named = text != nullptr && *text != '\0';
    const char* pieces[] = {heading, named ? text : "", named ? ": " : "", message, "\n"};
    // Assembled in a fixed line, so a report needs no memory and goes out in one write.
    char line[8192];
    std::size_t used = 0;
    for (const char* piece : pieces) {
        const std::size_t length = std::strlen(piece);
        if (length > sizeof line - used) {  // too long for the line: piece by piece
            for (const char* each : pieces) std::fputs(each, stderr);
            return;
        }
        std::memcpy(line + used, piece, length);
        used += length;
    }
    std::fwrite(line, 1, used, stderr);
}

void ReportMessage(const char* text, const char* message) { ReportUnder("", text, message); }

void ReportRefusal(const char* path, const char* reason) {
    char why[256];
    std::snprintf(why, sizeof why, "%s%s", texts::kRefusedPrefix, reason);
    ReportMessage(path, why);
}

void ReportError(const char* text) { ReportMessage(text, os::ErrorMessage(errno)); }
