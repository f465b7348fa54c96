// The operating-system layer on Windows: the Win32 calls relayhive was designed around.
#include <windows.h>
#include <wincrypt.h>
#include <tlhelp32.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/texts.h"
#include "os/os.h"
#include "os/os_platform.h"

static_assert(sizeof(PROCESSENTRY32) == 296, "narrow process record expected");
static_assert(sizeof(STARTUPINFOA) == 68, "32-bit start-up record expected");

namespace os {

const char* const kTextReadMode = "rt";
// The runtime's 4 KiB: a larger write that only partly fits a full disk loses its error number.
const std::size_t kCopyStreamBufferSize = 0;

namespace {

// A new console of its own, at normal priority.
constexpr DWORD kClientCreationFlags = CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS;
static_assert(kClientCreationFlags == 0x30, "the client's creation flags");

// The attributes a replacement takes over from the file it replaces.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// The C runtime's errno for every Win32 failure here, so reports read like the runtime's own.
int ErrnoFromWin32(DWORD error) {
    static const struct {
        DWORD win32;
        int errnum;
    } kErrnos[] = {
        {ERROR_FILE_NOT_FOUND, ENOENT}, {ERROR_PATH_NOT_FOUND, ENOENT},
        {ERROR_INVALID_DRIVE, ENOENT}, {ERROR_BAD_NETPATH, ENOENT}, {ERROR_BAD_NET_NAME, ENOENT},
        {ERROR_ACCESS_DENIED, EACCES}, {ERROR_SHARING_VIOLATION, EACCES},
        {ERROR_LOCK_VIOLATION, EACCES}, {ERROR_WRITE_PROTECT, EACCES},
        {ERROR_CURRENT_DIRECTORY, EACCES}, {ERROR_NETWORK_ACCESS_DENIED, EACCES},
        {ERROR_DISK_FULL, ENOSPC}, {ERROR_HANDLE_DISK_FULL, ENOSPC}, {ERROR_FILE_EXISTS, EEXIST},
        {ERROR_ALREADY_EXISTS, EEXIST}, {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
        {ERROR_INVALID_NAME, EINVAL}, {ERROR_INVALID_PARAMETER, EINVAL},
        {ERROR_NOT_ENOUGH_MEMORY, ENOMEM}, {ERROR_OUTOFMEMORY, ENOMEM},
        {ERROR_NOT_SAME_DEVICE, EXDEV},
    };
    for (const auto& known : kErrnos) {
        if (known.win32 == error) return known.errnum;
    }
    return 0x7FFF;  // no C runtime number: reported as "Unknown error", never as some other failure
}

// ok itself; when it is false, errno says why the last Win32 call failed.
bool Succeeded(BOOL ok) {
    if (!ok) errno = ErrnoFromWin32(GetLastError());
    return ok != 0;
}

// True, errno EISDIR, for a directory's attributes: the runtime would only say "Permission denied".
bool RefusedDirectory(DWORD attributes) {
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
    errno = EISDIR;
    return true;
}

HANDLE HandleOf(FILE* stream) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))); }

// The record Process32First or Process32Next has just filled, when it found one.
bool Found(BOOL found, const PROCESSENTRY32& record, ProcessEntry* entry) {
    if (!found) return false;
    *entry = ProcessEntry{};
    entry->id = record.th32ProcessID;
    std::memcpy(entry->exeFile, record.szExeFile, strnlen(record.szExeFile, kMaxPath - 1));
    return true;
}

// What a call filling (size, buffer) gives, asked first for the room it needs; empty on failure.
template <typename Fill>
std::string Filled(Fill fill) {
    const DWORD needed = fill(0, nullptr);
    if (needed == 0) return std::string();
    std::string text(needed, '\0');
    const DWORD length = fill(needed, &text[0]);
    if (length == 0 || length >= needed) return std::string();
    text.resize(length);
    return text;
}

}  // namespace

unsigned AnsiCodePage() { return GetACP(); }

