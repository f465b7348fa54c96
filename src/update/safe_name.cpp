#include "update/safe_name.h"

#include <cstring>

#include "common/texts.h"

namespace {

using texts::kReasonAbsolute;
using texts::kReasonColon;
using texts::kReasonControl;
using texts::kReasonDevice;
using texts::kReasonDrive;
using texts::kReasonParent;
using texts::kScratchNameReason;

bool IsAnySeparator(char c) { return c == '/' || c == '\\'; }

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The scratch name is the platform's: letter case ignored, trailing dots and blanks dropped on Windows.
bool IsScratchName(std::string_view component, PathStyle style, const CodePage& codePage) {
    if (style == PathStyle::kPosix) return component == texts::kScratchName;
    return SameWindowsName(WindowsStoredName(component), texts::kScratchName, codePage);
}

const char* ComponentReason(std::string_view component, PathStyle style, const CodePage& codePage) {
    if (component == "..") return kReasonParent;
    if (IsScratchName(component, style, codePage)) return kScratchNameReason;
    if (style != PathStyle::kWindows) return nullptr;
    // Windows shortens ".. " and "..." to "..".
    if (component.size() > 1 && WindowsStoredName(component).empty()) return kReasonParent;
    if (IsWindowsDevice(component, codePage)) return kReasonDevice;
    return nullptr;
}

}  // namespace

const char* UnsafeNameReason(const char* name, PathStyle style, const CodePage& codePage) {
    if (IsAnySeparator(name[0])) return kReasonAbsolute;
    if (IsAsciiLetter(name[0]) && name[1] == ':') return kReasonDrive;
    // Neither a control byte nor ':' is ever the trail byte of a double-byte character.
    for (const char* c = name; *c != '\0'; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (byte < 0x20 || byte == 0x7F) return kReasonControl;
        if (*c == ':' && style == PathStyle::kWindows) return kReasonColon;
    }
    for (std::string_view component : SplitName(name, style, codePage, true)) {
        if (const char* reason = ComponentReason(component, style, codePage)) return reason;
    }
    return nullptr;
}
