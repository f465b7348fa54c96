// Runs one client-control operation in the current directory and prints its
// result, so the end-to-end harness can check console lines and traces:
//   rh_probe terminate | launch
#include <cstdio>
#include <cstring>

#include "process/client_process.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: rh_probe terminate|launch\n");
        return 2;
    }
    int result;
    if (std::strcmp(argv[1], "terminate") == 0) {
        result = TerminateClient();
    } else if (std::strcmp(argv[1], "launch") == 0) {
        std::snprintf(clientCommandLine, sizeof clientCommandLine, "%s", "./Quillmon.exe");
        result = LaunchClientAndWait();
    } else {
        std::fprintf(stderr, "unknown operation: %s\n", argv[1]);
        return 2;
    }
    std::printf("result=%d\n", result);
    return 0;
}
