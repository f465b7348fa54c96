#include "scratch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#if defined(_WIN32)
#include <io.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace testing_support {

namespace {

fs::path& TestProgramDirectory() {
    static fs::path directory;
    return directory;
}

std::string WithoutCarriageReturnBeforeLineFeed(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

}  // namespace

ScratchDir::ScratchDir() {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    root_ = fs::temp_directory_path() /
            ("relayhive-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    fs::create_directories(root_);
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::permissions(root_, fs::perms::all, fs::perm_options::add, ignored);
    fs::remove_all(root_, ignored);
}

std::string ScratchDir::Path(const std::string& name) const {
    return name.empty() ? root_.string() : (root_ / fs::u8path(name)).make_preferred().string();
}

void ScratchDir::Write(const std::string& name, const std::string& bytes) const {
    WriteFile(Path(name), bytes);
}

std::string ScratchDir::Read(const std::string& name) const { return ReadFile(Path(name)); }

bool ScratchDir::Exists(const std::string& name) const { return fs::exists(Path(name)); }

std::string ScratchDir::Listing() const {
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(root_)) names.insert(item.path().filename().string());
    std::string listing;
    for (const auto& name : names) listing += name + "\n";
    return listing;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string CaptureStdout(const std::function<void()>& body) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    body();
    std::fflush(stdout);
    return WithoutCarriageReturnBeforeLineFeed(testing::internal::GetCapturedStdout());
}

std::string CaptureStderr(const std::function<void()>& body) {
    testing::internal::CaptureStderr();
    body();
    return WithoutCarriageReturnBeforeLineFeed(testing::internal::GetCapturedStderr());
}

void SetTestProgramPath(const char* argv0) {
    TestProgramDirectory() = fs::absolute(fs::path(argv0)).parent_path();
}

std::string StandinPath() {
    for (const char* name : {"quillmon_standin", "quillmon_standin.exe"}) {
        const fs::path candidate = TestProgramDirectory() / name;
        if (fs::exists(candidate)) return candidate.string();
    }
    return std::string();
}

WorkingDirectoryGuard::WorkingDirectoryGuard(const std::string& directory)
    : saved_(fs::current_path()) {
    fs::current_path(directory);
}

WorkingDirectoryGuard::~WorkingDirectoryGuard() {
    std::error_code ignored;
    fs::current_path(saved_, ignored);
}

FILE* UnreadableStream(const std::string& path) {
    FILE* stream = std::fopen(path.c_str(), "rb");
    if (stream != nullptr) {
#if defined(_WIN32)
        _close(_fileno(stream));
#else
        close(fileno(stream));
#endif
    }
    return stream;
}

#if defined(_WIN32)

int RunUnprivileged(const std::function<int()>& body) { return body(); }
#else

int RunUnprivileged(const std::function<int()>& body) {
    if (geteuid() != 0) return body();
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = fork();
    if (child == 0) {
        // nobody: the rights of an ordinary user, with the stderr we were given.
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(250);
        const int result = body();
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(result & 0xFF);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? static_cast<signed char>(WEXITSTATUS(status)) : 251;
}

#endif

}  // namespace testing_support
