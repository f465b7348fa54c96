#include "update/transfer.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "common/texts.h"
#include "os/os.h"
#include "update/path_style.h"
#include "update/report.h"
#include "update/safe_name.h"

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

void ReportError(const char* text) { ReportMessage(text, os::ErrorMessage(errno)); }

namespace {

// The path a failed openReplacement is reported with: the scratch file when
// that was what could not be used, unless the destination's own directory
// is missing; else the destination.
const char* RefusedPath(os::FailedPath failed, int errnum, const char* destination,
                        const char* scratchPath) {
    if (failed == os::FailedPath::kDestination) return destination;
    return errnum == ENOENT || errnum == ENOTDIR ? destination : scratchPath;
}

// The copy moves 2048-byte chunks; the streams' own buffers may be larger
// so the system sees few, large reads and writes. One copy runs at a time.
void UseCopyBuffers(FILE* source, FILE* replacement) {
    static std::unique_ptr<char[]> streamBuffers;
    if (os::kCopyStreamBufferSize == 0) return;
    // Without memory for them the runtime's own buffers serve: a copy never throws.
    if (!streamBuffers) streamBuffers.reset(new (std::nothrow) char[2 * os::kCopyStreamBufferSize]);
    if (!streamBuffers) return;
    std::setvbuf(source, streamBuffers.get(), _IOFBF, os::kCopyStreamBufferSize);
    std::setvbuf(replacement, streamBuffers.get() + os::kCopyStreamBufferSize, _IOFBF,
                 os::kCopyStreamBufferSize);
}

// "Fatal read error." and, on the next line, "<sourcePath>: <message>".
void ReportReadError(const char* sourcePath) {
    if (sourcePath == nullptr) {
        ReportError(texts::kFatalReadError);
        return;
    }
    const char* message = os::ErrorMessage(errno);
    std::fputs(texts::kFatalReadError, stderr);
    ReportMessage(sourcePath, message);
}

void Abandon(FILE* replacement, const char* scratchPath) {
    os::fileCalls.close(replacement);
    os::fileCalls.remove(scratchPath);
}

}  // namespace

int TransferStagedFile(const char* destination, const char* scratchPath, FILE* source, const char* sourcePath) {
    const os::FileCalls& calls = os::fileCalls;
    os::FailedPath failed = os::FailedPath::kScratch;
    FILE* replacement = calls.openReplacement(scratchPath, destination, source, &failed);
    if (replacement == nullptr) {
        ReportError(RefusedPath(failed, errno, destination, scratchPath));
        calls.close(source);
        return -3;
    }
    if (calls.sameFile(replacement, destination)) {
        // Moved onto itself it would stay the scratch file, and the next copy would remove it.
        Abandon(replacement, scratchPath);
        calls.close(source);
        ReportRefusal(sourcePath != nullptr ? sourcePath : destination, kScratchNameReason);
        return -3;
    }
    UseCopyBuffers(source, replacement);

    char buffer[2048];
    for (;;) {
        const long got = calls.read(source, buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            ReportReadError(sourcePath);
            calls.close(source);
            Abandon(replacement, scratchPath);
            return -5;
        }
        if (!calls.write(replacement, buffer, static_cast<std::size_t>(got))) {
            ReportError(texts::kFatalWriteError);
            calls.close(source);
            Abandon(replacement, scratchPath);
            return -4;
        }
    }
    calls.close(source);

    // Buffered data that cannot be written shows up only here: still a failed write.
    if (!calls.flushToDisk(replacement)) {
        ReportError(texts::kFatalWriteError);
        Abandon(replacement, scratchPath);
        return -4;
    }
    if (!calls.close(replacement)) {
        ReportError(texts::kFatalWriteError);
        calls.remove(scratchPath);
        return -4;
    }
    if (!calls.moveIntoPlace(scratchPath, destination)) {
        ReportError(destination);
        calls.remove(scratchPath);
        return -3;
    }
    return 1;
}

int TransferFile(const char* destination, FILE* source) {
    const std::string scratchPath = ScratchPathFor(destination, NativePathStyle(), NativeLeadBytes());
    return TransferStagedFile(destination, scratchPath.c_str(), source, nullptr);
}
