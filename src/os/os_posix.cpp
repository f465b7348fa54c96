// The operating-system layer on Linux: our own port of the Windows calls the code was built on.
#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "common/texts.h"
#include "os/os.h"
#include "os/os_platform.h"

extern char** environ;

namespace os {

const char* const kTextReadMode = "rb";  // no text mode here: bytes as they are
// Large buffers: few system calls per copy, where 4 KiB ones halve the speed.
const std::size_t kCopyStreamBufferSize = 128 * 1024;

namespace {

// An abstract Unix socket address (leading zero byte, no file on disk).
socklen_t AbstractAddress(const char* name, sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    const std::size_t length = std::min(std::strlen(name), sizeof address->sun_path - 1);
    std::memcpy(address->sun_path + 1, name, length);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

// Moves a string the C library allocated into text; false for none.
bool Adopt(char* allocated, std::string* text) {
    if (allocated == nullptr) return false;
    *text = allocated;
    std::free(allocated);
    return true;
}

// Runs cleanUp without losing the errno of the failure that called for it.
template <typename CleanUp>
void KeepingErrno(CleanUp cleanUp) {
    const int savedErrno = errno;
    cleanUp();
    errno = savedErrno;
}

// A kernel file (/proc, /sys) passes for an empty regular file, then reads without end.
bool HoldsWhatItSays(int fd, const struct stat& status) {
    if (status.st_size != 0) return true;
    char byte;
    return pread(fd, &byte, 1, 0) == 0;
}

// What a client's terminal or pipes send when they go away.
const int kClientSessionSignals[] = {SIGHUP, SIGPIPE};

// The number a /proc directory entry names (a process or thread id); 0 for any other entry.
unsigned long EntryId(const dirent* item) {
    char* end = nullptr;
    const unsigned long id = std::strtoul(item->d_name, &end, 10);
    return end != item->d_name && *end == '\0' ? id : 0;
}

// Calls visit with /proc/<id>/task/<thread>/<leaf> for each thread of process id until it
// returns true; false when none did, or the threads cannot be listed.
template <typename Visit>
bool AnyThread(unsigned id, const char* leaf, Visit visit) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%u/task", id);
    DIR* tasks = opendir(path);
    if (tasks == nullptr) return false;
    bool found = false;
    while (dirent* item = found ? nullptr : readdir(tasks)) {
        const unsigned long task = EntryId(item);
        if (task == 0) continue;
        std::snprintf(path, sizeof path, "/proc/%u/task/%lu/%s", id, task, leaf);
        found = visit(path);
    }
    closedir(tasks);
    return found;
}

// The task name: /proc/<id>/comm, the file name the process was started from, cut to 15
// bytes; for a script the script's name, where exe names the interpreter.
bool ReadTaskName(std::uint32_t id, char* name, std::size_t size) {
    char commPath[64];
    std::snprintf(commPath, sizeof commPath, "/proc/%u/comm", static_cast<unsigned>(id));
    const int fd = open(commPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t got = read(fd, name, size - 1);
    close(fd);
    if (got <= 0) return false;
    name[got] = '\0';
    if (name[got - 1] == '\n') name[got - 1] = '\0';
    return true;
}

// The image name is exe's file name, like Windows' szExeFile the executable itself in full. comm,
// a 15-byte prefix the process may rewrite, stands in only when exe is closed to us (another
// user's process, which Windows lists too), and is the task name that finds a script client.
bool ReadProcessNames(std::uint32_t id, ProcessEntry* entry) {
    entry->id = id;
    std::memset(entry->taskName, 0, sizeof entry->taskName);
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%u/exe", static_cast<unsigned>(id));
    char target[kMaxPath];
    ssize_t length = readlink(link, target, sizeof target - 1);
    int failure = length > 0 ? 0 : errno;
    if (failure == ENOENT) {
        // The main thread has ended while others run on: any of theirs names the same image.
        AnyThread(id, "exe", [&](const char* threadLink) {
            length = readlink(threadLink, target, sizeof target - 1);
            if (length <= 0 && errno != ENOENT) failure = errno;
            return length > 0;
        });
    }
    if (length <= 0) {
        // No thread has one: gone, or a kernel thread; nothing to find.
        if (failure == ENOENT) return false;
        return ReadTaskName(id, entry->exeFile, sizeof entry->exeFile);
    }
    target[length] = '\0';
    static const char kDeleted[] = " (deleted)";  // the image was replaced on disk
    const ssize_t kept = length - static_cast<ssize_t>(sizeof kDeleted - 1);
    if (kept > 0 && std::strcmp(target + kept, kDeleted) == 0) target[kept] = '\0';
    const char* slash = std::strrchr(target, '/');
    std::snprintf(entry->exeFile, sizeof entry->exeFile, "%s", slash != nullptr ? slash + 1 : target);
    ReadTaskName(id, entry->taskName, sizeof entry->taskName);
    return true;
}

// True when the thread runs on: neither a zombie nor gone.
bool ThreadRuns(const char* statPath) {
    std::FILE* stat = std::fopen(statPath, "re");
    if (stat == nullptr) return false;
    char line[512] = {0};
    const bool read = std::fgets(line, sizeof line, stat) != nullptr;
    std::fclose(stat);
    const char* close = read ? std::strrchr(line, ')') : nullptr;
    return close == nullptr || close[1] != ' ' || close[2] != 'Z';
}

// Ended once every thread has: a zombie main thread alone is not the end while others run on.
bool HasEnded(pid_t id) {
    if (kill(id, 0) != 0) return errno == ESRCH;
    return !AnyThread(static_cast<unsigned>(id), "stat", ThreadRuns);
}

// The UTF-16 unit of one sequence in an open conversion, or kNoUnit / kOpensPair.
char16_t DecodedUnit(iconv_t conversion, const std::string& sequence) {
    constexpr char16_t kNoUnit = 0xFFFF;
    constexpr char16_t kOpensPair = 0xFFFE;
    if (sequence.empty()) return kNoUnit;
    iconv(conversion, nullptr, nullptr, nullptr, nullptr);  // a fresh state for each sequence
    std::string in = sequence;
    unsigned char out[8];
    char* inAt = &in[0];
    std::size_t inLeft = in.size();
    char* outAt = reinterpret_cast<char*>(out);
    std::size_t outLeft = sizeof out;
    if (iconv(conversion, &inAt, &inLeft, &outAt, &outLeft) == static_cast<std::size_t>(-1)) {
        return errno == EINVAL && sequence.size() == 1 ? kOpensPair : kNoUnit;
    }
    // A code page that composes (1258) hands over its last character only when flushed.
    if (iconv(conversion, nullptr, nullptr, &outAt, &outLeft) == static_cast<std::size_t>(-1)) return kNoUnit;
    if (sizeof out - outLeft != 2) return kNoUnit;
    return static_cast<char16_t>(out[0] | (out[1] << 8));
}

}  // namespace

unsigned AnsiCodePage() { return 65001; }

bool SystemUpcase(char16_t, char16_t*) { return false; }

bool DecodeEach(unsigned codePage, const std::vector<std::string>& sequences, std::vector<char16_t>* units) {
    const std::string name = "CP" + std::to_string(codePage);
    const iconv_t conversion = iconv_open("UTF-16LE", name.c_str());
    if (conversion == reinterpret_cast<iconv_t>(-1)) return false;
    // The C library's CP936 leaves out the user-defined areas that Windows reads as private-use
    // characters; its GB18030 has them, at the same code points.
    const iconv_t userDefined = codePage == 936 ? iconv_open("UTF-16LE", "GB18030") : reinterpret_cast<iconv_t>(-1);
    units->clear();
    for (const std::string& sequence : sequences) {
        char16_t unit = DecodedUnit(conversion, sequence);
        if (unit == 0xFFFF && sequence.size() == 2 && userDefined != reinterpret_cast<iconv_t>(-1)) {
            unit = DecodedUnit(userDefined, sequence);
        }
        units->push_back(unit);
    }
    if (userDefined != reinterpret_cast<iconv_t>(-1)) iconv_close(userDefined);
    iconv_close(conversion);
    return true;
}

namespace {

// OpenRegularFile's descriptor, with what fstat found of it; -1 on failure.
int OpenRegularDescriptor(const char* path, bool* irregular, struct stat* status) {
    *irregular = false;
    // Looked at first: a socket does not open at all, a pipe or a device may wait for ever.
    if (stat(path, status) != 0) return -1;
    if (S_ISDIR(status->st_mode)) {
        errno = EISDIR;
        return -1;
    }
    if (!S_ISREG(status->st_mode)) {
        *irregular = true;
        return -1;
    }
    // Without blocking still, and looked at again: the name may have changed in between.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    const bool examined = fstat(fd, status) == 0;
    if (!examined || !S_ISREG(status->st_mode) || !HoldsWhatItSays(fd, *status)) {
        KeepingErrno([fd] { close(fd); });
        *irregular = examined;
        return -1;
    }
    // Left non-blocking: a regular file ignores it, a kernel file that would wait fails the read.
    return fd;
}

}  // namespace

FILE* OpenRegularFile(const char* path, const char* mode, bool* irregular) {
    struct stat status;
    const int fd = OpenRegularDescriptor(path, irregular, &status);
    if (fd < 0) return nullptr;
    FILE* stream = fdopen(fd, mode);
    if (stream == nullptr) KeepingErrno([fd] { close(fd); });
    return stream;
}

// Straight on the descriptor: a stream would look at the file again and ask once more for its end.
InputFile::~InputFile() {
    if (fd_ >= 0) close(fd_);
}

bool InputFile::Open(const char* path, bool* irregular) {
    struct stat status;
    fd_ = OpenRegularDescriptor(path, irregular, &status);
    size_ = fd_ < 0 ? 0 : static_cast<std::uint64_t>(status.st_size);
    return fd_ >= 0;
}

long InputFile::Read(char* buffer, std::size_t size) {
    std::size_t got = 0;
    while (got < size && !ended_) {
        const ssize_t n = read(fd_, buffer + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return got > 0 ? static_cast<long>(got) : -1;  // the failure shows at the next read
        position_ += static_cast<std::uint64_t>(n);
        // A regular file reads short only at its end.
        ended_ = n == 0 || (position_ >= size_ && static_cast<std::size_t>(n) < size - got);
        got += static_cast<std::size_t>(n);
    }
    return static_cast<long>(got);
}

void Trace(const char* text) {
    KeepingErrno([text] {
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return;
        sockaddr_un address;
        const socklen_t length = AbstractAddress(texts::kTraceSocketName, &address);
        // Nobody listening, or a full queue: dropped, as a debug string is with no debugger.
        (void)sendto(fd, text, std::strlen(text), MSG_DONTWAIT | MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&address), length);
        close(fd);
    });
}

void SleepMilliseconds(unsigned milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

std::string WorkingDirectory() {
    std::string directory;
    Adopt(getcwd(nullptr, 0), &directory);  // allocated as long as it needs
    return directory;
}

void ChangeToOwnDirectory() { (void)chdir("./"); }

namespace {

// The lock file this process holds, open until the run ends.
int heldLock = -1;
const char* heldLockPath = nullptr;

// Locks lockFile: 1 held, 0 taken by another updater, -1 to be tried again (the file was
// replaced between the open and the lock), 2 no lock to be had here (the run goes on).
int LockOnce(const char* lockFile) {
    // Mode 0600 and never a link: only those who may write the installation can hold it.
    const int fd = open(lockFile, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat named;
    if (fd < 0) {
        // One this user may not open is another writer's; with none, this user can write nothing here.
        return lstat(lockFile, &named) == 0 ? 0 : 2;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool taken = errno == EWOULDBLOCK;
        close(fd);
        return taken ? 0 : 2;
    }
    // The holder before us removes the file as it ends: a lock on a removed file guards nothing.
    struct stat locked;
    if (fstat(fd, &locked) != 0 || stat(lockFile, &named) != 0 || locked.st_ino != named.st_ino ||
        locked.st_dev != named.st_dev) {
        close(fd);
        return -1;
    }
    heldLock = fd;
    heldLockPath = lockFile;
    return 1;
}

}  // namespace

bool ClaimSingleInstance(const char*, const char* lockFile) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int locked = LockOnce(lockFile);
        if (locked >= 0) return locked != 0;
    }
    return false;
}

void ReleaseSingleInstance() {
    if (heldLock < 0) return;
    // Removed while still held, so no later updater can lock the old file after we let go.
    (void)unlink(heldLockPath);
    close(heldLock);
    heldLock = -1;
}

void UtcTimeText(char* buffer, std::size_t size) {
    const time_t now = time(nullptr);
    struct tm parts;
    if (gmtime_r(&now, &parts) == nullptr || strftime(buffer, size, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0) {
        std::snprintf(buffer, size, "unknown");
    }
}

bool FileInUse(const char*) { return false; }

std::intptr_t OpenRecordFile(const char* path) {
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = open(path, flags, 0644);
    struct stat status;
    // Written in place, a record must be our own file: never another name's (a hard link) or a pipe.
    if (fd >= 0 && (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1)) {
        close(fd);
        fd = -1;
        errno = EACCES;
    }
    // Another user's record of an earlier run, a link or a pipe in its place: it goes, and is made anew.
    const bool replaceable = errno == EACCES || errno == ELOOP || errno == ENXIO;
    if (fd < 0 && replaceable && unlink(path) == 0) fd = open(path, flags | O_EXCL, 0644);
    return fd;
}

bool WriteRecordAt(std::intptr_t record, std::uint64_t offset, const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t wrote = pwrite(static_cast<int>(record), bytes, size, static_cast<off_t>(offset));
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        bytes += wrote;
        size -= static_cast<std::size_t>(wrote);
        offset += static_cast<std::uint64_t>(wrote);
    }
    return true;
}

bool SetRecordLength(std::intptr_t record, std::uint64_t length) {
    return ftruncate(static_cast<int>(record), static_cast<off_t>(length)) == 0;
}

bool FlushRecordFile(std::intptr_t record) { return fdatasync(static_cast<int>(record)) == 0; }

void CloseRecordFile(std::intptr_t record) { close(static_cast<int>(record)); }

const char* ErrorMessage(int errnum) {
    const char* text = std::strerror(errnum);
    // glibc appends the number to unknown errors; the report shows the bare text.
    return std::strncmp(text, "Unknown error", 13) == 0 ? "Unknown error" : text;
}

// --- Digests ----------------------------------------------------------------

struct Sha256 {
    EVP_MD_CTX* context;
};

Sha256* BeginSha256() {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context);
        errno = ENOMEM;  // libcrypto fails here only for want of memory
        return nullptr;
    }
    Sha256* sha = new (std::nothrow) Sha256{context};
    if (sha == nullptr) {
        EVP_MD_CTX_free(context);
        errno = ENOMEM;
    }
    return sha;
}

