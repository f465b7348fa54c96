// The OS layer both platforms share: the C runtime's streams and the table of file calls.
#include <cerrno>
#include <cstring>
#include <memory>

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

// False, with errno EINVAL for a file that is no regular one (a pipe, a device).
bool Irregular(bool irregular) {
    if (irregular) errno = EINVAL;
    return false;
}

// How much of a copy is written before the disk is asked to take it: a multiple of kBlockSize.
constexpr std::uint64_t kWriteBackBytes = 32 * kBlockSize;

// A block for a file's bytes, left unfilled: zeroing 256 KiB for each small file costs more than reading it.
std::unique_ptr<char[]> Block(std::size_t size) { return std::unique_ptr<char[]>(new char[size]); }

// Closes file; false, with the first failure's errno, unless done and the close succeeded.
bool Closed(FILE* file, bool done) {
    const int saved = errno;
    const bool closed = fileCalls.close(file);
    if (!done) errno = saved;
    return done && closed;
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
    InputFile file;
    if (!file.Open(path, irregular)) return false;
    Sha256* sha = BeginSha256();
    bool digested = sha != nullptr;
    digest->size = 0;
    char block[64 * 1024];
    long got = 0;
    while (digested && (got = file.Read(block, sizeof block)) > 0) {
        digest->size += static_cast<std::uint64_t>(got);
        digested = UpdateSha256(sha, block, static_cast<std::size_t>(got));
    }
    if (got < 0) digested = false;  // errno tells the read's error
    const int saved = errno;
    // Finished even after a failure: that releases it.
    const bool finished = sha != nullptr && FinishSha256(sha, digest->sha256);
    if (!digested) errno = saved;
    return digested && finished;
}

bool StreamFile(const char* path, BlockConsumer* consumer, std::uint64_t* size) {
    InputFile file;
    bool irregular = false;
    *size = 0;
    if (!file.Open(path, &irregular)) return Irregular(irregular);
    const std::unique_ptr<char[]> block = Block(kBlockSize);
    long got;
    while ((got = file.Read(block.get(), kBlockSize)) > 0) {
        consumer->Take(block.get(), static_cast<std::size_t>(got));
        *size += static_cast<std::uint64_t>(got);
    }
    return got == 0;
}

bool CompareFiles(const char* a, const char* b, bool* same) {
    InputFile first;
    InputFile second;
    bool irregular = false;
    *same = false;
    if (!first.Open(a, &irregular) || !second.Open(b, &irregular)) return Irregular(irregular);
    if (first.size() != second.size()) return true;
    const std::unique_ptr<char[]> blocks = Block(2 * kBlockSize);
    char* const other = blocks.get() + kBlockSize;
    for (;;) {
        const long got = first.Read(blocks.get(), kBlockSize);
        const long also = got < 0 ? -1 : second.Read(other, kBlockSize);
        if (got < 0 || also < 0) return false;
        // Sizes were equal when opened: blocks of unequal length mean one changed meanwhile.
        if (got != also || std::memcmp(blocks.get(), other, static_cast<std::size_t>(got)) != 0) return true;
        if (got == 0) break;
    }
    *same = true;
    return true;
}

bool WriteNewFile(const char* path, const std::string& bytes) {
    FileFacts like;
    like.mode = 0666;
    FILE* file = fileCalls.createExclusive(path, like);
    if (file == nullptr) return false;
    const bool written = fileCalls.write(file, bytes.data(), bytes.size()) && fileCalls.flushToDisk(file);
    return Closed(file, written);
}

bool CopyToNewFile(const char* from, const char* path, FileDigest256* copied, bool* readFailed) {
    InputFile source;
    bool irregular = false;
    copied->size = 0;
    *readFailed = true;
    if (!source.Open(from, &irregular)) return Irregular(irregular);
    FileFacts like;
    if (!platform::Inspect(from, &like)) return false;
    like.mode &= 0777;  // the permission bits, no set-ID
    like.keptAttributes = 0;
    *readFailed = false;
    Sha256* sha = BeginSha256();
    if (sha == nullptr) return false;
    FILE* file = fileCalls.createExclusive(path, like);
    bool done = file != nullptr && fileCalls.takeMode(file, like.mode);
    const std::unique_ptr<char[]> block = Block(kBlockSize);
    while (done) {
        const long got = source.Read(block.get(), kBlockSize);
        *readFailed = got < 0;
        if (got <= 0) {
            done = got == 0;
            break;
        }
        done = fileCalls.write(file, block.get(), static_cast<std::size_t>(got)) &&
               UpdateSha256(sha, block.get(), static_cast<std::size_t>(got));
        copied->size += static_cast<std::uint64_t>(got);
        // The disk writes while the rest is read and digested, not all at the final flush.
        if (done && copied->size % kWriteBackBytes == 0) platform::StartWriteBack(file);
    }
    const int saved = errno;
    // Finished even after a failure: that releases it.
    const bool finished = FinishSha256(sha, copied->sha256);
    if (!done) errno = saved;
    done = done && finished;
    if (file == nullptr) return false;
    return Closed(file, done && (!platform::kFlushEachCopy || fileCalls.flushToDisk(file)));
}

}  // namespace os
