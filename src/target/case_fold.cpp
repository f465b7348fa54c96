#include "target/case_fold.h"

#include <algorithm>
#include <iterator>

namespace {

struct Upcase {
    char16_t from;
    char16_t to;
};

// Sorted by from; generated at build time.
constexpr Upcase kUpcases[] = {
#include "target/upcase_table.inc"
};

}  // namespace

char16_t WindowsUpcase(char16_t unit) {
    if (unit < 0x80) return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 0x20) : unit;
    const auto found = std::lower_bound(std::begin(kUpcases), std::end(kUpcases), unit,
                                        [](const Upcase& row, char16_t key) { return row.from < key; });
    return found != std::end(kUpcases) && found->from == unit ? found->to : unit;
}

std::u16string WindowsUpcased(std::u16string text) {
    for (char16_t& unit : text) unit = WindowsUpcase(unit);
    return text;
}
