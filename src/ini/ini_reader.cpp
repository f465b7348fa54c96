#include "ini/ini_reader.h"

#include <algorithm>
#include <cstring>

StringReader::StringReader(std::string_view bytes, StringMode mode)
    : bytes_(mode.subEndsInput ? bytes.substr(0, bytes.find('\x1a')) : bytes), crLfAsLf_(mode.crLfAsLf) {}

std::size_t StringReader::Read(char* buffer, std::size_t size) {
    std::size_t got = 0;
    if (!crLfAsLf_) {
        got = std::min(size, bytes_.size() - next_);
        if (got > 0) std::memcpy(buffer, bytes_.data() + next_, got);
        next_ += got;
        return got;
    }
    while (got < size && next_ < bytes_.size()) {
        const char c = bytes_[next_++];
        // A CR the input ends on stays: no LF follows it.
        if (c == '\r' && next_ < bytes_.size() && bytes_[next_] == '\n') continue;
        buffer[got++] = c;
    }
    return got;
}
