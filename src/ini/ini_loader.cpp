// CIniFile::Load: one lenient pass over the file, line by line.
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include "ini/ini_file.h"
#include "common/texts.h"
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
    if (first < 0x20 || first > 0x7E) return false;

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

void CIniFile::ReadLines(std::FILE* file, LoadOutcome* outcome) {
    LoadState state;
    char block[kReadBlock];
    std::string pending;  // a line that runs across blocks
    std::uint32_t lineNumber = 0;

    // Handles one whole line; false, with the outcome filled, when it fails the load.
    auto take = [&](const char* line, std::size_t length) {
        ++lineNumber;
        if (LoadLine(line, length, &state)) return true;
        outcome->stop = LoadStop::kBadFirstByte;
        outcome->line = lineNumber;
        outcome->byte = static_cast<signed char>(line[0]);
        return false;
    };

    for (;;) {
        const std::size_t got = std::fread(block, 1, kReadBlock, file);
        if (got == 0) {
            // A read error ends the input like the end of the file; only a
            // cleanly ended last line without a line feed still counts.
            if (!std::ferror(file) && !pending.empty()) take(pending.data(), pending.size());
            return;
        }
        const char* cursor = block;
        const char* end = cursor + got;
        while (cursor < end) {
            const char* newline = static_cast<const char*>(
                std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor)));
            if (newline == nullptr) {
                pending.append(cursor, static_cast<std::size_t>(end - cursor));
                break;
            }
            bool clean;
            if (pending.empty()) {
                clean = take(cursor, static_cast<std::size_t>(newline - cursor));
            } else {
                pending.append(cursor, static_cast<std::size_t>(newline - cursor));
                clean = take(pending.data(), pending.size());
                pending.clear();
            }
            if (!clean) return;
            cursor = newline + 1;
        }
    }
}

LoadOutcome CIniFile::LoadQuietly() {
    LoadOutcome outcome;
    // Opened without denying others read or write access; text mode where the
    // runtime has one, so CR LF arrives as LF and 0x1A ends the input there.
    // A pipe or a device in its place is not waited on: it does not open.
    bool irregular = false;
    std::FILE* file = os::OpenRegularFile(path.c_str(), os::kTextReadMode, &irregular);
    if (file == nullptr) {
        outcome.stop = LoadStop::kNotOpened;
        return outcome;
    }
    // Reads come in whole blocks of our own: the stream needs no buffer of its own.
    std::setvbuf(file, nullptr, _IONBF, 0);
    try {
        ReadLines(file, &outcome);
    } catch (const std::bad_alloc&) {
        // A line or a list too large for memory fails the load like a bad line.
        outcome.stop = LoadStop::kOutOfMemory;
    } catch (const std::length_error&) {
        outcome.stop = LoadStop::kOutOfMemory;  // a line longer than a string can hold
    }
    std::fclose(file);
    outcome.loaded = outcome.stop == LoadStop::kEnd && !sectionNames.empty();
    return outcome;
}

void ShowLoadFailure(const LoadOutcome& outcome) {
    if (outcome.stop == LoadStop::kBadFirstByte) std::printf(texts::kLoadFailureFormat, outcome.byte);
}

bool CIniFile::Load() {
    const LoadOutcome outcome = LoadQuietly();
    ShowLoadFailure(outcome);
    return outcome.loaded;
}
