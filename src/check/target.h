// What relayhive-check predicts for: the target platforms and the code pages
// names are read in, each with the names the command line and the reports use.
#ifndef RELAYHIVE_CHECK_TARGET_H
#define RELAYHIVE_CHECK_TARGET_H

#include "check/code_page.h"
#include "update/path_style.h"

struct TargetRule {
    PathStyle style;
    const char* name;   // as --target takes it and the reports show it
    const char* title;  // in a sentence
    CodePage codePage;  // the code page it reads names in unless told otherwise
};
inline constexpr TargetRule kTargets[] = {
    {PathStyle::kWindows, "windows", "Windows", CodePage::k936},
    {PathStyle::kPosix, "linux", "Linux", CodePage::kUtf8},
};

struct CodePageRule {
    CodePage codePage;
    const char* name;   // as --code-page takes it and the reports show it
    const char* title;  // in a sentence
};
inline constexpr CodePageRule kCodePages[] = {
    {CodePage::k936, "936", "code page 936 (GBK)"},
    {CodePage::kUtf8, "utf-8", "UTF-8"},
};

inline const TargetRule& TargetOf(PathStyle style) {
    return style == kTargets[0].style ? kTargets[0] : kTargets[1];
}
inline const CodePageRule& CodePageOf(CodePage codePage) {
    return codePage == kCodePages[0].codePage ? kCodePages[0] : kCodePages[1];
}

// The double-byte characters a target reads names in.
inline LeadBytes LeadBytesOf(PathStyle style, CodePage codePage) {
    return style == PathStyle::kWindows && codePage == CodePage::k936 ? LeadBytes::Gbk() : LeadBytes();
}

#endif
