// A JSON string that carries bytes: byte n is U+00nn, so a reader gets them back as Latin-1.
#ifndef RELAYHIVE_COMMON_JSON_STRING_H
#define RELAYHIVE_COMMON_JSON_STRING_H

#include <cstdio>
#include <string>

inline std::string JsonString(const std::string& bytes) {
    std::string json = "\"";
    for (char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') json += '\\';  // both printable: kept after their backslash
        if (byte >= 0x20 && byte < 0x7F) {
            json += c;
        } else {
            char escaped[7];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", byte);
            json += escaped;
        }
    }
    return json + "\"";
}

#endif
