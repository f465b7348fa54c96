// How a Windows target reads the bytes of a name: which bytes open a double-byte character, which
// bytes are characters at all, and which characters they are. Built from what the platform's own
// converter says of every byte and byte pair; UTF-8 is read by its own rules.
#ifndef RELAYHIVE_TARGET_CODE_PAGE_H
#define RELAYHIVE_TARGET_CODE_PAGE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

inline constexpr std::size_t kAllValid = static_cast<std::size_t>(-1);
inline constexpr unsigned kUtf8CodePage = 65001;

// What the converter makes of each byte alone, and of each lead byte with each byte after it.
struct CodePageChart {
    std::vector<char16_t> singles;  // 256 entries
    std::vector<char16_t> pairs;    // lead * 256 + trail; empty in a single-byte code page
};
inline constexpr char16_t kNoCharacter = 0xFFFF;  // no character of the code page
inline constexpr char16_t kOpensPair = 0xFFFE;    // a lead byte (singles only)

class CodePage {
public:
    CodePage() = default;  // UTF-8
    static CodePage FromChart(unsigned number, const CodePageChart& chart);

    unsigned Number() const { return number_; }
    bool Leads(unsigned char byte) const { return (lead_[byte >> 5] >> (byte & 31)) & 1u; }
    // Offset of the first byte that does not begin a whole character, or kAllValid.
    std::size_t FirstInvalidByte(std::string_view text) const;
    // Offset of the first lead byte whose character does not end (no byte after it, or a pair that
    // is no character), or kAllValid: Windows reads it as a character no file name holds.
    std::size_t FirstCutCharacter(std::string_view text) const;
    // The characters of text in UTF-16; a byte that is no character reads as U+DC00 + byte, which
    // no character decodes to, so that names stay apart.
    std::u16string Decode(std::string_view text) const;
    // The bytes that spell text's characters; false when one has no spelling here.
    bool Encode(std::u16string_view text, std::string* bytes) const;

private:
    struct Tables {
        CodePageChart chart;
        std::unordered_map<char16_t, std::uint16_t> spelling;  // character -> its first byte sequence
    };
    // Bytes in the character at text[i] and its UTF-16 (up to two units); 0 bytes when there is none.
    std::size_t CharacterAt(std::string_view text, std::size_t i, char16_t* units, std::size_t* count) const;

    unsigned number_ = kUtf8CodePage;
    std::uint32_t lead_[8] = {};
    std::shared_ptr<const Tables> tables_;  // null for UTF-8
};

// UTF-8 as Wine keeps a Windows program's names on a POSIX host: the characters' UTF-8. The
// reverse: false for host bytes that are no UTF-8 or characters the code page cannot spell.
bool Utf8OfName(std::string_view name, const CodePage& codePage, std::string* utf8);
bool NameOfUtf8(std::string_view utf8, const CodePage& codePage, std::string* name);

// Each UTF-16 unit as the UTF-8 of its value, a lone surrogate too: bytes that keep ASCII as it is.
std::string UnitsAsUtf8(std::u16string_view units);

// True when text has bytes outside ASCII and all of it is valid UTF-8: what a name saved as
// UTF-8 looks like, whatever it means in another code page.
bool LooksLikeUtf8(std::string_view text);

#endif
