// The operating-system layer on Windows: the Win32 calls relayhive was
// designed around, made with exactly the arguments the design gives.
#include <windows.h>
#include <tlhelp32.h>
#include <direct.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "os/os.h"

static_assert(sizeof(PROCESSENTRY32) == 296, "narrow process record expected");
static_assert(sizeof(STARTUPINFOA) == 68, "32-bit start-up record expected");

namespace os {

const bool kColonIsSpecial = true;
const bool kTrailingDotSpaceStripped = true;
const char* const kTextReadMode = "rt";
// The runtime's 4 KiB buffers: a larger write that only partly fits on a full
// disk comes back from the runtime without a usable error number.
const std::size_t kCopyStreamBufferSize = 0;

bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

bool IsReservedDeviceName(const char* component, std::size_t length) {
    // The device name counts with any extension and trailing blanks: "nul.txt", "CON ".
    std::size_t base = 0;
    while (base < length && component[base] != '.') ++base;
    while (base > 0 && component[base - 1] == ' ') --base;
    char upper[8] = {0};
    if (base == 0 || base >= sizeof upper) return false;
    for (std::size_t i = 0; i < base; ++i) {
        char c = component[i];
        upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 0x20) : c;
    }
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : kDevices) {
        if (std::strcmp(upper, device) == 0) return true;
    }
    if (base == 4 && (std::strncmp(upper, "COM", 3) == 0 || std::strncmp(upper, "LPT", 3) == 0)) {
        return upper[3] >= '0' && upper[3] <= '9';
    }
    return false;
}

namespace {

// The C runtime's errno for a Win32 error, so reports read like the runtime's own.
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
            return EIO;
    }
}

}  // namespace

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

std::string ErrorMessage(int errnum) { return std::strerror(errnum); }

// --- Processes ------------------------------------------------------------

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
    snapshot->record.dwSize = 296;
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

int TerminateProcessAndWait(std::uint32_t id, unsigned waitMilliseconds) {
    const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
    if (process == nullptr) return 0;
    const BOOL terminated = TerminateProcess(process, 0);
    if (terminated) WaitForSingleObject(process, waitMilliseconds);
    CloseHandle(process);
    return terminated;
}

bool StartChildProcess(char* commandLine, ChildProcess* child, long* errorCode) {
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = 68;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION info;
    std::memset(&info, 0, sizeof info);
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0x30, nullptr, nullptr,
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

bool ChildProcessEnded(ChildProcess* child) {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(child->handle), 0) == WAIT_OBJECT_0;
}

void ReleaseChildProcess(ChildProcess* child) {
    CloseHandle(reinterpret_cast<HANDLE>(child->handle));
    child->handle = 0;
}

void FormatExitCodeLine(char* buffer, long exitCode) {
    wsprintfA(buffer, "exit code:%d", static_cast<int>(exitCode));
}

// --- Replacing files --------------------------------------------------------

FILE* OpenReplacement(const char* replacementPath, const char* destination, FILE*) {
    const DWORD attributes = GetFileAttributesA(destination);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        errno = EACCES;  // what opening it for writing would have said
        return nullptr;
    }
    DeleteFileA(replacementPath);  // a leftover from a killed run
    return std::fopen(replacementPath, "wb");
}

bool FlushToDisk(FILE* stream) {
    if (std::fflush(stream) != 0) return false;
    const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (FlushFileBuffers(file)) return true;
    errno = ErrnoFromWin32(GetLastError());
    return false;
}

bool MoveIntoPlace(const char* replacementPath, const char* destination) {
    if (MoveFileExA(replacementPath, destination,
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    errno = ErrnoFromWin32(GetLastError());
    return false;
}

void RemoveFile(const char* path) { DeleteFileA(path); }

}  // namespace os
