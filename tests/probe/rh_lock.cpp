// Holds a file open without sharing it, as a running program holds its files on Windows, or
// holds an object under a name, until PATH.release appears:
//   rh_lock PATH                 PATH open, shared with nobody
//   rh_lock PATH mutex-denied    NAME (next argument) a mutex nobody may open, as an elevated updater's
//   rh_lock PATH event NAME      NAME an event: the name taken by another kind of object
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// What the helper holds; INVALID_HANDLE_VALUE or nullptr when it could not be had.
HANDLE Take(int argc, char** argv) {
    if (argc == 2) {
        return CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (std::strcmp(argv[2], "event") == 0) return CreateEventA(nullptr, TRUE, FALSE, argv[3]);
    // An empty access list grants nobody anything; the creator keeps its own handle.
    static SECURITY_DESCRIPTOR descriptor;
    static ACL empty;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    InitializeAcl(&empty, sizeof empty, ACL_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, &empty, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    return CreateMutexA(&attributes, FALSE, argv[3]);
}

}  // namespace

int main(int argc, char** argv) {
    const bool named = argc == 4 && (std::strcmp(argv[2], "event") == 0 || std::strcmp(argv[2], "mutex-denied") == 0);
    if (argc != 2 && !named) {
        std::fprintf(stderr, "usage: rh_lock PATH [mutex-denied|event NAME]\n");
        return 2;
    }
    const HANDLE held = Take(argc, argv);
    if (held == INVALID_HANDLE_VALUE || held == nullptr) {
        std::fprintf(stderr, "rh_lock: cannot take %s: error %lu\n", argv[argc - 1], GetLastError());
        return 1;
    }
    const std::string locked = std::string(argv[1]) + ".locked";
    const std::string release = std::string(argv[1]) + ".release";
    CloseHandle(CreateFileA(locked.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    while (GetFileAttributesA(release.c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(20);
    CloseHandle(held);
    return 0;
}
