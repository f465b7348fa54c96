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


// Length of the component once Windows has dropped its trailing dots and blanks.
std::size_t WindowsLength(const char* component, std::size_t length) {
    while (length > 0 && (component[length - 1] == '.' || component[length - 1] == ' ')) --length;
    return length;
}

bool OnlyDotsAndBlanks(const char* component, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (component[i] != '.' && component[i] != ' ') return false;
    }
    return true;
}

// CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$: with any extension and
// trailing blanks ("nul.txt", "CON ") they still open the device.
bool IsWindowsDevice(const char* component, std::size_t length) {
    std::size_t base = 0;
    while (base < length && component[base] != '.') ++base;
    while (base > 0 && component[base - 1] == ' ') --base;
    return IsWindowsDeviceName(std::string_view(component, base));
}

// The scratch name is the platform's: case-insensitive, trailing dots and blanks dropped on Windows.
bool IsScratchName(const char* component, std::size_t length, PathStyle style) {
    const std::size_t scratchLength = sizeof texts::kScratchName - 1;
    if (style == PathStyle::kPosix) {
        return length == scratchLength && std::memcmp(component, texts::kScratchName, length) == 0;
    }
    length = WindowsLength(component, length);
    if (length != scratchLength) return false;
    for (std::size_t i = 0; i < length; ++i) {
        if (ascii::FoldByte(component[i]) != texts::kScratchName[i]) return false;
    }
    return true;
}

const char* ComponentReason(const char* component, std::size_t length, PathStyle style) {
    if (length == 2 && component[0] == '.' && component[1] == '.') return kReasonParent;
    if (IsScratchName(component, length, style)) return kScratchNameReason;
    if (style != PathStyle::kWindows) return nullptr;
    // Windows shortens ".. " and "..." to "..".
    if (length > 1 && OnlyDotsAndBlanks(component, length)) return kReasonParent;
    if (IsWindowsDevice(component, length)) return kReasonDevice;
    return nullptr;
}

}  // namespace

const char kScratchNameReason[] = "name of relayhive's scratch file";

bool IsWindowsDeviceName(std::string_view base) {
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

bool WindowsWouldChangeName(const char* component, std::size_t length) {
    return WindowsLength(component, length) != length;
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
        if (const char* reason = ComponentReason(name + start, i - start, style)) return reason;
        if (i >= length) break;
        start = i + 1;
    }
    return nullptr;
}
