// The operating-system layer on Windows: the Win32 calls relayhive was
// designed around, each with the arguments the program relies on.
#include <windows.h>
#include <tlhelp32.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/texts.h"
#include "os/os.h"
#include "os/os_platform.h"

static_assert(sizeof(PROCESSENTRY32) == 296, "narrow process record expected");
static_assert(sizeof(STARTUPINFOA) == 68, "32-bit start-up record expected");

namespace {

// A new console of its own, at normal priority.
constexpr DWORD kClientCreationFlags = CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS;
static_assert(kClientCreationFlags == 0x30, "the client's creation flags");

}  // namespace

namespace os {

const char* const kTextReadMode = "rt";
// The runtime's 4 KiB buffers: a larger write that only partly fits on a full
// disk comes back from the runtime without a usable error number.
const std::size_t kCopyStreamBufferSize = 0;

namespace {

// The C runtime's errno for a Win32 error, so reports read like the runtime's
// own: every Win32 failure of this layer is translated here.
int ErrnoFromWin32(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
        case ERROR_CURRENT_DIRECTORY:
        case ERROR_NETWORK_ACCESS_DENIED:
            return EACCES;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_PARAMETER:
            return EINVAL;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        default:
            return kUnknownError;  // reported as "Unknown error", never as some other failure
    }
}

}  // namespace

void AnsiLeadByteRanges(unsigned char* ranges, std::size_t size) {
    std::memset(ranges, 0, size);
    CPINFO info;
    if (!GetCPInfo(CP_ACP, &info)) return;
    // The last pair of the system's list stays zero: it ends the list.
    std::memcpy(ranges, info.LeadByte, std::min(size, sizeof info.LeadByte) & ~static_cast<std::size_t>(1));
}

FILE* OpenRegularFile(const char* path, const char* mode, bool* irregular) {
    *irregular = false;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        errno = EISDIR;  // the runtime would only say "Permission denied"
        return nullptr;
    }
    FILE* stream = std::fopen(path, mode);
    if (stream == nullptr) return nullptr;
    // A name can reach a device or a pipe: only a file on disk is read. A
    // kernel file of Wine's host (/proc) passes for an empty one, then reads
    // without end: an empty file must read as empty.
    const bool disk = GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)))) == FILE_TYPE_DISK;
    if (!disk || (_filelength(_fileno(stream)) == 0 && std::fgetc(stream) != EOF)) {
        std::fclose(stream);
        *irregular = true;
        return nullptr;
    }
    std::rewind(stream);
    return stream;
}

void Trace(const char* text) { OutputDebugStringA(text); }

void SleepMilliseconds(unsigned milliseconds) { Sleep(milliseconds); }

bool GetWorkingDirectory(char* buffer, std::size_t size) {
    std::memset(buffer, 0, size);
    const DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(size), buffer);
    if (length > 0 && length < size) return true;
    std::memset(buffer, 0, size);
    return false;
}

std::string WorkingDirectory() {
    const DWORD needed = GetCurrentDirectoryA(0, nullptr);
    if (needed == 0) return std::string();
    std::string directory(needed, '\0');
    const DWORD length = GetCurrentDirectoryA(needed, &directory[0]);
    if (length == 0 || length >= needed) return std::string();
    directory.resize(length);
    return directory;
}

void ChangeToOwnDirectory() { (void)_chdir(".\\"); }

bool ClaimSingleInstance(const char* name) {
    // The handle is never kept or closed: the mutex marks this process's life.
    CreateMutexA(nullptr, FALSE, name);
    return GetLastError() != ERROR_ALREADY_EXISTS;
}

const char* ErrorMessage(int errnum) { return std::strerror(errnum); }

// --- Processes ------------------------------------------------------------

// No hang-up or broken-pipe signals here: a closed console or pipe only fails the write.
void WritesToClosedPipesFail() {}

void OutliveClientSession() {}

struct ProcessSnapshot {
    HANDLE handle;
    PROCESSENTRY32 record;
};

