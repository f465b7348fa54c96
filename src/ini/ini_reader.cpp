#include "ini/ini_reader.h"

StringReader::StringReader(std::string_view bytes, StringMode mode)
    : bytes_(mode.subEndsInput ? bytes.substr(0, bytes.find('\x1a')) : bytes), crLfAsLf_(mode.crLfAsLf) {}

std::size_t StringReader::Read(char* buffer, std::size_t size) {
    std::size_t got = 0;
    while (got < size && next_ < bytes_.size()) {
        const char c = bytes_[next_++];
        // CR LF arrives as LF; a CR the input ends on stays, as no LF follows it.
        if (crLfAsLf_ && c == '\r' && next_ < bytes_.size() && bytes_[next_] == '\n') continue;
        buffer[got++] = c;
    }
    return got;
}
