// Stopping the running client before its files are replaced, and starting it again afterwards.
#ifndef RELAYHIVE_PROCESS_CLIENT_PROCESS_H
#define RELAYHIVE_PROCESS_CLIENT_PROCESS_H

// The client's command line; the update run fills it before the launch.
extern char clientCommandLine[256];

// Terminates the first running process with the client's image name and waits (up to 5 s) for
// its end. Non-zero when the update may go on (client terminated, or none running); 0 when the
// process list cannot be taken or the client cannot be opened or terminated.
int TerminateClient();

// Starts clientCommandLine here and waits for it to exit: 0 once started, 5 when it cannot be.
int LaunchClientAndWait();

#endif
