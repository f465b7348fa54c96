#include "process/client_process.h"

#include <cstdio>
#include <new>
#include <string>

#include "common/ascii.h"
#include "common/texts.h"
#include "os/os.h"

char clientCommandLine[256];

namespace {

const unsigned kTerminationWaitMilliseconds = 5000;

// Whole-name comparison ignoring ASCII case only, as the image name is compared on Windows.
bool IsClientImage(const char* name) { return ascii::EqualIgnoringCase(name, texts::kClientImageName); }

void TraceNumber(const char* format, long value) {
    char line[512];
    std::snprintf(line, sizeof line, format, static_cast<int>(value));
    os::Trace(line);
}

// The directory line; when memory has run out it is left out, and the client still starts.
void ShowWorkingDirectory() {
    try {
        const std::string directory = os::WorkingDirectory();
        std::printf(texts::kWorkDirFormat, directory.c_str());
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace

int TerminateClient(ClientStop* how) {
    ClientStop unused;
    if (how == nullptr) how = &unused;
    *how = ClientStop::kNoProcessList;
    os::ProcessSnapshot* snapshot = os::OpenProcessSnapshot();
    if (snapshot == nullptr) return 0;

    static os::ProcessEntry entry;  // large on POSIX; one call at a time
    bool found = os::FirstProcess(snapshot, &entry);
    while (found && !IsClientImage(entry.exeFile) && !IsClientImage(entry.taskName)) {
        found = os::NextProcess(snapshot, &entry);
    }
    os::CloseProcessSnapshot(snapshot);
    // Waiting for the end keeps the copies from racing a client that holds its files open.
    if (found) {
        const bool stopped = os::TerminateProcessAndWait(entry.id, kTerminationWaitMilliseconds);
        *how = stopped ? ClientStop::kStopped : ClientStop::kNotTerminated;
        return stopped ? 1 : 0;
    }
    *how = ClientStop::kNoneRunning;
    std::fputs(texts::kClientNotFound, stdout);
    return 1;
}

int LaunchClientAndWait(RelaunchOutcome* outcome) {
    RelaunchOutcome unused;
    if (outcome == nullptr) outcome = &unused;
    os::ChangeToOwnDirectory();
    ShowWorkingDirectory();
    // The client may share our standard output: our lines come first.
    std::fflush(stdout);

    os::ChildProcess child;
    long errorCode = 0;
    if (!os::StartChildProcess(clientCommandLine, &child, &errorCode)) {
        outcome->errorCode = errorCode;
        TraceNumber(texts::kTraceStartErrorFormat, errorCode);
        return 5;
    }
    outcome->started = true;
    TraceNumber(texts::kTraceNewProcessIdFormat, static_cast<long>(child.processId));
    TraceNumber(texts::kTraceNewThreadIdFormat, static_cast<long>(child.threadId));

    long exitCode = 0;
    const os::WaitResult waited = os::WaitForChildProcess(&child, &exitCode);
    outcome->waited = waited;
    outcome->exitCode = exitCode;
    if (waited == os::WaitResult::kExited) {
        char exitLine[1024];
        os::FormatExitCodeLine(exitLine, exitCode);
        os::Trace(exitLine);
    } else if (waited == os::WaitResult::kExitCodeUnavailable) {
        os::Trace(texts::kTraceExitCodeFailed);
    }
    os::ReleaseChildProcess(&child);
    return 0;
}