bool UpdateSha256(Sha256* sha, const char* data, std::size_t size) {
    if (EVP_DigestUpdate(sha->context, data, size) == 1) return true;
    errno = EINVAL;
    return false;
}

bool FinishSha256(Sha256* sha, unsigned char* digest) {
    if (sha == nullptr) return false;
    unsigned int length = 0;
    const bool finished = EVP_DigestFinal_ex(sha->context, digest, &length) == 1 && length == kSha256Size;
    EVP_MD_CTX_free(sha->context);
    delete sha;
    if (!finished) errno = EINVAL;
    return finished;
}

// --- Processes ------------------------------------------------------------

void WritesToClosedPipesFail() { (void)signal(SIGPIPE, SIG_IGN); }

void OutliveClientSession() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (const int signal : kClientSessionSignals) (void)sigaction(signal, &ignore, nullptr);
}

struct ProcessSnapshot {
    std::vector<std::uint32_t> ids;
    std::size_t next = 0;
};

ProcessSnapshot* OpenProcessSnapshot() {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return nullptr;
    auto* snapshot = new ProcessSnapshot;
    while (dirent* item = readdir(proc)) {
        const unsigned long id = EntryId(item);
        if (id > 0) snapshot->ids.push_back(static_cast<std::uint32_t>(id));
    }
    closedir(proc);
    std::sort(snapshot->ids.begin(), snapshot->ids.end());
    return snapshot;
}

