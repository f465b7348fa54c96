#include "update/report.h"

#include <cstdio>
#include <cstring>

#include "common/texts.h"

void ReportMessage(const char* text, const char* message) {
    const char* pieces[] = {text, ": ", message, "\n"};
    const bool named = text != nullptr && *text != '\0';
    // Assembled in a fixed line, so a report needs no memory and goes out in one write.
    char line[8192];
    std::size_t used = 0;
    bool fits = true;
    for (std::size_t i = named ? 0 : 2; i < 4 && fits; ++i) {
        const std::size_t length = std::strlen(pieces[i]);
        fits = length <= sizeof line - used;
        if (fits) std::memcpy(line + used, pieces[i], length);
        used += length;
    }
    if (fits) {
        std::fwrite(line, 1, used, stderr);
        return;
    }
    for (std::size_t i = named ? 0 : 2; i < 4; ++i) std::fputs(pieces[i], stderr);
}

void ReportRefusal(const char* path, const char* reason) {
    char why[256];
    std::snprintf(why, sizeof why, "%s%s", texts::kRefusedPrefix, reason);
    ReportMessage(path, why);
}