ProcessSnapshot* OpenProcessSnapshot() {
    const HANDLE handle = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    auto* snapshot = new ProcessSnapshot;
    snapshot->handle = handle;
    return snapshot;
}

namespace {

void CopyEntry(const PROCESSENTRY32& record, ProcessEntry* entry) {
    entry->id = record.th32ProcessID;
    std::memset(entry->exeFile, 0, sizeof entry->exeFile);
    std::memset(entry->taskName, 0, sizeof entry->taskName);
    const std::size_t length = strnlen(record.szExeFile, sizeof record.szExeFile);
    std::memcpy(entry->exeFile, record.szExeFile, std::min(length, sizeof entry->exeFile - 1));
}

}  // namespace

bool FirstProcess(ProcessSnapshot* snapshot, ProcessEntry* entry) {
    snapshot->record.dwSize = sizeof snapshot->record;
    if (!Process32First(snapshot->handle, &snapshot->record)) return false;
    CopyEntry(snapshot->record, entry);
    return true;
}

bool NextProcess(ProcessSnapshot* snapshot, ProcessEntry* entry) {
    if (!Process32Next(snapshot->handle, &snapshot->record)) return false;
    CopyEntry(snapshot->record, entry);
    return true;
}

void CloseProcessSnapshot(ProcessSnapshot* snapshot) {
    CloseHandle(snapshot->handle);
    delete snapshot;
}

bool TerminateProcessAndWait(std::uint32_t id, unsigned waitMilliseconds) {
    const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
    if (process == nullptr) {
        errno = ErrnoFromWin32(GetLastError());
        return false;
    }
    const bool terminated = TerminateProcess(process, 0) != 0;
    if (terminated) {
        WaitForSingleObject(process, waitMilliseconds);
    } else {
        errno = ErrnoFromWin32(GetLastError());
    }
    CloseHandle(process);
    return terminated;
}

bool StartChildProcess(char* commandLine, ChildProcess* child, long* errorCode) {
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION info;
    std::memset(&info, 0, sizeof info);
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, kClientCreationFlags, nullptr, nullptr,
                        &startup, &info)) {
        *errorCode = static_cast<long>(GetLastError());
        return false;
    }
    CloseHandle(info.hThread);
    child->handle = reinterpret_cast<std::intptr_t>(info.hProcess);
    child->processId = info.dwProcessId;
    child->threadId = info.dwThreadId;
    return true;
}

WaitResult WaitForChildProcess(ChildProcess* child, long* exitCode) {
    const HANDLE process = reinterpret_cast<HANDLE>(child->handle);
    if (WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0) return WaitResult::kFailed;
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code)) return WaitResult::kExitCodeUnavailable;
    *exitCode = static_cast<long>(static_cast<int>(code));
    return WaitResult::kExited;
}

void ReleaseChildProcess(ChildProcess* child) {
    CloseHandle(reinterpret_cast<HANDLE>(child->handle));
    child->handle = 0;
}

void FormatExitCodeLine(char* buffer, long exitCode) {
    wsprintfA(buffer, texts::kTraceExitCodeFormat, static_cast<int>(exitCode));
}

// --- Replacing files --------------------------------------------------------

namespace {

// The attributes a replacement takes over from the file it replaces.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// The volume's own identity of an open file.
bool FileIdentity(HANDLE file, BY_HANDLE_FILE_INFORMATION* identity) {
    return GetFileInformationByHandle(file, identity) != 0;
}

}  // namespace

namespace platform {

bool Inspect(const char* path, FileFacts* facts) {
    *facts = FileFacts();
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;  // absent, or not to be looked at
    facts->exists = true;
    facts->directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts->keptAttributes = attributes & kKeptAttributes;
    return true;
}

// A new file's attributes are the system's own.
bool InspectSource(FILE*, FileFacts* facts) {
    facts->keptAttributes = 0;
    return true;
}

bool MayWrite(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) return true;
    errno = EACCES;  // what opening it for writing would have said
    return false;
}