bool FirstProcess(ProcessSnapshot* snapshot, ProcessEntry* entry) {
    snapshot->next = 0;
    return NextProcess(snapshot, entry);
}

bool NextProcess(ProcessSnapshot* snapshot, ProcessEntry* entry) {
    while (snapshot->next < snapshot->ids.size()) {
        if (ReadProcessNames(snapshot->ids[snapshot->next++], entry)) return true;
    }
    return false;
}

void CloseProcessSnapshot(ProcessSnapshot* snapshot) { delete snapshot; }

bool TerminateProcessAndWait(std::uint32_t id, unsigned waitMilliseconds) {
    const pid_t pid = static_cast<pid_t>(id);
#if defined(SYS_pidfd_open) && defined(SYS_pidfd_send_signal)
    // A pidfd names this very process, so a recycled id can never be hit.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        const bool sent = syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) == 0;
        if (sent) {
            pollfd ended{pidfd, POLLIN, 0};
            while (poll(&ended, 1, static_cast<int>(waitMilliseconds)) < 0 && errno == EINTR) {
            }
        }
        KeepingErrno([pidfd] { close(pidfd); });
        return sent;
    }
    if (errno != ENOSYS) return false;
#endif
    if (kill(pid, SIGKILL) != 0) return false;
    for (unsigned waited = 0; waited < waitMilliseconds && !HasEnded(pid); waited += 10) {
        SleepMilliseconds(10);
    }
    return true;
}

