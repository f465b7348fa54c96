#include "update/split_list.h"

std::vector<std::string> SplitList(const std::string& delimiters, const std::string& text) {
    std::vector<std::string> names;
    // Like a C string, the text ends at its first zero byte.
    const std::string copy(text.c_str());
    const std::string delimiterSet(delimiters.c_str());
    for (std::size_t start = copy.find_first_not_of(delimiterSet); start != std::string::npos;) {
        const std::size_t end = copy.find_first_of(delimiterSet, start);
        names.push_back(copy.substr(start, end - start));  // to the end when end is npos
        start = copy.find_first_not_of(delimiterSet, end);
    }
    return names;
}
