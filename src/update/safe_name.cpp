#include "update/safe_name.h"

#include <cstring>

#include "common/ascii.h"
#include "common/texts.h"

namespace {

const char kReasonAbsolute[] = "absolute path";
const char kReasonDrive[] = "drive letter";
const char kReasonControl[] = "control character in name";
const char kReasonColon[] = "':' names a drive or a stream";
const char kReasonParent[] = "'..' would leave the install directory";
const char kReasonDevice[] = "name of a system device";

bool IsAnySeparator(char c) { return c == '/' || c == '\\'; }

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The component as Windows stores it: its trailing dots and blanks dropped.
std::string_view WindowsName(std::string_view component) {
    return component.substr(0, component.find_last_not_of(". ") + 1);  // npos + 1 is 0
}

// CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$: with any extension and
// trailing blanks ("nul.txt", "CON ") they still open the device.
bool IsWindowsDevice(std::string_view component) {
    std::string_view base = component.substr(0, component.find('.'));
    base = base.substr(0, base.find_last_not_of(' ') + 1);
    for (const char* device : kWindowsDevices) {
        const std::string_view name(device);
        if (name.back() != '#') {
            if (ascii::EqualIgnoringCase(base, name)) return true;
        } else if (base.size() == name.size() && base.back() >= '0' && base.back() <= '9' &&
                   ascii::EqualIgnoringCase(base.substr(0, base.size() - 1), name.substr(0, name.size() - 1))) {
            return true;
        }
    }
    return false;
}

// The scratch name is the platform's: case-insensitive, trailing dots and blanks dropped on Windows.
bool IsScratchName(std::string_view component, PathStyle style) {
    if (style == PathStyle::kPosix) return component == texts::kScratchName;
    return ascii::EqualIgnoringCase(WindowsName(component), texts::kScratchName);
}

const char* ComponentReason(std::string_view component, PathStyle style) {
    if (component == "..") return kReasonParent;
    if (IsScratchName(component, style)) return kScratchNameReason;
    if (style != PathStyle::kWindows) return nullptr;
    // Windows shortens ".. " and "..." to "..".
    if (component.size() > 1 && WindowsName(component).empty()) return kReasonParent;
    if (IsWindowsDevice(component)) return kReasonDevice;
    return nullptr;
}

}  // namespace

const char kScratchNameReason[] = "name of relayhive's scratch file";

bool WindowsWouldChangeName(const char* component, std::size_t length) {
    return WindowsName({component, length}).size() != length;
}

const char* UnsafeNameReason(const char* name, PathStyle style, const LeadBytes& lead) {
    if (IsAnySeparator(name[0])) return kReasonAbsolute;
    if (IsAsciiLetter(name[0]) && name[1] == ':') return kReasonDrive;
    // Neither a control byte nor ':' is ever the trail byte of a double-byte character.
    for (const char* c = name; *c != '\0'; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (byte < 0x20 || byte == 0x7F) return kReasonControl;
        if (*c == ':' && style == PathStyle::kWindows) return kReasonColon;
    }
    const std::size_t length = std::strlen(name);
    std::size_t start = 0;
    for (std::size_t i = 0;; i += CharacterLength(name, length, i, style, lead)) {
        if (i < length && !IsAnySeparator(name[i])) continue;
        if (const char* reason = ComponentReason({name + start, i - start}, style)) return reason;
        if (i >= length) break;
        start = i + 1;
    }
    return nullptr;
}