bool StartChildProcess(char* commandLine, ChildProcess* child, long* errorCode) {
    char* argv[] = {commandLine, nullptr};
    pid_t pid = 0;
    // The client starts with the signal handling a client expects, whatever we ignore.
    posix_spawnattr_t attributes;
    int result = posix_spawnattr_init(&attributes);
    if (result == 0) {
        sigset_t defaults;
        sigemptyset(&defaults);
        for (const int signal : kClientSessionSignals) sigaddset(&defaults, signal);
        result = posix_spawnattr_setsigdefault(&attributes, &defaults);
        if (result == 0) result = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
        if (result == 0) result = posix_spawn(&pid, commandLine, nullptr, &attributes, argv, environ);
        posix_spawnattr_destroy(&attributes);
    }
    if (result != 0) {
        *errorCode = result;
        return false;
    }
    child->handle = pid;
    child->processId = static_cast<std::uint32_t>(pid);
    child->threadId = static_cast<std::uint32_t>(pid);  // the main thread's id is the process id
    return true;
}

WaitResult WaitForChildProcess(ChildProcess* child, long* exitCode) {
    int status = 0;
    while (waitpid(static_cast<pid_t>(child->handle), &status, 0) < 0) {
        if (errno != EINTR) return WaitResult::kFailed;
    }
    if (!WIFEXITED(status) && !WIFSIGNALED(status)) return WaitResult::kExitCodeUnavailable;
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return WaitResult::kExited;
}

