// Loads arbitrary bytes as an INI file, as both platforms read it, and checks
// the document's invariants: parallel lists stay parallel, and every stored
// name is found at or before its own index (the first match wins).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ini/ini_file.h"
#include "ini/ini_reader.h"

namespace {

void LoadAndCheck(std::string_view bytes, StringMode mode) {
    CIniFile ini("");
    StringReader reader(bytes, mode);
    const LoadOutcome outcome = ini.LoadQuietly(&reader);
    const auto& names = ini.SectionNames();
    const auto& sections = ini.Sections();
    if (names.size() != sections.size()) std::abort();
    if (outcome.loaded && names.empty()) std::abort();
    if ((outcome.stop == LoadStop::kBadFirstByte) != (outcome.line != 0)) std::abort();
    for (std::uint32_t s = 0; s < names.size(); ++s) {
        if (ini.FindSection(names[s]) > s) std::abort();
        const IniSection& section = sections[s];
        if (section.entryNames.size() != section.entryValues.size()) std::abort();
        for (std::uint32_t e = 0; e < section.entryNames.size(); ++e) {
            if (ini.FindEntry(s, section.entryNames[e]) > e) std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    LoadAndCheck(bytes, kAsBytes);
    LoadAndCheck(bytes, kWindowsText);
    return 0;
}