FILE* CreateExclusive(const char* path, const FileFacts& like) {
    // Only if it does not exist, and shared with nobody while it is written.
    const HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    like.keptAttributes != 0 ? like.keptAttributes : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errno = ErrnoFromWin32(GetLastError());
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    FILE* stream = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
    if (stream == nullptr) {
        if (fd >= 0) {
            _close(fd);
        } else {
            CloseHandle(file);
        }
        DeleteFileA(path);
        errno = ENOMEM;  // the runtime ran out of stream or descriptor slots
    }
    return stream;
}

// Windows files have no owner or mode that a replacement takes over here.
bool TakeOwner(FILE*, const FileFacts&) { return true; }
bool TakeMode(FILE*, unsigned) { return true; }

bool SameFile(FILE* stream, const char* path) {
    BY_HANDLE_FILE_INFORMATION mine;
    BY_HANDLE_FILE_INFORMATION theirs;
    if (!FileIdentity(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mine)) return false;
    // No access asked for: sharing never refuses it, and the file is left alone.
    const HANDLE other = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                     nullptr);
    if (other == INVALID_HANDLE_VALUE) return false;
    const bool known = FileIdentity(other, &theirs);
    CloseHandle(other);
    return known && mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
           mine.nFileIndexHigh == theirs.nFileIndexHigh && mine.nFileIndexLow == theirs.nFileIndexLow;
}

bool FlushToDisk(FILE* stream) {
    if (std::fflush(stream) != 0) return false;
    const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (FlushFileBuffers(file)) return true;
    errno = ErrnoFromWin32(GetLastError());
    return false;
}

bool MoveIntoPlace(const char* scratchPath, const char* destination) {
    if (MoveFileExA(scratchPath, destination, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    errno = ErrnoFromWin32(GetLastError());
    return false;
}

// MOVEFILE_WRITE_THROUGH has already made each rename durable.
bool FlushDirectory(const char*) { return true; }

bool Remove(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        errno = EISDIR;  // the runtime would only say "Permission denied"
        return false;
    }
    if (DeleteFileA(path)) return true;
    // One that cannot go (another program holds it) stops the copy before anything is written.
    errno = ErrnoFromWin32(GetLastError());
    return false;
}

}  // namespace platform

}  // namespace os

// --- Inspecting an installation ---------------------------------------------

namespace os {

PathKind KindOfPath(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILENAME_EXCED_RANGE) return PathKind::kNameTooLong;
        return error == ERROR_ACCESS_DENIED ? PathKind::kDenied : PathKind::kMissing;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::kDirectory;
    return (attributes & FILE_ATTRIBUTE_DEVICE) != 0 ? PathKind::kOther : PathKind::kFile;
}

// A directory's read-only attribute does not stop files being made in it;
// access lists are left to the copy itself.
bool MayCreateIn(const char*) { return true; }

bool ListDirectory(const char* path, std::vector<DirectoryEntry>* entries) {
    const std::string pattern = std::string(path) + "\\*";
    WIN32_FIND_DATAA found;
    entries->clear();
    const HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        const std::string name(found.cFileName);
        if (name == "." || name == "..") continue;
        entries->push_back(DirectoryEntry{name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                          (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return true;
}

// Windows programs and the file system spell names alike here.
bool HostNameOfGbk(const std::string& name, std::string* host) {
    *host = name;
    return true;
}
bool GbkNameOfHost(const std::string& host, std::string* name) {
    *name = host;
    return true;
}

bool AbsolutePath(const char* path, std::string* absolute) {
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) return false;
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetFullPathNameA(path, static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
        if (length == 0) return false;
        if (length < buffer.size()) {
            absolute->assign(buffer.data(), length);
            return true;
        }
        buffer.resize(length + 1);
    }
}

bool CopyPermissions(const char*, const char*) { return true; }

bool MakeDirectory(const char* path) {
    if (CreateDirectoryA(path, nullptr)) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS && KindOfPath(path) == PathKind::kDirectory) return true;
    errno = ErrnoFromWin32(error);
    return false;
}

}  // namespace os