void ReleaseChildProcess(ChildProcess* child) { child->handle = 0; }

void FormatExitCodeLine(char* buffer, long exitCode) {
    std::snprintf(buffer, 1024, texts::kTraceExitCodeFormat, static_cast<int>(exitCode));
}

// --- Replacing files --------------------------------------------------------

namespace platform {

// A path that cannot be looked at counts as absent: creating the scratch file beside it then says why.
bool Inspect(const char* path, FileFacts* facts) {
    *facts = FileFacts();
    struct stat status;
    if (stat(path, &status) != 0) return true;
    facts->exists = true;
    facts->directory = S_ISDIR(status.st_mode);
    facts->mode = status.st_mode & 07777;
    facts->owner = static_cast<long>(status.st_uid);
    facts->group = static_cast<long>(status.st_gid);
    return true;
}

bool InspectSource(FILE* source, FileFacts* facts) {
    struct stat staged;
    if (fstat(fileno(source), &staged) != 0) return false;
    const mode_t mask = umask(0);
    umask(mask);
    facts->mode = staged.st_mode & 0777 & ~mask;
    return true;
}

// Made with its permissions less umask and set-ID bits: should takeMode fail, it stays executable.
FILE* CreateExclusive(const char* path, const FileFacts& like) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(like.mode & 0777));
    if (fd < 0) return nullptr;
    FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr) {
        KeepingErrno([fd, path] {
            close(fd);
            unlink(path);
        });
    }
    return stream;
}

