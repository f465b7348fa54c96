// The OS layer both platforms share: the C runtime's streams and the table of file calls.
#include <cerrno>
#include <cstring>

#include "os/os.h"
#include "os/os_platform.h"

namespace os {

namespace {

FILE* OpenStaged(const char* path, bool* irregular) { return OpenRegularFile(path, "rb", irregular); }

long Read(FILE* stream, char* buffer, std::size_t size) {
    const std::size_t got = std::fread(buffer, 1, size, stream);
    return got == 0 && std::ferror(stream) ? -1 : static_cast<long>(got);
}

bool Write(FILE* stream, const char* buffer, std::size_t size) {
    return std::fwrite(buffer, 1, size, stream) == size;
}

bool Close(FILE* stream) { return std::fclose(stream) == 0; }

FILE* OpenReplacement(const char* scratchPath, const char* destination, FILE* source, FailedPath* failed) {
    const FileCalls& calls = fileCalls;
    *failed = FailedPath::kDestination;
    FileFacts existing;
    if (!calls.inspect(destination, &existing)) return nullptr;
    FileFacts wanted = existing;
    if (existing.exists) {
        if (existing.directory) {
            errno = kWindowsPaths ? EACCES : EISDIR;  // what opening it for writing says there
            return nullptr;
        }
        // Replacing by rename would bypass the file's own write protection.
        if (!calls.mayWrite(destination)) return nullptr;
    } else if (!calls.inspectSource(source, &wanted)) {
        return nullptr;
    }
    *failed = FailedPath::kScratch;
    // A leftover from a killed run (or anything else by that name) goes first,
    // so the file is always created fresh, never through a link, never another's.
    if (!calls.remove(scratchPath)) return nullptr;
    FILE* stream = calls.createExclusive(scratchPath, wanted);
    if (stream == nullptr) return nullptr;
    // The owner first: a change of owner clears the set-ID bits. Neither failure stops the copy.
    const bool ownerKept = existing.exists && calls.takeOwner(stream, existing);
    (void)calls.takeMode(stream, existing.exists ? ReplacementMode(existing.mode, ownerKept) : wanted.mode);
    return stream;
}

}  // namespace

FileCalls PlatformFileCalls() {
    FileCalls calls{};
    calls.openStaged = OpenStaged;
    calls.openReplacement = OpenReplacement;
    calls.inspect = platform::Inspect;
    calls.inspectSource = platform::InspectSource;
    calls.mayWrite = MayWriteFile;
    calls.createExclusive = platform::CreateExclusive;
    calls.takeOwner = platform::TakeOwner;
    calls.takeMode = platform::TakeMode;
    calls.sameFile = platform::SameFile;
    calls.read = Read;
    calls.write = Write;
    calls.flushToDisk = platform::FlushToDisk;
    calls.close = Close;
    calls.moveIntoPlace = platform::MoveIntoPlace;
    calls.flushDirectory = platform::FlushDirectory;
    calls.remove = platform::Remove;
    calls.beginDigest = BeginSha256;
    calls.digest = UpdateSha256;
    calls.finishDigest = FinishSha256;
    return calls;
}

FileCalls fileCalls = PlatformFileCalls();

bool GetWorkingDirectory(char* buffer, std::size_t size) {
    std::memset(buffer, 0, size);
    const std::string directory = WorkingDirectory();
    if (directory.empty() || directory.size() >= size) return false;
    std::memcpy(buffer, directory.data(), directory.size());
    return true;
}

// Neither look waits on a pipe or a device: only a regular file opens.
bool OpensForReading(const char* path) {
    bool irregular = false;
    FILE* file = OpenRegularFile(path, "rb", &irregular);
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

bool ReadWholeFile(const char* path, std::string* bytes) {
    bool irregular = false;
    FILE* file = OpenRegularFile(path, "rb", &irregular);
    if (file == nullptr) return false;
    bytes->clear();
    char block[16 * 1024];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) bytes->append(block, got);
    const bool read = std::ferror(file) == 0;
    std::fclose(file);
    return read;
}

bool DigestFile(const char* path, FileDigest256* digest, bool* irregular) {
    FILE* file = OpenRegularFile(path, "rb", irregular);
    if (file == nullptr) return false;
    Sha256* sha = BeginSha256();
    bool digested = sha != nullptr;
    digest->size = 0;
    char block[64 * 1024];
    std::size_t got;
    while (digested && (got = std::fread(block, 1, sizeof block, file)) > 0) {
        digest->size += got;
        digested = UpdateSha256(sha, block, got);
    }
    if (std::ferror(file) != 0) digested = false;  // errno tells the read's error
    const int saved = errno;
    // Finished even after a failure: that releases it.
    const bool finished = sha != nullptr && FinishSha256(sha, digest->sha256);
    std::fclose(file);
    if (!digested) errno = saved;
    return digested && finished;
}

bool WriteWholeFile(const char* path, const std::string& bytes) {
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const int saved = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written) errno = saved;
    return written && closed;
}

}  // namespace os
