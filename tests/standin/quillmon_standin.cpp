// A stand-in for the Quillmon client, for the tests and the demo. It takes no
// arguments; quillmon.cfg in its working directory (where it is started, as
// "./Quillmon.exe") sets what it does:
//   exit=N      exit code (default 0)
//   stay=1      keep running until quillmon.stop appears, or until killed
//   watch=PATH  log a line whenever PATH changes while it runs (repeatable)
//   print=1     also say on standard output that it started and ended
// Each start appends "started in <dir> image <hash>" to quillmon.log, the
// hash being that of ./Quillmon.exe, so a test can tell which build ran.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

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

}  // namespace

int main() {
    int exitCode = 0;
    bool stay = false;
    bool print = false;
    std::vector<std::string> watched;
    std::ifstream config("quillmon.cfg");
    for (std::string line; std::getline(config, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "exit") exitCode = std::stoi(value);
        if (key == "stay") stay = value == "1";
        if (key == "watch") watched.push_back(value);
        if (key == "print") print = value == "1";
    }

    const std::string directory = os::WorkingDirectory();
    Log("started in " + directory + " image " + FileHash("Quillmon.exe"));
    if (print) {
        std::printf("Quillmon stand-in: started in %s\n", directory.c_str());
        std::fflush(stdout);
    }

    std::vector<std::string> seen;
    for (const std::string& path : watched) seen.push_back(FileHash(path));
    while (stay && !std::filesystem::exists("quillmon.stop")) {
        for (std::size_t i = 0; i < watched.size(); ++i) {
            const std::string now = FileHash(watched[i]);
            if (now != seen[i]) {
                Log("changed " + watched[i] + " while running");
                seen[i] = now;
            }
        }
        os::SleepMilliseconds(20);
    }

    Log("exiting with " + std::to_string(exitCode));
    if (print) std::printf("Quillmon stand-in: exiting with %d\n", exitCode);
    return exitCode;
}
