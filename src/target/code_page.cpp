#include "target/code_page.h"

namespace {

unsigned char At(std::string_view text, std::size_t i) { return static_cast<unsigned char>(text[i]); }

// Length of the valid UTF-8 sequence at i, and its code point; 0 when there is none.
std::size_t Utf8Character(std::string_view text, std::size_t i, char32_t* codePoint) {
    const unsigned char lead = At(text, i);
    *codePoint = lead;
    if (lead < 0x80) return 1;
    const std::size_t length = lead < 0xC2 || lead > 0xF4 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (length == 0 || i + length > text.size()) return 0;
    char32_t point = lead & (0x7Fu >> length);  // the lead byte's payload bits
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char next = At(text, i + k);
        if ((next & 0xC0u) != 0x80u) return 0;
        point = (point << 6) | (next & 0x3Fu);
    }
    static const char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kSmallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
    *codePoint = point;
    return length;
}

std::size_t ToUtf16(char32_t point, char16_t* units) {
    if (point < 0x10000) {
        units[0] = static_cast<char16_t>(point);
        return 1;
    }
    units[0] = static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10));
    units[1] = static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
    return 2;
}

void AppendUtf8(char32_t point, std::string* out) {
    if (point < 0x80) {
        *out += static_cast<char>(point);
        return;
    }
    const std::size_t length = point < 0x800 ? 2 : point < 0x10000 ? 3 : 4;
    static const unsigned char kLeads[] = {0, 0, 0xC0, 0xE0, 0xF0};
    *out += static_cast<char>(kLeads[length] | (point >> (6 * (length - 1))));
    for (std::size_t k = length - 1; k > 0; --k) *out += static_cast<char>(0x80 | ((point >> (6 * (k - 1))) & 0x3F));
}

}  // namespace

CodePage CodePage::FromChart(unsigned number, const CodePageChart& chart) {
    CodePage page;
    page.number_ = number;
    auto tables = std::make_shared<Tables>();
    tables->chart = chart;
    tables->chart.singles.resize(256, kNoCharacter);
    for (unsigned byte = 0; byte < 256; ++byte) {
        const char16_t single = tables->chart.singles[byte];
        if (single == kOpensPair) page.lead_[byte >> 5] |= 1u << (byte & 31);
        if (single < kOpensPair) tables->spelling.emplace(single, static_cast<std::uint16_t>(byte));
    }
    if (tables->chart.pairs.size() != 256 * 256) tables->chart.pairs.assign(256 * 256, kNoCharacter);
    for (std::size_t pair = 0; pair < tables->chart.pairs.size(); ++pair) {
        const char16_t unit = tables->chart.pairs[pair];
        if (page.Leads(static_cast<unsigned char>(pair >> 8)) && unit < kOpensPair) {
            tables->spelling.emplace(unit, static_cast<std::uint16_t>(pair));
        }
    }
    page.tables_ = std::move(tables);
    return page;
}

std::size_t CodePage::CharacterAt(std::string_view text, std::size_t i, char16_t* units, std::size_t* count) const {
    *count = 0;
    if (!tables_) {
        char32_t point = 0;
        const std::size_t length = Utf8Character(text, i, &point);
        if (length != 0) *count = ToUtf16(point, units);
        return length;
    }
    const unsigned char byte = At(text, i);
    const char16_t single = tables_->chart.singles[byte];
    if (single == kNoCharacter) return 0;
    if (single != kOpensPair) {
        units[0] = single;
        *count = 1;
        return 1;
    }
    if (i + 1 >= text.size()) return 0;
    const char16_t pair = tables_->chart.pairs[byte * 256u + At(text, i + 1)];
    if (pair >= kOpensPair) return 0;
    units[0] = pair;
    *count = 1;
    return 2;
}

std::size_t CodePage::FirstInvalidByte(std::string_view text) const {
    char16_t units[2];
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = CharacterAt(text, i, units, &count);
        if (length == 0) return i;
        i += length;
    }
    return kAllValid;
}

std::size_t CodePage::FirstCutCharacter(std::string_view text) const {
    char16_t units[2];
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!Leads(At(text, i))) continue;
        if (CharacterAt(text, i, units, &count) == 0) return i;
        ++i;
    }
    return kAllValid;
}

std::u16string CodePage::Decode(std::string_view text) const {
    std::u16string decoded;
    char16_t units[2];
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = CharacterAt(text, i, units, &count);
        if (length == 0) {
            decoded += static_cast<char16_t>(0xDC00 + At(text, i));
            ++i;
            continue;
        }
        decoded.append(units, count);
        i += length;
    }
    return decoded;
}

bool CodePage::Encode(std::u16string_view text, std::string* bytes) const {
    bytes->clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (!tables_) {
            const bool high = unit >= 0xD800 && unit < 0xDC00;
            if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
                AppendUtf8(0x10000 + ((char32_t(unit) - 0xD800) << 10) + (text[++i] - 0xDC00), bytes);
            } else if (unit >= 0xD800 && unit < 0xE000) {
                return false;
            } else {
                AppendUtf8(unit, bytes);
            }
            continue;
        }
        const auto found = tables_->spelling.find(unit);
        if (found == tables_->spelling.end()) return false;
        if (found->second > 0xFF) *bytes += static_cast<char>(found->second >> 8);
        *bytes += static_cast<char>(found->second & 0xFF);
    }
    return true;
}

bool Utf8OfName(std::string_view name, const CodePage& codePage, std::string* utf8) {
    if (codePage.FirstInvalidByte(name) != kAllValid) return false;
    return CodePage().Encode(codePage.Decode(name), utf8);
}

bool NameOfUtf8(std::string_view utf8, const CodePage& codePage, std::string* name) {
    const CodePage asUtf8;
    return asUtf8.FirstInvalidByte(utf8) == kAllValid && codePage.Encode(asUtf8.Decode(utf8), name);
}

std::string UnitsAsUtf8(std::u16string_view units) {
    std::string bytes;
    for (char16_t unit : units) AppendUtf8(unit, &bytes);
    return bytes;
}

bool LooksLikeUtf8(std::string_view text) {
    bool wide = false;
    for (char c : text) wide = wide || static_cast<unsigned char>(c) >= 0x80;
    return wide && CodePage().FirstInvalidByte(text) == kAllValid;
}
