// Everything relayhive asks of the platform: shared parts in os_common.cpp, the rest in
// os_win32.cpp and os_posix.cpp; no file outside src/os/ includes a platform header.
#ifndef RELAYHIVE_OS_OS_H
#define RELAYHIVE_OS_OS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace os {

// The one platform switch outside src/os/'s implementation files.
#if defined(_WIN32)
inline constexpr bool kWindowsPaths = true;   // drive letters, '\', MAX_PATH
inline constexpr std::size_t kMaxPath = 260;  // MAX_PATH, the terminating zero included
#else
inline constexpr bool kWindowsPaths = false;
inline constexpr std::size_t kMaxPath = 4096;  // PATH_MAX
#endif

// Stream buffer for copying files; 0 leaves the runtime's own buffering.
extern const std::size_t kCopyStreamBufferSize;
// Mode string for reading a text file: the C runtime's text mode where it has one.
extern const char* const kTextReadMode;

// The code page a program's ANSI file names are read in: the system's (GetACP); 65001 (UTF-8) on POSIX.
unsigned AnsiCodePage();
// Each of sequences decoded alone by the platform's converter for codePage: its one UTF-16 unit,
// 0xFFFE for a lone byte that opens a longer character, 0xFFFF for bytes that are no single
// character (or no bytes). False when the platform has no such code page.
bool DecodeEach(unsigned codePage, const std::vector<std::string>& sequences, std::vector<char16_t>* units);
// The upcase the system's file names are compared by (RtlUpcaseUnicodeChar); false where there is none.
bool SystemUpcase(char16_t unit, char16_t* upper);

// Opens path without blocking on it (a pipe with no writer, a device), keeping only a regular
// file. nullptr on failure: errno set (EISDIR for a directory), or *irregular for the rest.
FILE* OpenRegularFile(const char* path, const char* mode, bool* irregular);

// Sends one trace line to the debugger output channel, unchanged.
void Trace(const char* text);

void SleepMilliseconds(unsigned milliseconds);

// The current directory in buffer (zero-filled first); false, all zeros, when unknown or too long.
bool GetWorkingDirectory(char* buffer, std::size_t size);
// The whole current directory, however long; empty when not available.
std::string WorkingDirectory();
// Changes to "the current directory itself" as the platform spells it; result ignored.
void ChangeToOwnDirectory();

// Claims the single-instance marker: false only when another updater holds it. Windows: the
// named mutex name; POSIX: a lock on lockFile in the installation, which only writers of it may hold.
bool ClaimSingleInstance(const char* name, const char* lockFile);
// Lets go of the marker before the process ends (POSIX: the lock file is removed).
void ReleaseSingleInstance();

// The time now as "YYYY-MM-DD hh:mm:ss UTC" in buffer (at least 32 bytes).
void UtcTimeText(char* buffer, std::size_t size);

// True when another program holds path open so that it may be neither replaced nor read
// (Windows sharing; never on POSIX).
bool FileInUse(const char* path);

// --- The run's record ------------------------------------------------------
// One file written in place at fixed offsets, so that each update needs no new space.

// Opens path for writing without truncating it, created when missing, never through a link,
// never inherited by the client. -1 on failure.
std::intptr_t OpenRecordFile(const char* path);
// Writes size bytes at offset; false unless all were written.
bool WriteRecordAt(std::intptr_t record, std::uint64_t offset, const char* bytes, std::size_t size);
bool SetRecordLength(std::intptr_t record, std::uint64_t length);
// Pushes what was written so far to stable storage.
bool FlushRecordFile(std::intptr_t record);
void CloseRecordFile(std::intptr_t record);

// The system's standard message for an error number ("Unknown error" outside the table).
const char* ErrorMessage(int errnum);

// A write to a pipe whose reader has gone fails with an error instead of ending the process.
void WritesToClosedPipesFail();

// --- Processes ------------------------------------------------------------

// Lets the updater outlive the client's terminal and pipes: a hang-up no longer ends it, a
// write to a closed stream fails instead. Children started later get the defaults back.
void OutliveClientSession();

struct ProcessEntry {
    std::uint32_t id;
    char exeFile[kMaxPath];   // image file name, no directory
    char taskName[kMaxPath];  // the name it goes by if not its image's (a script's); or empty
};

struct ProcessSnapshot;
ProcessSnapshot* OpenProcessSnapshot();  // nullptr on failure
bool FirstProcess(ProcessSnapshot* snapshot, ProcessEntry* entry);
bool NextProcess(ProcessSnapshot* snapshot, ProcessEntry* entry);
void CloseProcessSnapshot(ProcessSnapshot* snapshot);

// Requests termination and waits up to waitMilliseconds for the end. True when it was
// requested; false, errno set, when the process could not be opened or terminated.
bool TerminateProcessAndWait(std::uint32_t id, unsigned waitMilliseconds);

struct ChildProcess {
    std::intptr_t handle;
    std::uint32_t processId;
    std::uint32_t threadId;
};

