// Stopping the running client before its files are replaced, and starting it again afterwards.
#ifndef RELAYHIVE_PROCESS_CLIENT_PROCESS_H
#define RELAYHIVE_PROCESS_CLIENT_PROCESS_H

#include "os/os.h"

// The client's command line; the update run fills it before the launch.
extern char clientCommandLine[256];

// How stopping the client went; with kNotTerminated, errno says why.
enum class ClientStop { kStopped, kNoneRunning, kNoProcessList, kNotTerminated };

// Terminates the first running process with the client's image name and waits (up to 5 s) for
// its end. Non-zero when the update may go on (client terminated, or none running); 0 when the
// process list cannot be taken or the client cannot be opened or terminated.
int TerminateClient(ClientStop* how = nullptr);

// How the relaunch went: started or not (the platform's error code), and how the client ended.
struct RelaunchOutcome {
    bool started = false;
    long errorCode = 0;
    os::WaitResult waited = os::WaitResult::kFailed;
    long exitCode = 0;
};

// Starts clientCommandLine here and waits for it to exit: 0 once started, 5 when it cannot be.
int LaunchClientAndWait(RelaunchOutcome* outcome = nullptr);

#endif
