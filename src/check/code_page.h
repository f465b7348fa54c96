// Whether a name's bytes mean characters in the code page the target reads them in.
#ifndef RELAYHIVE_CHECK_CODE_PAGE_H
#define RELAYHIVE_CHECK_CODE_PAGE_H

#include <cstddef>
#include <string>

enum class CodePage { k936, kUtf8 };

inline constexpr std::size_t kAllValid = static_cast<std::size_t>(-1);

// Offset of the first byte that does not begin a valid character, or kAllValid. Code page 936
// (GBK): 0x00-0x80 alone, a lead byte 0x81-0xFE and a trail byte 0x40-0x7E or 0x80-0xFE; 0xFF
// never. UTF-8: the shortest form of a code point up to U+10FFFF that is not a surrogate.
std::size_t FirstInvalidByte(const std::string& text, CodePage codePage);

// True when text has bytes outside ASCII and all of it is valid UTF-8: what a
// name saved as UTF-8 looks like, whatever it means in code page 936.
bool LooksLikeUtf8(const std::string& text);

#endif
