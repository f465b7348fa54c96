#include "ini/ini_parser.h"

#include <new>
#include <stdexcept>
#include <string>

namespace {

constexpr std::size_t kReadBlock = 16 * 1024;

bool Printable(char c) { return c >= 0x20 && c <= 0x7E; }

// Splits the input into lines and tells each line's section.
class Parser {
public:
    explicit Parser(IniHandler* handler) : handler_(handler) {}

    // Reports one whole line (without its LF); false when the handler stops.
    bool Take(std::string_view text) {
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        IniLine line;  // kBlank
        if (!text.empty() && !Printable(text[0])) {
            line.kind = LineKind::kBadFirstByte;
        } else if (!text.empty()) {
            line = ClassifyLine(text);
        }
        line.firstByte = text.empty() ? 0 : static_cast<signed char>(text[0]);
        line.number = ++number_;
        line.text = text;
        if (line.kind == LineKind::kSection) section_ = line.section;
        line.section = section_;
        return handler_->Line(line);
    }

    ParseEnd Run(IniReader* reader) {
        char block[kReadBlock];
        std::string pending;  // a line that runs across blocks
        for (;;) {
            const std::size_t got = reader->Read(block, kReadBlock);
            if (got == 0) {
                // A read error ends the input too, but then a last line without its LF is lost.
                if (reader->Failed() || pending.empty()) return ParseEnd::kEnd;
                return Take(pending) ? ParseEnd::kEnd : ParseEnd::kStopped;
            }
            std::string_view rest(block, got);
            for (std::size_t lf = rest.find('\n'); lf != rest.npos; lf = rest.find('\n')) {
                bool more;
                if (pending.empty()) {
                    more = Take(rest.substr(0, lf));
                } else {
                    pending.append(rest.data(), lf);
                    more = Take(pending);
                    pending.clear();
                }
                if (!more) return ParseEnd::kStopped;
                rest.remove_prefix(lf + 1);
            }
            pending.append(rest.data(), rest.size());
        }
    }

private:
    IniHandler* handler_;
    std::uint32_t number_ = 0;
    std::string section_;  // the name of the last header
};

}  // namespace

IniLine ClassifyLine(std::string_view text) {
    IniLine line;
    line.kind = LineKind::kIgnored;
    const std::size_t p = text.find_first_of(";#[=");
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

ParseEnd ParseIni(IniReader* reader, IniHandler* handler) {
    try {
        return Parser(handler).Run(reader);
    } catch (const std::bad_alloc&) {
        return ParseEnd::kOutOfMemory;
    } catch (const std::length_error&) {
        return ParseEnd::kOutOfMemory;  // a line longer than a string can hold
    }
}
