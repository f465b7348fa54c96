// How a target reads a name: its separators and characters, the components it walks, what
// Windows drops, forbids and opens as a device, which names are one file, how long a path may
// be, and how a path is spelt on the host. Pure: every rule takes the target, so Windows' rules
// run on any host.
#ifndef RELAYHIVE_TARGET_NAME_H
#define RELAYHIVE_TARGET_NAME_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "target/code_page.h"

enum class PathStyle { kWindows, kPosix };

// The separator relayhive writes when it forms a path.
char PathSeparator(PathStyle style);
// True for every byte the platform treats as a separator (where a character starts).
bool IsPathSeparator(char c, PathStyle style);
// Bytes in the character at text[i]: 2 for a Windows lead byte with a byte after it, else 1.
std::size_t CharacterLength(std::string_view text, std::size_t i, PathStyle style, const CodePage& codePage);

// Every component of name, empty ones too, split where a character is a separator: the style's,
// or '/' and '\' alike when eitherSeparator (a name that must be safe on both platforms).
std::vector<std::string_view> SplitName(std::string_view name, PathStyle style, const CodePage& codePage,
                                        bool eitherSeparator = false);

// The component as Windows stores it: its trailing dots and blanks dropped.
std::string_view WindowsStoredName(std::string_view component);
// The first component of name that Windows stores under another name; false when none.
bool WindowsChangedComponent(std::string_view name, const CodePage& codePage, std::string_view* component);

// The characters Windows refuses in any file name (wildcards, redirections, quotes, streams).
inline constexpr char kWindowsForbidden[] = "<>:\"|?*";
// The first character of name that is one of bytes, '\0' when none: a trail byte never is.
char FirstCharacterAmong(std::string_view name, const char* bytes, const CodePage& codePage);

// The names Windows opens as a device, in any case, whatever extension or trailing blanks
// follow; '#' stands for a digit: 0-9, or a superscript 1-3 where the code page has one.
inline constexpr const char* kWindowsDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "COM#", "LPT#"};
bool IsWindowsDevice(std::string_view component, const CodePage& codePage);

// True when Windows finds the same file by both names (a component each): letter case ignored.
bool SameWindowsName(std::string_view a, std::string_view b, const CodePage& codePage);

// Size of a path buffer, terminating zero included (MAX_PATH, PATH_MAX).
std::size_t PathBufferSize(PathStyle style);
// Size of the manifest path's buffer: it has room beyond the other paths.
std::size_t ManifestPathBufferSize(PathStyle style);
// True when path, with its terminating zero, fits a path buffer.
bool FitsPathBuffer(std::string_view path, PathStyle style);

// The components of a relative path that the target's file system looks up: split on its
// separators (never a trail byte), empty and "." dropped, on Windows without the trailing dots
// and blanks it ignores.
std::vector<std::string> TargetComponents(std::string_view relative, PathStyle style, const CodePage& codePage);
// The name as the target's file system takes it: its components joined with '/'.
std::string TargetSpelling(std::string_view relative, PathStyle style, const CodePage& codePage);
// A key under which two names find the same file on the target: TargetSpelling, on Windows
// decoded and upcased.
std::string SameFileKey(std::string_view relative, PathStyle style, const CodePage& codePage);

// The directory relayhive works in when started in hostAbsolute: that path as the target spells
// it here (Z: under Wine on a POSIX host), or "." when it does not fit the target's buffer.
std::string TargetWorkingDirectory(const std::string& hostAbsolute, PathStyle host, PathStyle target);

// How a Windows target's names are spelt on a host's disk: as the code page's bytes, or as
// Wine keeps them on a POSIX host, the UTF-8 of their characters.
enum class Layout { kWindows, kWine };
// The host's spelling of a target's name; false when the code page reads no characters there.
bool HostSpelling(std::string_view name, Layout layout, const CodePage& codePage, std::string* host);

// The part of a plan path after the working directory and its separator.
std::string RelativeToWorkingDirectory(const std::string& path, const std::string& workingDirectory);

#endif