bool SystemUpcase(char16_t unit, char16_t* upper) {
    using Upcase = WCHAR(WINAPI*)(WCHAR);
    static const Upcase upcase =
        reinterpret_cast<Upcase>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlUpcaseUnicodeChar")));
    if (upcase == nullptr) return false;
    *upper = static_cast<char16_t>(upcase(static_cast<WCHAR>(unit)));
    return true;
}

bool DecodeEach(unsigned codePage, const std::vector<std::string>& sequences, std::vector<char16_t>* units) {
    CPINFO info;
    if (!GetCPInfo(codePage, &info)) return false;
    // MultiByteToWideChar refuses a lone lead byte as it refuses any other invalid one.
    bool leads[256] = {};
    for (int i = 0; i + 1 < MAX_LEADBYTES && (info.LeadByte[i] != 0 || info.LeadByte[i + 1] != 0); i += 2) {
        for (unsigned byte = info.LeadByte[i]; byte <= info.LeadByte[i + 1]; ++byte) leads[byte] = true;
    }
    units->clear();
    for (const std::string& sequence : sequences) {
        wchar_t unit[2];
        const bool opens = sequence.size() == 1 && leads[static_cast<unsigned char>(sequence[0])];
        const int count = sequence.empty() || opens ? 0
                          : MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, sequence.data(),
                                                static_cast<int>(sequence.size()), unit, 2);
        units->push_back(opens ? 0xFFFE : count == 1 ? static_cast<char16_t>(unit[0]) : 0xFFFF);
    }
    return true;
}

FILE* OpenRegularFile(const char* path, const char* mode, bool* irregular) {
    *irregular = false;
    if (RefusedDirectory(GetFileAttributesA(path))) return nullptr;
    FILE* stream = std::fopen(path, mode);
    if (stream == nullptr) return nullptr;
    // A name can reach a device or a pipe: only a file on disk is read. A kernel file of Wine's
    // host (/proc) passes for an empty one, then reads without end.
    const bool disk = GetFileType(HandleOf(stream)) == FILE_TYPE_DISK;
    std::uint64_t size = 0;
    if (!disk || (platform::SizeOf(stream, &size) && size == 0 && std::fgetc(stream) != EOF)) {
        std::fclose(stream);
        *irregular = true;
        return nullptr;
    }
    std::rewind(stream);
    return stream;
}

InputFile::~InputFile() {
    if (file_ != nullptr) std::fclose(file_);
}

bool InputFile::Open(const char* path, bool* irregular) {
    file_ = OpenRegularFile(path, "rb", irregular);
    if (file_ == nullptr) return false;
    // Blocks go straight to the caller's buffer: no second copy through the stream's.
    std::setvbuf(file_, nullptr, _IONBF, 0);
    return platform::SizeOf(file_, &size_);
}

long InputFile::Read(char* buffer, std::size_t size) {
    const std::size_t got = std::fread(buffer, 1, size, file_);
    return got == 0 && std::ferror(file_) ? -1 : static_cast<long>(got);
}

void Trace(const char* text) { OutputDebugStringA(text); }

void SleepMilliseconds(unsigned milliseconds) { Sleep(milliseconds); }

std::string WorkingDirectory() {
    return Filled([](DWORD size, char* buffer) { return GetCurrentDirectoryA(size, buffer); });
}

void ChangeToOwnDirectory() { (void)_chdir(".\\"); }

bool ClaimSingleInstance(const char* name, const char*) {
    // The handle is never kept or closed: the mutex marks this process's life.
    const HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    const DWORD error = GetLastError();
    if (mutex != nullptr) return error != ERROR_ALREADY_EXISTS;
    // A mutex this user may not open (an elevated updater's) or another kind of object: the name is taken.
    return error != ERROR_ACCESS_DENIED && error != ERROR_INVALID_HANDLE;
}

void ReleaseSingleInstance() {}

void UtcTimeText(char* buffer, std::size_t size) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    std::snprintf(buffer, size, "%04u-%02u-%02u %02u:%02u:%02u UTC", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
}

