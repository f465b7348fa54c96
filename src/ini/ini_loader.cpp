// CIniFile::Load: one lenient pass over the file, line by line.
#include <cstdio>
#include <cstring>

#include "ini/ini_file.h"
#include "os/os.h"

namespace {

constexpr std::size_t kReadBlock = 16 * 1024;

// Position of the first ';', '#', '[' or '=' in the line, or length when none.
std::size_t FindMarker(const char* line, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        switch (line[i]) {
            case ';':
            case '#':
            case '[':
            case '=':
                return i;
            default:
                break;
        }
    }
    return length;
}

}  // namespace

bool CIniFile::LoadLine(const char* line, std::size_t length, LoadState* state) {
    if (length > 0 && line[length - 1] == '\r') --length;
    if (length == 0) return true;

    const unsigned char first = static_cast<unsigned char>(line[0]);
    if (first < 0x20 || first > 0x7E) {
        std::printf("Failing on char %d\n", static_cast<int>(static_cast<signed char>(first)));
        return false;
    }

    const std::size_t p = FindMarker(line, length);
    if (p == length) return true;

    switch (line[p]) {
        case ';':
        case '#': {
            const std::string text(line + p + 1, length - p - 1);
            if (sectionNames.empty()) {
                AddHeaderComment(text);
            } else {
                AddSectionComment(state->currentSection, text);
            }
            break;
        }
        case '[': {
            std::size_t q = length;
            while (q > 0 && line[q - 1] != ']') --q;
            if (q == 0) break;  // no ']' at all
            --q;
            if (q < p) break;  // the last ']' stands before the '['
            state->currentSection.assign(line + p + 1, q - p - 1);
            AddSectionBytes(state->currentSection.data(), state->currentSection.size());
            state->sectionIndex = FindSectionBytes(state->currentSection.data(),
                                                   state->currentSection.size());
            break;
        }
        default: {  // '=': PutValue(currentSection, key, value, create = true)
            if (state->sectionIndex == npos) {
                state->sectionIndex = FindOrAddSection(state->currentSection.data(),
                                                       state->currentSection.size());
            }
            const std::uint32_t s = state->sectionIndex;
            StoreEntry(s, FindEntryBytes(s, line, p), line, p, line + p + 1, length - p - 1);
            break;
        }
    }
    return true;
}

bool CIniFile::Load() {
    // Opened without denying others read or write access; text mode where the
    // runtime has one, so CR LF arrives as LF and 0x1A ends the input there.
    std::FILE* file = std::fopen(path.c_str(), os::kTextReadMode);
    if (file == nullptr) return false;
    // Reads come in whole blocks of our own: the stream needs no buffer of its own.
    std::setvbuf(file, nullptr, _IONBF, 0);

    LoadState state;
    char block[kReadBlock];
    std::string pending;  // a line that runs across blocks
    bool clean = true;

    for (;;) {
        const std::size_t got = std::fread(block, 1, kReadBlock, file);
        if (got == 0) {
            // A read error ends the input like the end of the file; only a
            // cleanly ended last line without a line feed still counts.
            if (!std::ferror(file) && !pending.empty()) {
                clean = LoadLine(pending.data(), pending.size(), &state);
            }
            break;
        }
        const char* cursor = block;
        const char* end = cursor + got;
        while (cursor < end) {
            const char* newline =
                static_cast<const char*>(std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor)));
            if (newline == nullptr) {
                pending.append(cursor, static_cast<std::size_t>(end - cursor));
                break;
            }
            if (pending.empty()) {
                clean = LoadLine(cursor, static_cast<std::size_t>(newline - cursor), &state);
            } else {
                pending.append(cursor, static_cast<std::size_t>(newline - cursor));
                clean = LoadLine(pending.data(), pending.size(), &state);
                pending.clear();
            }
            if (!clean) break;
            cursor = newline + 1;
        }
        if (!clean) break;
    }

    std::fclose(file);
    return clean && !sectionNames.empty();
}
