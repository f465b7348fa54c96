// A stand-in for the Quillmon client, for the tests and the demo. It takes no
// arguments; quillmon.cfg in its working directory (where it is started, as
// "./Quillmon.exe") sets what it does:
//   exit=N      exit code (default 0)
//   stay=1      keep running until quillmon.stop appears, or until killed
//   watch=PATH  log a line whenever PATH changes while it runs (repeatable)
//   print=1     also say on standard output that it started and ended
//   alone=1     the main thread ends at once; a second thread carries on as
//               stay=1 makes it (a client whose main thread is gone)
//   signals=1   log how SIGHUP and SIGPIPE are handled ("default"/"ignored")
//   run=PATH    once quillmon.go appears (not at all if quillmon.stop does
//               first), start PATH (no arguments) sharing our standard
//               streams; the child logs "ran <pid>" before it becomes PATH
//   pipe=1      with run=: give PATH a pipe for its standard output and error,
//               read (and dropped) until its other end closes
// alone, signals, run and pipe are for the Linux build only.
// Each start appends "started in <dir> image <hash>" to quillmon.log, the
// hash being that of ./Quillmon.exe, so a test can tell which build ran.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#endif

#include "os/os.h"

namespace {

std::string FileHash(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "missing";
    std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
    std::istreambuf_iterator<char> it(in), end;
    for (; it != end; ++it) {
        hash ^= static_cast<unsigned char>(*it);
        hash *= 1099511628211ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

void Log(const std::string& line) {
    std::ofstream log("quillmon.log", std::ios::app | std::ios::binary);
    log << line << "\n";
}

struct Config {
    int exitCode = 0;
    bool stay = false;
    bool print = false;
    bool alone = false;
    bool signals = false;
    bool pipe = false;
    std::string run;
    std::vector<std::string> watched;
};

#ifndef _WIN32
const char* Disposition(int signal) {
    struct sigaction action;
    if (sigaction(signal, nullptr, &action) != 0) return "unknown";
    return action.sa_handler == SIG_IGN ? "ignored" : "default";
}

// Starts program as a client starts its updater; with piped, reads its
// standard output and error as long as this process lives.
void RunProgram(const std::string& program, bool piped) {
    while (!std::filesystem::exists("quillmon.go")) {
        if (std::filesystem::exists("quillmon.stop")) return;
        os::SleepMilliseconds(20);
    }
    int ends[2] = {-1, -1};
    if (piped && pipe2(ends, O_CLOEXEC) != 0) return;
    const pid_t pid = fork();
    if (pid == 0) {
        // Logged before the program can stop this client.
        Log("ran " + std::to_string(getpid()));
        if (piped) {
            dup2(ends[1], 1);
            dup2(ends[1], 2);
        }
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        execv(program.c_str(), argv);
        _exit(127);
    }
    if (pid < 0) Log("run failed");
    if (!piped) return;
    close(ends[1]);
    const int readEnd = ends[0];
    std::thread([readEnd] {
        char buffer[4096];
        while (read(readEnd, buffer, sizeof buffer) > 0) {
        }
    }).detach();
}
#endif

int Behave(const Config& config) {
    std::vector<std::string> seen;
    for (const std::string& path : config.watched) seen.push_back(FileHash(path));
    while ((config.stay || config.alone) && !std::filesystem::exists("quillmon.stop")) {
        for (std::size_t i = 0; i < config.watched.size(); ++i) {
            const std::string now = FileHash(config.watched[i]);
            if (now != seen[i]) {
                Log("changed " + config.watched[i] + " while running");
                seen[i] = now;
            }
        }
        os::SleepMilliseconds(20);
    }

    Log("exiting with " + std::to_string(config.exitCode));
    if (config.print) std::printf("Quillmon stand-in: exiting with %d\n", config.exitCode);
    return config.exitCode;
}

}  // namespace

int main() {
    Config settings;
    std::ifstream config("quillmon.cfg");
    for (std::string line; std::getline(config, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "exit") settings.exitCode = std::stoi(value);
        if (key == "stay") settings.stay = value == "1";
        if (key == "watch") settings.watched.push_back(value);
        if (key == "print") settings.print = value == "1";
        if (key == "alone") settings.alone = value == "1";
        if (key == "signals") settings.signals = value == "1";
        if (key == "run") settings.run = value;
        if (key == "pipe") settings.pipe = value == "1";
    }

    const std::string directory = os::WorkingDirectory();
    Log("started in " + directory + " image " + FileHash("Quillmon.exe"));
    if (settings.print) {
        std::printf("Quillmon stand-in: started in %s\n", directory.c_str());
        std::fflush(stdout);
    }
#ifndef _WIN32
    if (settings.signals) {
        Log(std::string("SIGHUP ") + Disposition(SIGHUP) + ", SIGPIPE " + Disposition(SIGPIPE));
    }
    if (!settings.run.empty()) RunProgram(settings.run, settings.pipe);
    if (settings.alone) {
        // The process lives on in the second thread alone.
        std::thread([settings] { std::exit(Behave(settings)); }).detach();
        pthread_exit(nullptr);
    }
#endif
    return Behave(settings);
}

