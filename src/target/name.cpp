#include "target/name.h"

#include <cstring>

#include "target/case_fold.h"

namespace {

// MAX_PATH; PATH_MAX on Linux.
constexpr std::size_t kWindowsPathBuffer = 260;
constexpr std::size_t kPosixPathBuffer = 4096;
constexpr std::size_t kWindowsManifestPathBuffer = 1024;

bool IsDeviceDigit(char16_t unit) {
    // Windows reads the superscripts one to three as digits too.
    return (unit >= u'0' && unit <= u'9') || unit == u'\u00B9' || unit == u'\u00B2' || unit == u'\u00B3';
}

bool EqualIgnoringCase(std::u16string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (WindowsUpcase(a[i]) != WindowsUpcase(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

}  // namespace

char PathSeparator(PathStyle style) { return style == PathStyle::kWindows ? '\\' : '/'; }

bool IsPathSeparator(char c, PathStyle style) { return c == '/' || (style == PathStyle::kWindows && c == '\\'); }

std::size_t CharacterLength(std::string_view text, std::size_t i, PathStyle style, const CodePage& codePage) {
    const bool wide = style == PathStyle::kWindows && codePage.Leads(static_cast<unsigned char>(text[i]));
    return wide && i + 1 < text.size() && text[i + 1] != '\0' ? 2 : 1;
}

std::vector<std::string_view> SplitName(std::string_view name, PathStyle style, const CodePage& codePage,
                                        bool eitherSeparator) {
    std::vector<std::string_view> components;
    std::size_t start = 0;
    for (std::size_t i = 0;; i += CharacterLength(name, i, style, codePage)) {
        const bool separator = i < name.size() && (eitherSeparator ? name[i] == '/' || name[i] == '\\'
                                                                   : IsPathSeparator(name[i], style));
        if (i < name.size() && !separator) continue;
        components.push_back(name.substr(start, i - start));
        if (i >= name.size()) break;
        start = i + 1;
    }
    return components;
}

std::string_view WindowsStoredName(std::string_view component) {
    return component.substr(0, component.find_last_not_of(". ") + 1);  // npos + 1 is 0
}

bool WindowsChangedComponent(std::string_view name, const CodePage& codePage, std::string_view* component) {
    for (std::string_view part : SplitName(name, PathStyle::kWindows, codePage)) {
        if (WindowsStoredName(part).size() == part.size()) continue;
        *component = part;
        return true;
    }
    return false;
}

char FirstCharacterAmong(std::string_view name, const char* bytes, const CodePage& codePage) {
    for (std::size_t i = 0; i < name.size(); i += CharacterLength(name, i, PathStyle::kWindows, codePage)) {
        if (name[i] != '\0' && std::strchr(bytes, name[i]) != nullptr) return name[i];
    }
    return '\0';
}

// CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$: with any extension and trailing blanks
// ("nul.txt", "CON ") they still open the device. Neither '.' nor ' ' is ever a trail byte.
bool IsWindowsDevice(std::string_view component, const CodePage& codePage) {
    std::u16string base = codePage.Decode(component.substr(0, component.find('.')));
    base.erase(base.find_last_not_of(u' ') + 1);  // npos + 1 is 0
    for (const char* device : kWindowsDevices) {
        const std::string_view name(device);
        if (name.back() != '#') {
            if (EqualIgnoringCase(base, name)) return true;
        } else if (base.size() == name.size() && IsDeviceDigit(base.back()) &&
                   EqualIgnoringCase(std::u16string_view(base).substr(0, base.size() - 1),
                                          name.substr(0, name.size() - 1))) {
            return true;
        }
    }
    return false;
}

bool SameWindowsName(std::string_view a, std::string_view b, const CodePage& codePage) {
    return WindowsUpcased(codePage.Decode(a)) == WindowsUpcased(codePage.Decode(b));
}

std::size_t PathBufferSize(PathStyle style) {
    return style == PathStyle::kWindows ? kWindowsPathBuffer : kPosixPathBuffer;
}

std::size_t ManifestPathBufferSize(PathStyle style) {
    // A path the system cannot open is not formed: on Linux that is PATH_MAX.
    return style == PathStyle::kWindows ? kWindowsManifestPathBuffer : kPosixPathBuffer;
}

bool FitsPathBuffer(std::string_view path, PathStyle style) { return path.size() < PathBufferSize(style); }

std::vector<std::string> TargetComponents(std::string_view relative, PathStyle style, const CodePage& codePage) {
    std::vector<std::string> components;
    for (std::string_view part : SplitName(relative, style, codePage)) {
        if (style == PathStyle::kWindows && part != "." && part != "..") part = WindowsStoredName(part);
        if (!part.empty() && part != ".") components.emplace_back(part);
    }
    return components;
}

std::string TargetSpelling(std::string_view relative, PathStyle style, const CodePage& codePage) {
    std::string spelt;
    for (const std::string& component : TargetComponents(relative, style, codePage)) {
        if (!spelt.empty()) spelt += '/';
        spelt += component;
    }
    return spelt;
}

std::string SameFileKey(std::string_view relative, PathStyle style, const CodePage& codePage) {
    const std::string spelt = TargetSpelling(relative, style, codePage);
    if (style != PathStyle::kWindows) return spelt;
    return UnitsAsUtf8(WindowsUpcased(codePage.Decode(spelt)));
}

std::string TargetWorkingDirectory(const std::string& hostAbsolute, PathStyle host, PathStyle target) {
    std::string spelt = hostAbsolute;
    if (host != target) {
        if (target == PathStyle::kWindows) spelt = "Z:" + spelt;  // Wine's drive for the Unix root
        for (char& c : spelt) {
            if (IsPathSeparator(c, host)) c = PathSeparator(target);
        }
    }
    return FitsPathBuffer(spelt, target) ? spelt : std::string(".");
}

bool HostSpelling(std::string_view name, Layout layout, const CodePage& codePage, std::string* host) {
    if (layout == Layout::kWine) return Utf8OfName(name, codePage, host);
    host->assign(name);
    return true;
}

std::string RelativeToWorkingDirectory(const std::string& path, const std::string& workingDirectory) {
    if (path == workingDirectory) return std::string();
    if (path.size() <= workingDirectory.size() ||
        path.compare(0, workingDirectory.size(), workingDirectory) != 0) {
        return path;
    }
    return path.substr(workingDirectory.size() + 1);
}
