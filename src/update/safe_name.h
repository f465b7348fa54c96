// The check that keeps a manifest name inside the directory it is copied into.
#ifndef RELAYHIVE_UPDATE_SAFE_NAME_H
#define RELAYHIVE_UPDATE_SAFE_NAME_H

#include <string_view>

#include "update/path_style.h"

// nullptr when name, joined below a directory, stays inside that directory
// and means the same file to a platform of that style; otherwise why it is
// refused. Both separators split components in either style, so a manifest
// written for one platform cannot escape on the other; a Windows name is read
// in characters of its code page, as Windows reads it.
const char* UnsafeNameReason(const char* name, PathStyle style, const LeadBytes& lead);

// The names Windows opens as a device, in any case, whatever extension or
// trailing blanks follow; '#' stands for one digit.
inline constexpr const char* kWindowsDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "COM#", "LPT#"};

// Why a name that reaches the scratch file is refused.
extern const char kScratchNameReason[];

// True when Windows would store the component under another name, its trailing dots and blanks cut.
bool WindowsWouldChangeName(const char* component, std::size_t length);

#endif