// As far as we may set them (without CAP_FSETID the first write drops set-ID bits anyway).
bool TakeOwner(FILE* stream, const FileFacts& like) {
    const int fd = fileno(stream);
    const gid_t group = static_cast<gid_t>(like.group);
    if (fchown(fd, static_cast<uid_t>(like.owner), group) == 0) return true;
    KeepingErrno([fd, group] { (void)fchown(fd, static_cast<uid_t>(-1), group); });
    return false;
}

bool TakeMode(FILE* stream, unsigned mode) { return fchmod(fileno(stream), static_cast<mode_t>(mode)) == 0; }

bool FlushToDisk(FILE* stream) { return std::fflush(stream) == 0 && fsync(fileno(stream)) == 0; }

// The rename is atomic as it stands; its durability is flushDirectory's job.
bool MoveIntoPlace(const char* scratchPath, const char* destination) {
    return std::rename(scratchPath, destination) == 0;
}

bool FlushDirectory(const char* directory) {
    const int fd = open(*directory != '\0' ? directory : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    KeepingErrno([fd] { close(fd); });
    return synced;
}

bool Remove(const char* path) { return unlink(path) == 0 || errno == ENOENT; }

// syncfs makes a whole tree of copies durable at once, where a flush of each would wait for each.
const bool kFlushEachCopy = false;

void StartWriteBack(FILE* stream) {
    if (std::fflush(stream) == 0) (void)sync_file_range(fileno(stream), 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool SizeOf(FILE* stream, std::uint64_t* size) {
    struct stat status;
    if (fstat(fileno(stream), &status) != 0) return false;
    *size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

bool SameFile(FILE* stream, const char* path) {
    struct stat mine;
    struct stat theirs;
    return fstat(fileno(stream), &mine) == 0 && lstat(path, &theirs) == 0 && mine.st_dev == theirs.st_dev &&
           mine.st_ino == theirs.st_ino;
}

}  // namespace platform

// --- Inspecting an installation ---------------------------------------------

PathKind KindOfPath(const char* path) {
    struct stat status;
    if (stat(path, &status) != 0) {
        if (errno == ENAMETOOLONG) return PathKind::kNameTooLong;
        return errno == EACCES ? PathKind::kDenied : PathKind::kMissing;
    }
    if (S_ISREG(status.st_mode)) return PathKind::kFile;
    return S_ISDIR(status.st_mode) ? PathKind::kDirectory : PathKind::kOther;
}

bool MayWriteFile(const char* path) { return faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0; }

bool MayCreateIn(const char* directory) { return faccessat(AT_FDCWD, directory, W_OK | X_OK, AT_EACCESS) == 0; }

bool ListDirectory(const char* path, std::vector<DirectoryEntry>* entries) {
    DIR* directory = opendir(path);
    if (directory == nullptr) return false;
    entries->clear();
    while (const struct dirent* entry = readdir(directory)) {
        const std::string name(entry->d_name);
        if (name == "." || name == "..") continue;
        // The entry's type, where the file system gives it, spares looking at each file.
        if (entry->d_type == DT_REG || entry->d_type == DT_DIR) {
            entries->push_back(DirectoryEntry{name, entry->d_type == DT_DIR, false});
            continue;
        }
        const std::string full = std::string(path) + "/" + name;
        struct stat own;
        const bool link = lstat(full.c_str(), &own) == 0 && S_ISLNK(own.st_mode);
        entries->push_back(DirectoryEntry{name, KindOfPath(full.c_str()) == PathKind::kDirectory, link});
    }
    closedir(directory);
    return true;
}


bool AbsolutePath(const char* path, std::string* absolute) {
    return Adopt(realpath(path, nullptr), absolute);
}

bool FlushWrittenFiles(const char* directory) {
    const int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = syncfs(fd) == 0;
    KeepingErrno([fd] { close(fd); });
    return synced;
}

bool MakeDirectory(const char* path) {
    if (mkdir(path, 0777) == 0) return true;
    const int saved = errno;
    if (saved == EEXIST && KindOfPath(path) == PathKind::kDirectory) return true;
    errno = saved;
    return false;
}

}  // namespace os
