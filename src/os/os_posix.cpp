// The operating-system layer on Linux: this program's own port of the
// Windows calls the rest of the code was designed around.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
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
#include <vector>

#include "os/os.h"

extern char** environ;

namespace os {

const bool kColonIsSpecial = false;
const bool kTrailingDotSpaceStripped = false;
const char* const kTextReadMode = "rb";  // no text mode here: bytes as they are
// Large buffers: few system calls per copy, where 4 KiB ones halve the speed.
const std::size_t kCopyStreamBufferSize = 128 * 1024;

bool IsPathSeparator(char c) { return c == '/'; }

bool IsReservedDeviceName(const char*, std::size_t) { return false; }

namespace {

// An abstract Unix socket address (leading zero byte, no file on disk).
socklen_t AbstractAddress(const char* name, sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    const std::size_t length = std::min(std::strlen(name), sizeof address->sun_path - 1);
    std::memcpy(address->sun_path + 1, name, length);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

std::string DirectoryOf(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) return ".";
    if (slash == path) return "/";
    return std::string(path, static_cast<std::size_t>(slash - path));
}

}  // namespace

void Trace(const char* text) {
    const int savedErrno = errno;
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0) {
        sockaddr_un address;
        const socklen_t length = AbstractAddress("relayhive.debug", &address);
        // Nobody listening, or a full queue: the trace is dropped, as a debug
        // string is with no debugger attached.
        (void)sendto(fd, text, std::strlen(text), MSG_DONTWAIT | MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&address), length);
        close(fd);
    }
    errno = savedErrno;
}

void SleepMilliseconds(unsigned milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

bool GetWorkingDirectory(char* buffer, std::size_t size) {
    std::memset(buffer, 0, size);
    if (getcwd(buffer, size) != nullptr) return true;
    std::memset(buffer, 0, size);
    return false;
}

std::string WorkingDirectory() {
    std::vector<char> buffer(kMaxPath);
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
        if (errno != ERANGE) return std::string();
        buffer.resize(buffer.size() * 2);
    }
}

void ChangeToOwnDirectory() { (void)chdir("./"); }

bool ClaimSingleInstance(const char* name) {
    // Held, never closed, until the process ends; close-on-exec keeps the
    // relaunched client from inheriting it.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;
    sockaddr_un address;
    const socklen_t length = AbstractAddress(name, &address);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) return true;
    const bool taken = (errno == EADDRINUSE);
    close(fd);
    return !taken;
}

std::string ErrorMessage(int errnum) {
    const char* text = std::strerror(errnum);
    // glibc appends the number to unknown errors; the report shows the bare text.
    if (std::strncmp(text, "Unknown error", 13) == 0) return "Unknown error";
    return text;
}

// --- Processes ------------------------------------------------------------

struct ProcessSnapshot {
    std::vector<std::uint32_t> ids;
    std::size_t next = 0;
};

ProcessSnapshot* OpenProcessSnapshot() {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return nullptr;
    auto* snapshot = new ProcessSnapshot;
    while (dirent* item = readdir(proc)) {
        char* end = nullptr;
        const unsigned long id = std::strtoul(item->d_name, &end, 10);
        if (end != item->d_name && *end == '\0' && id > 0) {
            snapshot->ids.push_back(static_cast<std::uint32_t>(id));
        }
    }
    closedir(proc);
    std::sort(snapshot->ids.begin(), snapshot->ids.end());
    return snapshot;
}

