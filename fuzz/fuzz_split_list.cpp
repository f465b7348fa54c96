// SplitList on arbitrary delimiter sets and texts: the names are the
// non-empty runs of non-delimiter bytes, in order, nothing lost or added.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "update/split_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t split = data[0] % 4;  // up to three delimiter bytes
    if (size < 1 + split) return 0;
    const std::string delimiters(reinterpret_cast<const char*>(data + 1), split);
    const std::string text(reinterpret_cast<const char*>(data + 1 + split), size - 1 - split);

    const std::vector<std::string> names = SplitList(delimiters, text);
    const std::string visible(text.c_str());
    const std::string delimiterSet(delimiters.c_str());
    std::string kept;
    for (char c : visible) {
        if (delimiterSet.find(c) == std::string::npos) kept += c;
    }
    std::string joined;
    for (const std::string& name : names) {
        if (name.empty()) std::abort();
        if (name.find_first_of(delimiterSet) != std::string::npos && !delimiterSet.empty()) std::abort();
        joined += name;
    }
    if (joined != kept) std::abort();
    return 0;
}