// Starts commandLine here with the inherited environment, in a console of its own where
// there are consoles. False with the platform's error code when it cannot be started.
bool StartChildProcess(char* commandLine, ChildProcess* child, long* errorCode);

enum class WaitResult { kFailed, kExited, kExitCodeUnavailable };
// Blocks until the child has ended; exitCode is valid for kExited.
WaitResult WaitForChildProcess(ChildProcess* child, long* exitCode);
void ReleaseChildProcess(ChildProcess* child);

// The child's exit-code line as the platform's own formatter writes it; buffer holds 1024 bytes.
void FormatExitCodeLine(char* buffer, long exitCode);

// --- Digests ----------------------------------------------------------------
// SHA-256 as the platform computes it: CryptoAPI on Windows, libcrypto on Linux.

inline constexpr std::size_t kSha256Size = 32;
struct Sha256;  // one digest in progress
// nullptr, errno set, when the platform cannot digest.
Sha256* BeginSha256();
// False, errno set, when the bytes could not be taken; sha is still to be finished.
bool UpdateSha256(Sha256* sha, const char* data, std::size_t size);
// The digest of every byte given, in digest (kSha256Size bytes); releases sha whatever happens.
bool FinishSha256(Sha256* sha, unsigned char* digest);

// A file's size and SHA-256.
struct FileDigest256 {
    std::uint64_t size = 0;
    unsigned char sha256[kSha256Size] = {};
};
// Reads the regular file at path in blocks, never whole. False on failure: errno set, or
// *irregular for a pipe, a device or a socket, which is never read.
bool DigestFile(const char* path, FileDigest256* digest, bool* irregular);

// --- Replacing files --------------------------------------------------------

// Which path a failed openReplacement could not use.
enum class FailedPath { kDestination, kScratch };

// What a file's entry says, as a replacement takes it over.
struct FileFacts {
    bool exists = false;
    bool directory = false;
    unsigned mode = 0;               // permission bits, set-ID bits included (POSIX)
    long owner = -1;                 // (POSIX)
    long group = -1;                 // (POSIX)
    unsigned keptAttributes = 0;     // hidden and system (Windows)
};

// The file calls every copy goes through, one table so that a test program can make any of
// them fail; the program itself never changes it. Every call but sameFile fails with errno set.
struct FileCalls {
    // Opens a staged file for binary reading, as OpenRegularFile does.
    FILE* (*openStaged)(const char* path, bool* irregular);
    // Opens scratchPath to replace destination, through the calls below: with an existing
    // destination's permissions (else the source's), owner and group as far as we may set them,
    // and hidden and system attributes (Windows). nullptr, errno and *failed on failure.
    FILE* (*openReplacement)(const char* scratchPath, const char* destination, FILE* source,
                             FailedPath* failed);
    // What path's entry says, links followed; a path that cannot be looked at counts as absent.
    bool (*inspect)(const char* path, FileFacts* facts);
    // The permission bits a new file made from the open source gets (POSIX: less the umask).
    bool (*inspectSource)(FILE* source, FileFacts* facts);
    // Fails when this process may not write the existing file at path.
    bool (*mayWrite)(const char* path);
    // Creates path for binary writing only if it does not exist, never through a link and
    // (Windows) shared with nobody; with like's permission bits less the umask, or attributes.
    FILE* (*createExclusive)(const char* path, const FileFacts& like);
    // Gives the file of stream like's owner and group; false when not both could be kept.
    bool (*takeOwner)(FILE* stream, const FileFacts& like);
    bool (*takeMode)(FILE* stream, unsigned mode);
    // True when path, links not followed, is the file stream writes (an 8.3 or case-blind name).
    bool (*sameFile)(FILE* stream, const char* path);
    // Bytes read; 0 at the end; -1 and errno on an error.
    long (*read)(FILE* stream, char* buffer, std::size_t size);
    // False unless all size bytes were taken.
    bool (*write)(FILE* stream, const char* buffer, std::size_t size);
    // Pushes everything written so far to stable storage.
    bool (*flushToDisk)(FILE* stream);
    // Releases the stream whatever happens; false when buffered data or the close failed.
    bool (*close)(FILE* stream);
    // Moves scratchPath over destination in one atomic step; on failure destination is unchanged.
    bool (*moveIntoPlace)(const char* scratchPath, const char* destination);
    // Makes the earlier renames into directory durable.
    bool (*flushDirectory)(const char* directory);
    // Removes path's file, links not followed: one gone is no failure, a directory is (EISDIR).
    bool (*remove)(const char* path);
    // The digest a copy keeps of the bytes it writes, as BeginSha256, UpdateSha256, FinishSha256.
    Sha256* (*beginDigest)();
    bool (*digest)(Sha256* sha, const char* data, std::size_t size);
    bool (*finishDigest)(Sha256* sha, unsigned char* digest);
};
// The calls in use; test programs replace entries and restore them with PlatformFileCalls().
extern FileCalls fileCalls;
FileCalls PlatformFileCalls();