namespace {

// The task name: /proc/<id>/comm, the file name the process was started
// from, cut to 15 bytes. For a script it is the script's name, where exe
// names the interpreter.
bool ReadTaskName(std::uint32_t id, char* name, std::size_t size) {
    char commPath[64];
    std::snprintf(commPath, sizeof commPath, "/proc/%u/comm", static_cast<unsigned>(id));
    const int fd = open(commPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t got = read(fd, name, size - 1);
    close(fd);
    if (got <= 0) return false;
    std::size_t used = static_cast<std::size_t>(got);
    if (name[used - 1] == '\n') --used;
    name[used] = '\0';
    return true;
}

// The image name is the file name of /proc/<id>/exe: like Windows' szExeFile it
// names the executable file itself, in full, whatever the process calls
// itself. comm is only a 15-byte prefix that the process may rewrite, so it
// stands in for the image only when exe is closed to us (another user's
// process), where Windows, too, still lists the name; it is also kept as the
// task name, so a client that is a script is found by its own name.
bool ReadProcessNames(std::uint32_t id, ProcessEntry* entry) {
    std::memset(entry->taskName, 0, sizeof entry->taskName);
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%u/exe", static_cast<unsigned>(id));
    char target[kMaxPath];
    const ssize_t length = readlink(link, target, sizeof target - 1);
    if (length <= 0) {
        // Gone, or a kernel thread: nothing to find.
        if (errno == ENOENT) return false;
        return ReadTaskName(id, entry->exeFile, sizeof entry->exeFile);
    }
    target[length] = '\0';
    static const char kDeleted[] = " (deleted)";  // the image was replaced on disk
    const std::size_t deletedLength = sizeof kDeleted - 1;
    std::size_t used = static_cast<std::size_t>(length);
    if (used > deletedLength && std::strcmp(target + used - deletedLength, kDeleted) == 0) {
        target[used - deletedLength] = '\0';
    }
    const char* slash = std::strrchr(target, '/');
    std::snprintf(entry->exeFile, sizeof entry->exeFile, "%s", slash != nullptr ? slash + 1 : target);
    ReadTaskName(id, entry->taskName, sizeof entry->taskName);
    return true;
}

bool ReadNextProcess(ProcessSnapshot* snapshot, ProcessEntry* entry) {
    while (snapshot->next < snapshot->ids.size()) {
        const std::uint32_t id = snapshot->ids[snapshot->next++];
        if (ReadProcessNames(id, entry)) {
            entry->id = id;
            return true;
        }
    }
    return false;
}

bool HasEnded(pid_t id) {
    if (kill(id, 0) != 0) return errno == ESRCH;
    char statPath[64];
    std::snprintf(statPath, sizeof statPath, "/proc/%d/stat", static_cast<int>(id));
    std::FILE* stat = std::fopen(statPath, "re");
    if (stat == nullptr) return true;
    char line[512] = {0};
    const bool read = std::fgets(line, sizeof line, stat) != nullptr;
    std::fclose(stat);
    const char* close = read ? std::strrchr(line, ')') : nullptr;
    return close != nullptr && close[1] == ' ' && close[2] == 'Z';  // a zombie has ended
}

}  // namespace

bool FirstProcess(ProcessSnapshot* snapshot, ProcessEntry* entry) {
    snapshot->next = 0;
    return ReadNextProcess(snapshot, entry);
}

bool NextProcess(ProcessSnapshot* snapshot, ProcessEntry* entry) {
    return ReadNextProcess(snapshot, entry);
}

void CloseProcessSnapshot(ProcessSnapshot* snapshot) { delete snapshot; }

int TerminateProcessAndWait(std::uint32_t id, unsigned waitMilliseconds) {
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
        close(pidfd);
        return sent ? 1 : 0;
    }
    if (errno != ENOSYS) return 0;
#endif
    if (kill(pid, SIGKILL) != 0) return 0;
    for (unsigned waited = 0; waited < waitMilliseconds && !HasEnded(pid); waited += 10) {
        SleepMilliseconds(10);
    }
    return 1;
}

bool StartChildProcess(char* commandLine, ChildProcess* child, long* errorCode) {
    char* argv[] = {commandLine, nullptr};
    pid_t pid = 0;
    const int result = posix_spawn(&pid, commandLine, nullptr, nullptr, argv, environ);
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
    pid_t result;
    do {
        result = waitpid(static_cast<pid_t>(child->handle), &status, 0);
    } while (result < 0 && errno == EINTR);
    if (result < 0) return WaitResult::kFailed;
    if (WIFEXITED(status)) {
        *exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        *exitCode = 128 + WTERMSIG(status);
    } else {
        return WaitResult::kExitCodeUnavailable;
    }
    return WaitResult::kExited;
}

bool ChildProcessEnded(ChildProcess* child) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    if (waitid(P_PID, static_cast<id_t>(child->handle), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return errno == ECHILD;
    }
    return info.si_pid != 0;
}

void ReleaseChildProcess(ChildProcess* child) { child->handle = 0; }

void FormatExitCodeLine(char* buffer, long exitCode) {
    std::snprintf(buffer, 1024, "exit code:%d", static_cast<int>(exitCode));
}

// --- Replacing files --------------------------------------------------------

FILE* OpenReplacement(const char* replacementPath, const char* destination, FILE* source) {
    struct stat existing;
    mode_t mode;
    if (stat(destination, &existing) == 0) {
        if (S_ISDIR(existing.st_mode)) {
            errno = EISDIR;
            return nullptr;
        }
        // Replacing by rename would bypass the file's own write permission.
        if (faccessat(AT_FDCWD, destination, W_OK, AT_EACCESS) != 0) return nullptr;
        mode = existing.st_mode & 07777;
    } else {
        struct stat staged;
        if (fstat(fileno(source), &staged) != 0) return nullptr;
        const mode_t mask = umask(0);
        umask(mask);
        mode = staged.st_mode & 0777 & ~mask;
    }

    // A leftover from a killed run (or anything else by that name) goes first,
    // so the file is always created fresh and never through a link.
    if (unlink(replacementPath) != 0 && errno != ENOENT) return nullptr;
    const int fd =
        open(replacementPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    (void)fchmod(fd, mode);
    FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr) {
        const int savedErrno = errno;
        close(fd);
        unlink(replacementPath);
        errno = savedErrno;
    }
    return stream;
}

bool FlushToDisk(FILE* stream) {
    if (std::fflush(stream) != 0) return false;
    return fsync(fileno(stream)) == 0;
}

bool MoveIntoPlace(const char* replacementPath, const char* destination) {
    if (std::rename(replacementPath, destination) != 0) return false;
    // The rename itself becomes durable only once the directory is synced.
    const int directory = open(DirectoryOf(destination).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        (void)fsync(directory);
        close(directory);
    }
    return true;
}

void RemoveFile(const char* path) { (void)unlink(path); }

}  // namespace os
