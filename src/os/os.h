// The operating-system layer: everything relayhive asks of the platform.
// One implementation per platform (os_win32.cpp, os_posix.cpp); no other
// file includes a platform header.
#ifndef RELAYHIVE_OS_OS_H
#define RELAYHIVE_OS_OS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace os {

// The few constants that differ by platform; the one platform switch outside
// the implementation files.
#if defined(_WIN32)
// Size of every fixed path buffer, terminating zero included (MAX_PATH).
inline constexpr std::size_t kMaxPath = 260;
// The separator used when relayhive forms a path.
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr std::size_t kMaxPath = 4096;  // PATH_MAX
inline constexpr char kPathSeparator = '/';
#endif
// True for every byte the platform treats as a path separator.
bool IsPathSeparator(char c);
// True when a ':' in a file name means something to the platform (drive, stream).
extern const bool kColonIsSpecial;
// Names of the system's own devices (CON, NUL, ...) that a file name must not take.
bool IsReservedDeviceName(const char* component, std::size_t length);
// Whether a trailing dot or space in a name component is silently dropped by the platform.
extern const bool kTrailingDotSpaceStripped;

// Stream buffer for copying files; 0 leaves the runtime's own buffering.
extern const std::size_t kCopyStreamBufferSize;

// Mode string for reading a text file: the C runtime's text mode where it has one.
extern const char* const kTextReadMode;

// Sends one trace line to the debugger output channel, unchanged.
void Trace(const char* text);

void SleepMilliseconds(unsigned milliseconds);

// Fills buffer (zero-filled first) with the current directory. False, buffer
// left all zeros, when it is not available or does not fit.
bool GetWorkingDirectory(char* buffer, std::size_t size);
// The whole current directory, however long; empty when not available.
std::string WorkingDirectory();
// Changes to "the current directory itself" as the platform spells it; result ignored.
void ChangeToOwnDirectory();

// Creates the process-wide single-instance marker. False only when another
// live process holds it; any other failure lets the caller go on.
bool ClaimSingleInstance(const char* name);

// The system's standard message for an error number ("Unknown error" outside the table).
std::string ErrorMessage(int errnum);

// --- Processes ------------------------------------------------------------

struct ProcessEntry {
    std::uint32_t id;
    char exeFile[kMaxPath];  // image file name, no directory
    // The name the process goes by when it differs from its image (a script
    // runs the interpreter's image under its own name); empty when none.
    char taskName[kMaxPath];
};

struct ProcessSnapshot;
ProcessSnapshot* OpenProcessSnapshot();  // nullptr on failure
bool FirstProcess(ProcessSnapshot* snapshot, ProcessEntry* entry);
bool NextProcess(ProcessSnapshot* snapshot, ProcessEntry* entry);
void CloseProcessSnapshot(ProcessSnapshot* snapshot);

// Requests termination of the process and then waits up to waitMilliseconds
// for it to end. Non-zero when termination was requested, 0 when the process
// could not be opened or terminated.
int TerminateProcessAndWait(std::uint32_t id, unsigned waitMilliseconds);

struct ChildProcess {
    std::intptr_t handle;
    std::uint32_t processId;
    std::uint32_t threadId;
};

// Starts commandLine in the current directory with the inherited environment,
// in a console of its own where the platform has consoles. False with the
// platform's error code when it cannot be started.
bool StartChildProcess(char* commandLine, ChildProcess* child, long* errorCode);

enum class WaitResult { kFailed, kExited, kExitCodeUnavailable };
// Blocks until the child has ended; exitCode is valid for kExited.
WaitResult WaitForChildProcess(ChildProcess* child, long* exitCode);
// True once the child has ended; does not wait and does not collect it.
bool ChildProcessEnded(ChildProcess* child);
void ReleaseChildProcess(ChildProcess* child);

// Formats the child's exit-code line into buffer the way the platform's own
// formatter does; buffer holds at least 1024 bytes.
void FormatExitCodeLine(char* buffer, long exitCode);

// --- Replacing files --------------------------------------------------------

// Opens replacementPath for binary writing, created or truncated, never
// through a link. The new file takes the permissions the destination should
// end with: an existing destination's own, else the source's. nullptr and
// errno set on failure; also fails with EACCES when the existing destination
// itself may not be written by this process.
FILE* OpenReplacement(const char* replacementPath, const char* destination, FILE* source);
// Pushes everything written so far to stable storage. False, errno set, on failure.
bool FlushToDisk(FILE* stream);
// Moves replacementPath over destination in one atomic step and makes the
// rename durable. False, errno set, on failure; then destination is unchanged.
bool MoveIntoPlace(const char* replacementPath, const char* destination);
void RemoveFile(const char* path);

}  // namespace os

#endif
