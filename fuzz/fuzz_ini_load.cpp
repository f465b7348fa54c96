// Loads arbitrary bytes as an INI file and checks the document's invariants:
// parallel lists stay parallel, and every stored name is found at or before
// its own index (the first match wins).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "ini/ini_file.h"

namespace {

std::string ScratchPath() {
    // Memory-backed where available: the fuzzer writes a file for every input.
    return std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/relayhive-fuzz-ini-" + std::to_string(getpid()) + ".ini";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // "Failing on char" lines would drown the fuzzer's own output.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = ScratchPath();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    CIniFile ini(path);
    const bool loaded = ini.Load();
    const auto& names = ini.SectionNames();
    const auto& sections = ini.Sections();
    if (names.size() != sections.size()) std::abort();
    if (loaded && names.empty()) std::abort();
    for (std::uint32_t s = 0; s < names.size(); ++s) {
        if (ini.FindSection(names[s]) > s) std::abort();
        const IniSection& section = sections[s];
        if (section.entryNames.size() != section.entryValues.size()) std::abort();
        for (std::uint32_t e = 0; e < section.entryNames.size(); ++e) {
            if (ini.FindEntry(s, section.entryNames[e]) > e) std::abort();
        }
    }
    return 0;
}
