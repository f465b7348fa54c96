// NameIndex: a hash index from a (case-folded) name to the position of the
// first name in a list that matches it. It answers exactly what a front-to-back
// scan of the list would, without the scan.
#ifndef RELAYHIVE_INI_NAME_INDEX_H
#define RELAYHIVE_INI_NAME_INDEX_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class NameIndex {
public:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    // Position of the first element of names that matches name, or kNone.
    std::uint32_t Find(const std::vector<std::string>& names, const char* name, std::size_t length) const;
    // Records that names[position] was appended; a name that an earlier
    // element already matches is left out, so the first match keeps winning.
    void Added(const std::vector<std::string>& names, std::uint32_t position);
    // The same, for a name the caller has just failed to Find.
    void AddedUnmatched(const std::vector<std::string>& names, std::uint32_t position);

    static bool NamesMatch(const char* a, std::size_t aLength, const char* b, std::size_t bLength);

private:
    struct Slot {
        std::uint32_t position;
        std::uint32_t hash;
    };
    static std::uint32_t Hash(const char* name, std::size_t length);
    void Grow();

    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

#endif