bool FileInUse(const char* path) {
    // Asking to delete it, while sharing everything, fails only for a handle that shares no deletion.
    const HANDLE file = CreateFileA(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    const DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

std::intptr_t OpenRecordFile(const char* path) {
    // Readable by others while it is written: relayhive-check may look during the run.
    const HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return file == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(file);
}

namespace {

bool MoveRecordTo(std::intptr_t record, std::uint64_t offset) {
    LONG high = static_cast<LONG>(offset >> 32);
    const DWORD low = SetFilePointer(reinterpret_cast<HANDLE>(record), static_cast<LONG>(offset & 0xFFFFFFFFu),
                                     &high, FILE_BEGIN);
    return low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR;
}

}  // namespace

bool WriteRecordAt(std::intptr_t record, std::uint64_t offset, const char* bytes, std::size_t size) {
    DWORD wrote = 0;
    return MoveRecordTo(record, offset) &&
           WriteFile(reinterpret_cast<HANDLE>(record), bytes, static_cast<DWORD>(size), &wrote, nullptr) &&
           wrote == size;
}

bool SetRecordLength(std::intptr_t record, std::uint64_t length) {
    return MoveRecordTo(record, length) && SetEndOfFile(reinterpret_cast<HANDLE>(record));
}

bool FlushRecordFile(std::intptr_t record) { return FlushFileBuffers(reinterpret_cast<HANDLE>(record)) != 0; }

void CloseRecordFile(std::intptr_t record) { CloseHandle(reinterpret_cast<HANDLE>(record)); }

const char* ErrorMessage(int errnum) { return std::strerror(errnum); }

// --- Digests ----------------------------------------------------------------

// XP SP3 has SHA-256, but the headers offer it only to builds that require SP3.
#ifndef CALG_SHA_256
#define CALG_SHA_256 (ALG_CLASS_HASH | ALG_TYPE_ANY | 12)  // ALG_SID_SHA_256
#endif

// The AES provider is the one that has SHA-256 (XP SP3 and later); no key container is needed.
struct Sha256 {
    HCRYPTPROV provider;
    HCRYPTHASH hash;
};

Sha256* BeginSha256() {
    HCRYPTPROV provider = 0;
    if (!Succeeded(CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))) {
        return nullptr;
    }
    HCRYPTHASH hash = 0;
    Sha256* sha = nullptr;
    if (Succeeded(CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash))) {
        sha = new (std::nothrow) Sha256{provider, hash};
        if (sha != nullptr) return sha;
        errno = ENOMEM;
        CryptDestroyHash(hash);
    }
    const int saved = errno;
    CryptReleaseContext(provider, 0);
    errno = saved;
    return nullptr;
}

bool UpdateSha256(Sha256* sha, const char* data, std::size_t size) {
    // CryptHashData takes a DWORD of bytes: a larger block goes in parts.
    const std::size_t kPart = 1u << 30;
    for (std::size_t done = 0; done < size; done += kPart) {
        const DWORD part = static_cast<DWORD>(std::min(kPart, size - done));
        if (!Succeeded(CryptHashData(sha->hash, reinterpret_cast<const BYTE*>(data + done), part, 0))) return false;
    }
    return true;
}

bool FinishSha256(Sha256* sha, unsigned char* digest) {
    if (sha == nullptr) return false;
    DWORD length = kSha256Size;
    const bool finished = Succeeded(CryptGetHashParam(sha->hash, HP_HASHVAL, digest, &length, 0)) &&
                          length == kSha256Size;
    const int saved = errno;
    CryptDestroyHash(sha->hash);
    CryptReleaseContext(sha->provider, 0);
    delete sha;
    errno = saved;
    return finished;
}

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
    return new ProcessSnapshot{handle, {}};
}

bool FirstProcess(ProcessSnapshot* snapshot, ProcessEntry* entry) {
    snapshot->record.dwSize = sizeof snapshot->record;
    return Found(Process32First(snapshot->handle, &snapshot->record), snapshot->record, entry);
}

bool NextProcess(ProcessSnapshot* snapshot, ProcessEntry* entry) {
    return Found(Process32Next(snapshot->handle, &snapshot->record), snapshot->record, entry);
}

void CloseProcessSnapshot(ProcessSnapshot* snapshot) {
    CloseHandle(snapshot->handle);
    delete snapshot;
}

