#include "update/transfer.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "os/os.h"

std::vector<std::string> SplitList(const std::string& delimiters, const std::string& text) {
    std::vector<std::string> names;
    if (text.empty()) return names;
    // Like a C string, the text ends at its first zero byte.
    const std::string copy(text.c_str());
    const std::string delimiterSet(delimiters.c_str());
    std::size_t position = 0;
    while (position < copy.size()) {
        position = copy.find_first_not_of(delimiterSet, position);
        if (position == std::string::npos) break;
        const std::size_t end = copy.find_first_of(delimiterSet, position);
        const std::size_t length = (end == std::string::npos ? copy.size() : end) - position;
        names.push_back(copy.substr(position, length));
        position += length;
    }
    return names;
}

void ReportError(const char* text) {
    const int errnum = errno;
    std::string line;
    if (text != nullptr && *text != '\0') {
        line += text;
        line += ": ";
    }
    line += os::ErrorMessage(errnum);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

namespace {

const char kReplacementName[] = ".relayhive.tmp";

bool SameNameIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a + 0x20) : *a;
        char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b + 0x20) : *b;
        if (x != y) return false;
    }
    return *a == *b;
}

// The scratch file a copy is written to, in the destination's own directory
// so the final rename never crosses a filesystem. One fixed name per
// directory: whatever a killed run left there is reused by the next copy.
std::string ReplacementPathFor(const char* destination) {
    const char* base = destination;
    for (const char* c = destination; *c != '\0'; ++c) {
        if (os::IsPathSeparator(*c)) base = c + 1;
    }
    std::string path(destination, static_cast<std::size_t>(base - destination));
    path += kReplacementName;
    if (SameNameIgnoringCase(base, kReplacementName)) path += ".new";
    return path;
}

void Abandon(FILE* replacement, const std::string& path) {
    std::fclose(replacement);
    os::RemoveFile(path.c_str());
}

}  // namespace

int TransferFile(const char* destination, FILE* source) {
    const std::string replacementPath = ReplacementPathFor(destination);
    FILE* replacement = os::OpenReplacement(replacementPath.c_str(), destination, source);
    if (replacement == nullptr) {
        ReportError(destination);
        std::fclose(source);
        return -3;
    }

    // The copy moves 2048-byte chunks; the streams' own buffers may be larger
    // so the system sees few, large reads and writes. One copy runs at a time.
    static std::unique_ptr<char[]> streamBuffers;
    if (os::kCopyStreamBufferSize > 0) {
        if (!streamBuffers) streamBuffers.reset(new char[2 * os::kCopyStreamBufferSize]);
        std::setvbuf(source, streamBuffers.get(), _IOFBF, os::kCopyStreamBufferSize);
        std::setvbuf(replacement, streamBuffers.get() + os::kCopyStreamBufferSize, _IOFBF,
                     os::kCopyStreamBufferSize);
    }

    char buffer[2048];
    for (;;) {
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, source);
        if (got == 0) {
            if (std::ferror(source)) {
                ReportError("Fatal read error.\n");
                std::fclose(source);
                Abandon(replacement, replacementPath);
                return -5;
            }
            break;
        }
        if (std::fwrite(buffer, 1, got, replacement) != got) {
            ReportError("Fatal write error.\n");
            std::fclose(source);
            Abandon(replacement, replacementPath);
            return -4;
        }
    }
    std::fclose(source);

    // Buffered data that cannot be written shows up only here: still a failed write.
    if (!os::FlushToDisk(replacement)) {
        ReportError("Fatal write error.\n");
        Abandon(replacement, replacementPath);
        return -4;
    }
    if (std::fclose(replacement) != 0) {
        ReportError("Fatal write error.\n");
        os::RemoveFile(replacementPath.c_str());
        return -4;
    }
    if (!os::MoveIntoPlace(replacementPath.c_str(), destination)) {
        ReportError(destination);
        os::RemoveFile(replacementPath.c_str());
        return -3;
    }
    return 1;
}
