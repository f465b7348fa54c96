// ASCII case folding, the one way names are compared ignoring case: only A-Z fold, never 0x80-0xFF.
#ifndef RELAYHIVE_COMMON_ASCII_H
#define RELAYHIVE_COMMON_ASCII_H

#include <string>
#include <string_view>

namespace ascii {

inline char FoldByte(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 0x20) : c; }

inline std::string Fold(std::string text) {
    for (char& c : text) c = FoldByte(c);
    return text;
}

inline bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldByte(a[i]) != FoldByte(b[i])) return false;
    }
    return true;
}

}  // namespace ascii

#endif
