// Whatever name the check accepts, joined below a base directory, stays below it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "update/safe_name.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);
    if (name.empty() || name.find('\0') != std::string::npos) return 0;
    if (UnsafeNameReason(name.c_str()) != nullptr) return 0;

    // Resolve "/base/dir/" + name lexically, treating both separators alike.
    std::vector<std::string> parts = {"base", "dir"};
    std::string part;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '/' || name[i] == '\\') {
            if (part == "..") {
                if (parts.size() <= 2) std::abort();  // climbed out of base/dir
                parts.pop_back();
            } else if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part += name[i];
        }
    }
    if (name[0] == '/' || name[0] == '\\') std::abort();  // rooted
    const bool letter = (name[0] | 0x20) >= 'a' && (name[0] | 0x20) <= 'z';
    if (letter && name.size() > 1 && name[1] == ':') std::abort();  // drive-relative
    return 0;
}