bool TerminateProcessAndWait(std::uint32_t id, unsigned waitMilliseconds) {
    const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
    if (!Succeeded(process != nullptr)) return false;
    const bool terminated = Succeeded(TerminateProcess(process, 0));
    if (terminated) WaitForSingleObject(process, waitMilliseconds);
    CloseHandle(process);
    return terminated;
}

bool StartChildProcess(char* commandLine, ChildProcess* child, long* errorCode) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION info{};
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

FILE* CreateExclusive(const char* path, const FileFacts& like) {
    // Only if it does not exist, and shared with nobody while it is written.
    const HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    like.keptAttributes != 0 ? like.keptAttributes : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!Succeeded(file != INVALID_HANDLE_VALUE)) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) CloseHandle(file);  // once there is a descriptor, it owns the handle
    FILE* stream = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
    if (stream == nullptr) {
        if (fd >= 0) _close(fd);
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
    if (!GetFileInformationByHandle(HandleOf(stream), &mine)) return false;
    // No access asked for: sharing never refuses it, and the file is left alone.
    const HANDLE other = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                     nullptr);
    if (other == INVALID_HANDLE_VALUE) return false;
    const bool known = GetFileInformationByHandle(other, &theirs) != 0;
    CloseHandle(other);
    return known && mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
           mine.nFileIndexHigh == theirs.nFileIndexHigh && mine.nFileIndexLow == theirs.nFileIndexLow;
}

bool FlushToDisk(FILE* stream) {
    return std::fflush(stream) == 0 && Succeeded(FlushFileBuffers(HandleOf(stream)));
}

bool MoveIntoPlace(const char* scratchPath, const char* destination) {
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    return Succeeded(MoveFileExA(scratchPath, destination, flags));
}

// MOVEFILE_WRITE_THROUGH has already made each rename durable.
bool FlushDirectory(const char*) { return true; }

bool Remove(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (RefusedDirectory(attributes)) return false;
    // One that cannot go (another program holds it) stops the copy before anything is written.
    return Succeeded(DeleteFileA(path));
}

// Flushing a whole volume takes an administrator: each copy flushes its own file.
const bool kFlushEachCopy = true;

// Each copy is flushed as it closes here: nothing to start early.
void StartWriteBack(FILE*) {}

bool SizeOf(FILE* stream, std::uint64_t* size) {
    LARGE_INTEGER length;
    if (!Succeeded(GetFileSizeEx(HandleOf(stream), &length))) return false;
    *size = static_cast<std::uint64_t>(length.QuadPart);
    return true;
}

}  // namespace platform

// --- Inspecting an installation ---------------------------------------------

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

bool MayWriteFile(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) return true;
    errno = EACCES;  // what opening it for writing would have said
    return false;
}

// A directory's read-only attribute does not stop files being made; access lists are the copy's.
bool MayCreateIn(const char*) { return true; }

bool ListDirectory(const char* path, std::vector<DirectoryEntry>* entries) {
    const std::string pattern = std::string(path) + "\\*";
    WIN32_FIND_DATAA found;
    entries->clear();
    const HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    // An empty directory lists nothing; any other failure gives its errno (it said "Success").
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND || Succeeded(FALSE);
    do {
        const std::string name(found.cFileName);
        if (name == "." || name == "..") continue;
        entries->push_back(DirectoryEntry{name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                          (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return true;
}

bool AbsolutePath(const char* path, std::string* absolute) {
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) return false;
    const std::string full = Filled([path](DWORD size, char* buffer) {
        return GetFullPathNameA(path, size, buffer, nullptr);
    });
    if (full.empty()) return false;
    *absolute = full;
    return true;
}

// Each copy flushed itself, and MOVEFILE_WRITE_THROUGH makes renames durable.
bool FlushWrittenFiles(const char*) { return true; }

bool MakeDirectory(const char* path) {
    if (CreateDirectoryA(path, nullptr)) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS && KindOfPath(path) == PathKind::kDirectory) return true;
    errno = ErrnoFromWin32(error);
    return false;
}

}  // namespace os
