// Test support: scratch directories, whole-file reads and writes, captured
// console output, and the stand-in client.
#ifndef RELAYHIVE_TESTS_SCRATCH_H
#define RELAYHIVE_TESTS_SCRATCH_H

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

namespace testing_support {

// A fresh directory under the system's temporary directory, removed at the end.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // The native path of name inside the directory.
    std::string Path(const std::string& name = "") const;
    void Write(const std::string& name, const std::string& bytes) const;
    std::string Read(const std::string& name) const;
    bool Exists(const std::string& name) const;
    // Names of everything in the directory (not recursive), sorted.
    std::string Listing() const;

private:
    std::filesystem::path root_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// Console output captured while body runs, with the runtime's CR LF turned back into LF.
std::string CaptureStdout(const std::function<void()>& body);
std::string CaptureStderr(const std::function<void()>& body);

// A stream open for reading whose every read fails (its descriptor is closed).
FILE* UnreadableStream(const std::string& path);

// The stand-in client built beside the test program.
std::string StandinPath();
void SetTestProgramPath(const char* argv0);

// Changes the current directory for the life of the object.
class WorkingDirectoryGuard {
public:
    explicit WorkingDirectoryGuard(const std::string& directory);
    ~WorkingDirectoryGuard();

private:
    std::filesystem::path saved_;
};

// Runs body with the rights of an ordinary user (POSIX: in a child process
// that drops root; elsewhere: directly) and returns its result.
int RunUnprivileged(const std::function<int()>& body);

}  // namespace testing_support

#endif
