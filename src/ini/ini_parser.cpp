#include "ini/ini_parser.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

namespace {

constexpr std::size_t kReadBlock = 16 * 1024;

bool Printable(char c) { return c >= 0x20 && c <= 0x7E; }

// Position of the first ';', '#', '[' or '=', or npos when none.
std::size_t FindMarker(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        switch (text[i]) {
            case ';':
            case '#':
            case '[':
            case '=':
                return i;
            default:
                break;
        }
    }
    return std::string_view::npos;
}

// ClassifyLine, inlined into the parser's loop.
inline IniLine Classify(std::string_view text) {
    IniLine line;
    line.kind = LineKind::kIgnored;
    const std::size_t p = FindMarker(text);
    if (p == std::string_view::npos) return line;
    switch (text[p]) {
        case ';':
        case '#':
            line.kind = LineKind::kComment;
            line.value = text.substr(p + 1);
            break;
        case '[': {
            const std::size_t q = text.rfind(']');
            if (q == std::string_view::npos || q < p) break;  // no ']' after the '['
            line.kind = LineKind::kSection;
            line.section = text.substr(p + 1, q - p - 1);
            break;
        }
        default:
            line.kind = LineKind::kEntry;
            line.key = text.substr(0, p);
            line.value = text.substr(p + 1);
            break;
    }
    return line;
}

// A whole line, its CR dropped: blank, failing on its first byte, or what its markers make it.
inline IniLine Judge(std::string_view text) {
    IniLine line;  // kBlank
    if (text.empty()) return line;
    if (Printable(text[0])) return Classify(text);
    line.kind = LineKind::kBadFirstByte;
    return line;
}

// Splits the input into lines and tells each line's section.
class Parser {
public:
    explicit Parser(IniHandler* handler) : handler_(handler) {}

    // Reports one whole line (without its LF); false when the handler stops.
    bool Take(const char* bytes, std::size_t length) {
        if (length > 0 && bytes[length - 1] == '\r') --length;
        IniLine line = Judge(std::string_view(bytes, length));
        line.number = ++number_;
        line.text = std::string_view(bytes, length);
        line.firstByte = length == 0 ? 0 : static_cast<signed char>(bytes[0]);
        if (line.kind == LineKind::kSection) section_.assign(line.section.data(), line.section.size());
        line.section = section_;
        return handler_->Line(line);
    }

    ParseEnd Run(IniReader* reader) {
        char block[kReadBlock];
        std::string pending;  // a line that runs across blocks
        for (;;) {
            const std::size_t got = reader->Read(block, kReadBlock);
            if (got == 0) {
                // A read error ends the input like its end; only a cleanly
                // ended last line without a line feed still counts.
                if (reader->Failed() || pending.empty()) return ParseEnd::kEnd;
                return Take(pending.data(), pending.size()) ? ParseEnd::kEnd : ParseEnd::kStopped;
            }
            const char* cursor = block;
            const char* end = cursor + got;
            while (cursor < end) {
                const char* newline = static_cast<const char*>(
                    std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor)));
                if (newline == nullptr) {
                    pending.append(cursor, static_cast<std::size_t>(end - cursor));
                    break;
                }
                bool more;
                if (pending.empty()) {
                    more = Take(cursor, static_cast<std::size_t>(newline - cursor));
                } else {
                    pending.append(cursor, static_cast<std::size_t>(newline - cursor));
                    more = Take(pending.data(), pending.size());
                    pending.clear();
                }
                if (!more) return ParseEnd::kStopped;
                cursor = newline + 1;
            }
        }
    }

private:
    IniHandler* handler_;
    std::uint32_t number_ = 0;
    std::string section_;  // the name of the last header
};

}  // namespace

IniLine ClassifyLine(std::string_view text) { return Classify(text); }

ParseEnd ParseIni(IniReader* reader, IniHandler* handler) {
    try {
        return Parser(handler).Run(reader);
    } catch (const std::bad_alloc&) {
        return ParseEnd::kOutOfMemory;
    } catch (const std::length_error&) {
        return ParseEnd::kOutOfMemory;  // a line longer than a string can hold
    }
}