// X(member, "name") for each entry of FileCalls, in order, by the fault table's names.
#define RELAYHIVE_FILE_CALLS(X)                                                                         \
    X(openStaged, "open-staged") X(openReplacement, "open-scratch") X(inspect, "inspect")             \
    X(inspectSource, "inspect-source") X(mayWrite, "may-write") X(createExclusive, "create")           \
    X(takeOwner, "take-owner") X(takeMode, "take-mode") X(sameFile, "same-file") X(read, "read")       \
    X(write, "write") X(flushToDisk, "flush") X(close, "close") X(moveIntoPlace, "move")               \
    X(flushDirectory, "flush-directory") X(remove, "remove") X(beginDigest, "digest-begin")         \
    X(digest, "digest") X(finishDigest, "digest-end")

// The permission bits a replacement takes over: all, but set-user-ID and set-group-ID only
// when it kept both the old owner and group, as cp and install do.
constexpr unsigned ReplacementMode(unsigned oldMode, bool ownerAndGroupKept) {
    return ownerAndGroupKept ? oldMode : oldMode & ~06000u;
}

// --- Inspecting an installation ---------------------------------------------
// What relayhive-check asks of the platform: look-ups only, nothing written.

// kOther: a pipe, a device or a socket. kNameTooLong: a component too long for the file
// system. kDenied: a directory on the way may not be searched.
enum class PathKind { kMissing, kFile, kDirectory, kOther, kNameTooLong, kDenied };
// What path names, links followed; kMissing also when it cannot be looked up otherwise.
PathKind KindOfPath(const char* path);
// Whether this process may write the existing file at path, as a copy asks before replacing it.
bool MayWriteFile(const char* path);
// Whether this process may create and remove files in directory.
bool MayCreateIn(const char* directory);
// True when path opens for binary reading (a regular file; never waited on); it is closed again at once.
bool OpensForReading(const char* path);
// The whole file in bytes, for small files only (a manifest). False when it cannot be opened or read.
bool ReadWholeFile(const char* path, std::string* bytes);

// --- Files in blocks ----------------------------------------------------------
// Files of any size are read, compared, copied and digested a block at a time,
// never held whole; sizes are 64-bit on every build.

inline constexpr std::size_t kBlockSize = 256 * 1024;

// A regular file open for reading, with its size when it was opened.
class InputFile {
public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();
    // As OpenRegularFile: false, errno set (EISDIR for a directory) or *irregular for a pipe,
    // a device or a socket, which is never waited on.
    bool Open(const char* path, bool* irregular);
    std::uint64_t size() const { return size_; }
    // Bytes read, up to size; 0 at the end; -1, errno set, on a failure.
    long Read(char* buffer, std::size_t size);

private:
#if defined(_WIN32)
    FILE* file_ = nullptr;
#else
    int fd_ = -1;
    std::uint64_t position_ = 0;
    bool ended_ = false;  // a read came back short at the size it was opened with: no read past the end
#endif
    std::uint64_t size_ = 0;
};

// Takes a file's bytes a block at a time, in order: a digest, say.
class BlockConsumer {
public:
    virtual void Take(const char* bytes, std::size_t size) = 0;

protected:
    ~BlockConsumer() = default;
};

// Feeds every byte of the regular file at path to consumer; *size: how many. False, errno set
// (EINVAL for a file that is no regular one), on a failure.
bool StreamFile(const char* path, BlockConsumer* consumer, std::uint64_t* size);

// Whether the regular files a and b hold the same bytes, read side by side up to the first
// difference. False, errno set, when either cannot be read.
bool CompareFiles(const char* a, const char* b, bool* same);

struct DirectoryEntry {
    std::string name;
    bool directory;  // links followed
    bool link;       // a symbolic link (a reparse point on Windows)
};
// Everything in a directory but "." and "..", in no particular order. False when it cannot be listed.
bool ListDirectory(const char* path, std::vector<DirectoryEntry>* entries);

// An existing path spelled as a working directory: links resolved (POSIX), full name (Windows).
bool AbsolutePath(const char* path, std::string* absolute);

// --- Writing a staged update --------------------------------------------------
// What relayhive-stage asks of the platform to write OUT/download/.

// Creates the directory path; an existing directory there is no failure. False, errno set, otherwise.
bool MakeDirectory(const char* path);
// Writes bytes as the whole of a new file at path and flushes it to disk. False, errno set, on failure.
bool WriteNewFile(const char* path, const std::string& bytes);
// Copies the regular file from to a new file at path a block at a time, with from's permission
// bits (POSIX), taking the size and SHA-256 of the bytes it writes; flushed to disk by
// FlushWrittenFiles, or here where that cannot. False, errno set, on failure; *readFailed
// when reading from failed.
bool CopyToNewFile(const char* from, const char* path, FileDigest256* copied, bool* readFailed);
// Makes every file written so far on directory's file system durable, with the names made
// there: one flush for thousands of files (POSIX), nothing where each copy flushed itself (Windows).
bool FlushWrittenFiles(const char* directory);

}  // namespace os

#endif
