#include "update/safe_name.h"

#include <cstring>

#include "os/os.h"

namespace {

// Both separator styles count everywhere: a manifest written for one platform
// must not escape on the other.
bool IsAnySeparator(char c) { return c == '/' || c == '\\'; }

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

const char* ComponentReason(const char* component, std::size_t length) {
    if (length == 2 && component[0] == '.' && component[1] == '.') {
        return "'..' would leave the install directory";
    }
    if (os::kTrailingDotSpaceStripped && length > 1) {
        // The platform drops trailing dots and spaces, so ".. " or "..." would mean "..".
        bool onlyDotsAndSpaces = true;
        for (std::size_t i = 0; i < length; ++i) {
            if (component[i] != '.' && component[i] != ' ') onlyDotsAndSpaces = false;
        }
        if (onlyDotsAndSpaces) return "'..' would leave the install directory";
    }
    if (os::IsReservedDeviceName(component, length)) return "name of a system device";
    return nullptr;
}

}  // namespace

const char* UnsafeNameReason(const char* name) {
    if (IsAnySeparator(name[0])) return "absolute path";
    if (IsAsciiLetter(name[0]) && name[1] == ':') return "drive letter";
    for (const char* c = name; *c != '\0'; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (byte < 0x20 || byte == 0x7F) return "control character in name";
        if (*c == ':' && os::kColonIsSpecial) return "':' names a drive or a stream";
    }
    const char* start = name;
    for (const char* c = name;; ++c) {
        if (*c == '\0' || IsAnySeparator(*c)) {
            const char* reason = ComponentReason(start, static_cast<std::size_t>(c - start));
            if (reason != nullptr) return reason;
            if (*c == '\0') break;
            start = c + 1;
        }
    }
    return nullptr;
}
