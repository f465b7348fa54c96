#include "update/transfer.h"

#include <cerrno>
#include <memory>
#include <new>

#include "common/texts.h"
#include "os/os.h"
#include "update/report.h"
#include "update/safe_name.h"

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

// The scratch file of one copy: closed and removed at scope exit unless Keep moved it into place.
class ScratchFile : public OwnedStream {
public:
    ScratchFile(const char* path, FILE* stream) : OwnedStream(stream), path_(path) {}
    ~ScratchFile() {
        if (path_ == nullptr) return;
        Close();
        os::fileCalls.remove(path_);
    }

    // Moves the closed file over destination; false, errno set, and still to discard, on failure.
    bool Keep(const char* destination) {
        if (!os::fileCalls.moveIntoPlace(path_, destination)) return false;
        path_ = nullptr;
        return true;
    }

private:
    const char* path_;
};

// The digest of the bytes a copy writes, kept only when the manifest lists the file.
class CopyDigest {
public:
    explicit CopyDigest(const ListedDigest* listed)
        : listed_(listed), sha_(listed != nullptr ? os::fileCalls.beginDigest() : nullptr) {
        if (listed_ != nullptr && sha_ == nullptr) Fail();
    }
    ~CopyDigest() { Release(); }
    CopyDigest(const CopyDigest&) = delete;
    CopyDigest& operator=(const CopyDigest&) = delete;

    void Add(const char* bytes, std::size_t size) {
        if (sha_ == nullptr) return;
        actual_.size += size;
        if (!os::fileCalls.digest(sha_, bytes, size)) Fail();
    }
    // kTransferred when nothing is listed or the bytes were the listed file; else reported.
    TransferResult Verdict(const char* reported) {
        if (listed_ == nullptr) return kTransferred;
        os::Sha256* sha = sha_;
        sha_ = nullptr;
        if (!failed_ && !os::fileCalls.finishDigest(sha, actual_.sha256)) Fail();
        if (failed_) {
            errno = errno_;
            ReportError(reported);
            return kNotAsListed;
        }
        char why[256];
        if (MatchesListed(*listed_, actual_, why, sizeof why)) return kTransferred;
        ReportMessage(reported, why);
        return kNotAsListed;
    }

private:
    // Keeps the failure's errno; a digest that failed cannot say anything about the bytes.
    void Fail() {
        errno_ = errno;
        failed_ = true;
        Release();
    }
    void Release() {
        os::Sha256* sha = sha_;
        sha_ = nullptr;
        unsigned char unused[os::kSha256Size];
        if (sha != nullptr) os::fileCalls.finishDigest(sha, unused);
    }

    const ListedDigest* listed_;
    os::Sha256* sha_;
    bool failed_ = false;
    int errno_ = 0;
    os::FileDigest256 actual_;
};

// Reads source into scratch in 2048-byte chunks; the failure's result, reported, or kTransferred.
TransferResult CopyChunks(FILE* source, FILE* scratch, const char* sourcePath, CopyDigest* digest) {
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
        digest->Add(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace

TransferResult TransferFile(const char* destination, const char* scratchPath, FILE* source, const char* sourcePath,
                            const ListedDigest* listed) {
    OwnedStream staged(source);
    os::FailedPath failed = os::FailedPath::kScratch;
    FILE* opened = os::fileCalls.openReplacement(scratchPath, destination, source, &failed);
    if (opened == nullptr) {
        ReportError(RefusedPath(failed, errno, destination, scratchPath));
        return kNotReplaced;
    }
    ScratchFile scratch(scratchPath, opened);
    if (os::fileCalls.sameFile(scratch.get(), destination)) {
        // Moved onto itself it would stay the scratch file, and the next copy would remove it.
        ReportRefusal(sourcePath != nullptr ? sourcePath : destination, texts::kScratchNameReason);
        return kNotReplaced;
    }
    UseCopyBuffers(source, scratch.get());
    CopyDigest digest(listed);
    const TransferResult copied = CopyChunks(source, scratch.get(), sourcePath, &digest);
    if (copied != kTransferred) return copied;
    // A staged file that changed since the check never replaces the destination.
    const TransferResult verdict = digest.Verdict(sourcePath != nullptr ? sourcePath : destination);
    if (verdict != kTransferred) return verdict;
    staged.Close();
    // Buffered data that cannot be written shows up only here: still a failed write.
    if (!os::fileCalls.flushToDisk(scratch.get()) || !scratch.Close()) {
        ReportError(texts::kFatalWriteError);
        return kWriteFailed;
    }
    if (!scratch.Keep(destination)) {
        ReportError(destination);
        return kNotReplaced;
    }
    return kTransferred;
}
