#include "check/code_page.h"

namespace {

unsigned char At(const std::string& text, std::size_t i) { return static_cast<unsigned char>(text[i]); }

// Length of the valid GBK character at i, or 0.
std::size_t GbkCharacter(const std::string& text, std::size_t i) {
    const unsigned char lead = At(text, i);
    if (lead <= 0x80) return 1;
    if (lead == 0xFF || i + 1 >= text.size()) return 0;
    const unsigned char trail = At(text, i + 1);
    const bool validTrail = (trail >= 0x40 && trail <= 0x7E) || (trail >= 0x80 && trail <= 0xFE);
    return validTrail ? 2 : 0;
}

// Length of the valid UTF-8 sequence at i, or 0.
std::size_t Utf8Character(const std::string& text, std::size_t i) {
    const unsigned char lead = At(text, i);
    if (lead < 0x80) return 1;
    const std::size_t length =
        lead < 0xC2 || lead > 0xF4 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (length == 0 || i + length > text.size()) return 0;
    unsigned long codePoint = lead & (0x7Fu >> length);  // the lead byte's payload bits
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char next = At(text, i + k);
        if ((next & 0xC0u) != 0x80u) return 0;
        codePoint = (codePoint << 6) | (next & 0x3Fu);
    }
    static const unsigned long kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallest[length] || codePoint > 0x10FFFF) return 0;
    if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return 0;
    return length;
}

}  // namespace

std::size_t FirstInvalidByte(const std::string& text, CodePage codePage) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length =
            codePage == CodePage::k936 ? GbkCharacter(text, i) : Utf8Character(text, i);
        if (length == 0) return i;
        i += length;
    }
    return kAllValid;
}

bool LooksLikeUtf8(const std::string& text) {
    bool wide = false;
    for (char c : text) wide = wide || static_cast<unsigned char>(c) >= 0x80;
    return wide && FirstInvalidByte(text, CodePage::kUtf8) == kAllValid;
}
