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

// A stream that is closed when it goes out of scope, unless closed before.
class OwnedStream {
public:
    explicit OwnedStream(FILE* stream) : stream_(stream) {}
    ~OwnedStream() { Close(); }
    OwnedStream(const OwnedStream&) = delete;
    OwnedStream& operator=(const OwnedStream&) = delete;

    FILE* get() const { return stream_; }
    // False, errno set, when buffered data could not be written or the close failed.
    bool Close() {
        FILE* stream = stream_;
        stream_ = nullptr;
        return stream == nullptr || os::fileCalls.close(stream);
    }

private:
    FILE* stream_;
};

// The scratch file of one copy: discarded (closed and removed) when it goes
// out of scope, unless it was kept by moving it into place.
class ScratchFile {
public:
    ScratchFile(const char* path, FILE* stream) : path_(path), stream_(stream) {}
    ~ScratchFile() {
        if (path_ == nullptr) return;
        stream_.Close();
        os::fileCalls.remove(path_);
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    FILE* stream() const { return stream_.get(); }
    bool Close() { return stream_.Close(); }
    // Moves the closed file over destination; false, errno set, and still to discard, on failure.
    bool Keep(const char* destination) {
        if (!os::fileCalls.moveIntoPlace(path_, destination)) return false;
        path_ = nullptr;
        return true;
    }

private:
    const char* path_;
    OwnedStream stream_;
};

// Reads source into scratch in 2048-byte chunks; the failure's result, reported, or kTransferred.
TransferResult CopyChunks(FILE* source, FILE* scratch, const char* sourcePath) {
    char buffer[2048];
    for (;;) {
        const long got = os::fileCalls.read(source, buffer, sizeof buffer);
        if (got == 0) return kTransferred;
        if (got < 0) {
            // "Fatal read error." and, on the next line, "<sourcePath>: <message>".
            if (sourcePath != nullptr) {
                ReportUnder(texts::kFatalReadError, sourcePath, os::ErrorMessage(errno));
            } else {
                ReportError(texts::kFatalReadError);
            }
            return kReadFailed;
        }
        if (!os::fileCalls.write(scratch, buffer, static_cast<std::size_t>(got))) {
            ReportError(texts::kFatalWriteError);
            return kWriteFailed;
        }
    }
}

}  // namespace

TransferResult TransferFile(const char* destination, const char* scratchPath, FILE* source, const char* sourcePath) {
    const os::FileCalls& calls = os::fileCalls;
    OwnedStream staged(source);
    os::FailedPath failed = os::FailedPath::kScratch;
    FILE* opened = calls.openReplacement(scratchPath, destination, source, &failed);
    if (opened == nullptr) {
        ReportError(RefusedPath(failed, errno, destination, scratchPath));
        return kNotReplaced;
    }
    ScratchFile scratch(scratchPath, opened);
    if (calls.sameFile(scratch.stream(), destination)) {
        // Moved onto itself it would stay the scratch file, and the next copy would remove it.
        ReportRefusal(sourcePath != nullptr ? sourcePath : destination, kScratchNameReason);
        return kNotReplaced;
    }
    UseCopyBuffers(source, scratch.stream());
    const TransferResult copied = CopyChunks(source, scratch.stream(), sourcePath);
    if (copied != kTransferred) return copied;
    staged.Close();
    // Buffered data that cannot be written shows up only here: still a failed write.
    if (!calls.flushToDisk(scratch.stream()) || !scratch.Close()) {
        ReportError(texts::kFatalWriteError);
        return kWriteFailed;
    }
    if (!scratch.Keep(destination)) {
        ReportError(destination);
        return kNotReplaced;
    }
    return kTransferred;
}
