#include "check/shown.h"

#include <cstdio>

#include "common/texts.h"

namespace {

std::string Show(const std::string& bytes, bool keepBackslashes) {
    std::string shown;
    const std::size_t first = bytes.find_first_not_of(' ');
    const std::size_t last = bytes.find_last_not_of(' ');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        const unsigned char byte = static_cast<unsigned char>(c);
        const bool edgeBlank = c == ' ' && (first == std::string::npos || i < first || i > last);
        // A backslash in a name is escaped too, so that no name shows as another's escape.
        if (byte >= 0x20 && byte < 0x7F && !edgeBlank && (c != '\\' || keepBackslashes)) {
            shown += c;
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        shown += escaped;
    }
    return shown;
}

// The byte the escape \xNN at shown[at] stands for (ShowBytes writes capitals), or -1 where none starts.
int EscapedByte(const std::string& shown, std::size_t at) {
    if (at + 4 > shown.size() || shown[at] != '\\' || shown[at + 1] != 'x') return -1;
    int byte = 0;
    for (std::size_t i = at + 2; i < at + 4; ++i) {
        const char c = shown[i];
        if (c < '0' || (c > '9' && c < 'A') || c > 'F') return -1;
        byte = byte * 16 + (c <= '9' ? c - '0' : c - 'A' + 10);
    }
    return byte;
}

// Characters that show as nothing, as a blank or as a reordering of what follows.
bool Hides(char32_t c) {
    static const char32_t kRanges[][2] = {
        {0x80, 0xA0},     {0xAD, 0xAD},     {0x34F, 0x34F},   {0x61C, 0x61C},   {0x115F, 0x1160},
        {0x180E, 0x180E}, {0x2000, 0x200F}, {0x2028, 0x202F}, {0x205F, 0x206F}, {0x3000, 0x3000},
        {0x3164, 0x3164}, {0xFE00, 0xFE0F}, {0xFEFF, 0xFEFF}, {0xFFA0, 0xFFA0}, {0xFFF0, 0xFFFF},
        {0xE0000, 0xE0FFF},
    };
    for (const auto& range : kRanges) {
        if (c >= range[0] && c <= range[1]) return true;
    }
    return false;
}

// The number of escapes from shown[at] that spell one valid, visible UTF-8 character, or 0.
std::size_t Utf8Escapes(const std::string& shown, std::size_t at) {
    std::string bytes;
    for (std::size_t length = 1; length <= 4; ++length) {
        const int byte = EscapedByte(shown, at + 4 * (length - 1));
        if (byte < 0x80) return 0;
        bytes += static_cast<char>(byte);
        if (length == 1 || CodePage().FirstInvalidByte(bytes) != kAllValid) continue;
        char32_t c = static_cast<unsigned char>(bytes[0]) & (0x7Fu >> length);
        for (std::size_t i = 1; i < length; ++i) c = c << 6 | (static_cast<unsigned char>(bytes[i]) & 0x3Fu);
        return Hides(c) ? 0 : length;
    }
    return 0;
}

}  // namespace

std::string ShowUtf8Text(const std::string& shown) {
    std::string text;
    for (std::size_t at = 0; at < shown.size();) {
        const std::size_t length = Utf8Escapes(shown, at);
        if (length == 0) {
            text += shown[at++];
            continue;
        }
        for (std::size_t i = 0; i < length; ++i, at += 4) text += static_cast<char>(EscapedByte(shown, at));
    }
    return text;
}

std::string ShowInCodePage(const std::string& shown, const CodePage& codePage) {
    return codePage.Number() == kUtf8CodePage ? ShowUtf8Text(shown) : shown;
}

std::string Hex(int byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(byte) & 0xFFu);
    return text;
}

std::string ShowBytes(const std::string& bytes) { return Show(bytes, false); }

std::string ShowPath(const std::string& path) { return Show(path, true); }

std::string Quoted(const std::string& name) { return "'" + ShowBytes(name) + "'"; }

const char* GroupLabel(PlanGroup group) { return RuleOf(group).label; }

const char* StepKindLabel(StepKind kind) {
    static const char* const kLabels[] = {"copy", "refuse", "too_long", "pause"};
    return kLabels[static_cast<int>(kind)];
}

std::string ShownStaged(const std::string& relative) {
    return std::string(texts::kStagingDirectory) + "/" + ShowBytes(relative);
}

std::string ShownSource(const PlanStep& step) { return ShownStaged(step.name); }

std::string ShownDestination(const PlanStep& step) {
    const char* directory = RuleOf(step.group).directory;
    const std::string name = ShowBytes(step.name);
    return directory == nullptr ? name : std::string(directory) + "/" + name;
}

std::string ShownReported(const PlanStep& step) {
    return step.reported == step.source ? ShownSource(step) : ShownDestination(step);
}

std::string ShownDestinationDirectory(const PlanStep& step, PathStyle style, const CodePage& codePage) {
    const char* directory = RuleOf(step.group).directory;
    std::string shown = directory == nullptr ? std::string(".") : std::string(directory);
    const std::string within = DirectoryOf(step.name, style, codePage);
    if (!within.empty()) shown += "/" + ShowBytes(within);
    return shown + "/";
}
