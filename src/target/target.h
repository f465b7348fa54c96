// The targets relayhive-check and relayhive-stage predict for and the code pages a Windows
// target reads names in, each with the names the command lines and the reports use.
#ifndef RELAYHIVE_TARGET_TARGET_H
#define RELAYHIVE_TARGET_TARGET_H

#include "target/name.h"

struct TargetRule {
    PathStyle style;
    const char* name;   // as --target takes it and the reports show it
    const char* title;  // in a sentence
};
inline constexpr TargetRule kTargets[] = {
    {PathStyle::kWindows, "windows", "Windows"},
    {PathStyle::kPosix, "linux", "Linux"},
};

struct CodePageRule {
    unsigned number;
    const char* name;   // as --code-page takes it and the reports show it
    const char* title;  // in a sentence
};
inline constexpr CodePageRule kCodePages[] = {
    {874, "874", "code page 874 (Thai)"},
    {932, "932", "code page 932 (Shift-JIS)"},
    {936, "936", "code page 936 (GBK)"},
    {949, "949", "code page 949 (Korean)"},
    {950, "950", "code page 950 (Big5)"},
    {1250, "1250", "code page 1250 (Central European)"},
    {1251, "1251", "code page 1251 (Cyrillic)"},
    {1252, "1252", "code page 1252 (Western European)"},
    {1253, "1253", "code page 1253 (Greek)"},
    {1254, "1254", "code page 1254 (Turkish)"},
    {1255, "1255", "code page 1255 (Hebrew)"},
    {1256, "1256", "code page 1256 (Arabic)"},
    {1257, "1257", "code page 1257 (Baltic)"},
    {1258, "1258", "code page 1258 (Vietnamese)"},
    {kUtf8CodePage, "utf-8", "UTF-8"},
};
// The code page a Linux build reads a Windows target's names in unless told otherwise; a Windows
// build reads them in the system's ANSI code page, as relayhive does.
inline constexpr unsigned kDefaultWindowsCodePage = 936;

struct LayoutRule {
    Layout layout;
    const char* name;  // as --layout takes it
};
inline constexpr LayoutRule kLayouts[] = {{Layout::kWindows, "windows"}, {Layout::kWine, "wine"}};
// Why a host cannot take a layout, or nullptr: a Windows host reads and writes names in its code page only.
inline const char* LayoutRefusal(Layout layout, PathStyle host) {
    return layout == Layout::kWine && host == PathStyle::kWindows ? "--layout wine is for a Linux host, where Wine keeps "
                                                                    "the names"
                                                                  : nullptr;
}

// The platform the tools run on: its path style and the code page its programs read names in.
struct Host {
    PathStyle style;
    unsigned ansiCodePage;
};

// A Windows target's code page unless told: the host's own on Windows, as relayhive reads names
// there (when it is one of kCodePages); elsewhere kDefaultWindowsCodePage. A POSIX target's: UTF-8.
inline unsigned DefaultCodePage(PathStyle target, const Host& host) {
    if (target != PathStyle::kWindows) return kUtf8CodePage;
    for (const CodePageRule& rule : kCodePages) {
        if (host.style == PathStyle::kWindows && rule.number == host.ansiCodePage) return host.ansiCodePage;
    }
    return kDefaultWindowsCodePage;
}
// Unless told: a Windows target on a POSIX host is read as Wine keeps its names.
inline Layout DefaultLayout(PathStyle target, const Host& host) {
    return target == PathStyle::kWindows && host.style != target ? Layout::kWine : Layout::kWindows;
}

inline const char* LayoutName(Layout layout) { return layout == Layout::kWine ? "wine" : "windows"; }

inline const TargetRule& TargetOf(PathStyle style) {
    return style == kTargets[0].style ? kTargets[0] : kTargets[1];
}
// The rule of a supported code page; UTF-8's for any other.
inline const CodePageRule& CodePageRuleOf(unsigned number) {
    for (const CodePageRule& rule : kCodePages) {
        if (rule.number == number) return rule;
    }
    return kCodePages[sizeof kCodePages / sizeof kCodePages[0] - 1];
}

#endif
