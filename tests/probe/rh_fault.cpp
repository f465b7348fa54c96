// Runs a whole update in the current directory with one file call made to
// fail, for the fault table:
//   rh_fault OPERATION N ERRNO
// makes the N-th call of OPERATION in the run fail with ERRNO (N = 0: none
// fails), then prints how often each operation was called and the message
// of the fault it injected ("none" if that call never came), and returns the
// update's result.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/os.h"
#include "update/update_run.h"

namespace {

enum Operation {
    kOpenStaged, kOpenScratch, kRead, kWrite, kFlush, kClose, kMove, kFlushDirectory, kCount
};
const char* const kOperationNames[kCount] = {"open-staged", "open-scratch", "read", "write",
                                             "flush", "close", "move", "flush-directory"};

struct ErrnoName {
    const char* name;
    int value;
};
const ErrnoName kErrnos[] = {{"ENOSPC", ENOSPC}, {"EIO", EIO}, {"EACCES", EACCES}};

os::FileCalls platform;
unsigned long calls[kCount];
int failing = -1;
unsigned long failingCall = 0;
int failingErrno = 0;
bool injected = false;

// Counts a call of operation; true, errno set, when it is the one to fail.
bool Fails(Operation operation) {
    ++calls[operation];
    if (operation != failing || calls[operation] != failingCall) return false;
    injected = true;
    errno = failingErrno;
    return true;
}

FILE* OpenStaged(const char* path, bool* irregular) {
    *irregular = false;
    return Fails(kOpenStaged) ? nullptr : platform.openStaged(path, irregular);
}

FILE* OpenReplacement(const char* scratchPath, const char* destination, FILE* source,
                      os::FailedPath* failed) {
    if (Fails(kOpenScratch)) {
        *failed = os::FailedPath::kScratch;
        return nullptr;
    }
    return platform.openReplacement(scratchPath, destination, source, failed);
}

long Read(FILE* stream, char* buffer, std::size_t size) {
    return Fails(kRead) ? -1 : platform.read(stream, buffer, size);
}

bool Write(FILE* stream, const char* buffer, std::size_t size) {
    return !Fails(kWrite) && platform.write(stream, buffer, size);
}

bool FlushToDisk(FILE* stream) { return !Fails(kFlush) && platform.flushToDisk(stream); }

// A failed close still releases the stream.
bool Close(FILE* stream) {
    const bool closed = platform.close(stream);
    return !Fails(kClose) && closed;
}

bool MoveIntoPlace(const char* scratchPath, const char* destination) {
    return !Fails(kMove) && platform.moveIntoPlace(scratchPath, destination);
}

bool FlushDirectory(const char* directory) {
    return !Fails(kFlushDirectory) && platform.flushDirectory(directory);
}

int Usage() {
    std::fprintf(stderr, "usage: rh_fault OPERATION N ERRNO\n  OPERATION:");
    for (const char* name : kOperationNames) std::fprintf(stderr, " %s", name);
    std::fprintf(stderr, "\n  ERRNO:");
    for (const ErrnoName& e : kErrnos) std::fprintf(stderr, " %s", e.name);
    std::fprintf(stderr, "\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return Usage();
    for (int i = 0; i < kCount; ++i) {
        if (std::strcmp(argv[1], kOperationNames[i]) == 0) failing = i;
    }
    for (const ErrnoName& e : kErrnos) {
        if (std::strcmp(argv[3], e.name) == 0) failingErrno = e.value;
    }
    char* end = nullptr;
    failingCall = std::strtoul(argv[2], &end, 10);
    if (failing < 0 || failingErrno == 0 || end == argv[2] || *end != '\0') return Usage();

    platform = os::fileCalls;
    os::fileCalls.openStaged = OpenStaged;
    os::fileCalls.openReplacement = OpenReplacement;
    os::fileCalls.read = Read;
    os::fileCalls.write = Write;
    os::fileCalls.flushToDisk = FlushToDisk;
    os::fileCalls.close = Close;
    os::fileCalls.moveIntoPlace = MoveIntoPlace;
    os::fileCalls.flushDirectory = FlushDirectory;

    const int result = RunUpdate(0, nullptr, nullptr);

    std::printf("calls:");
    for (int i = 0; i < kCount; ++i) std::printf(" %s=%lu", kOperationNames[i], calls[i]);
    std::printf("\nfault: %s\n", injected ? os::ErrorMessage(failingErrno) : "none");
    return result;
}
