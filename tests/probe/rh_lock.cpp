// Holds a file open without sharing it, as a running program holds its files
// on Windows, until PATH.release appears:   rh_lock PATH
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: rh_lock PATH\n");
        return 2;
    }
    const HANDLE file = CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "rh_lock: cannot open %s: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    const std::string locked = std::string(argv[1]) + ".locked";
    const std::string release = std::string(argv[1]) + ".release";
    CloseHandle(CreateFileA(locked.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    while (GetFileAttributesA(release.c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(20);
    CloseHandle(file);
    return 0;
}
