// NameIndex: the first match of a name in a list, ignoring ASCII case, as a scan would find it.
#ifndef RELAYHIVE_INI_NAME_INDEX_H
#define RELAYHIVE_INI_NAME_INDEX_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class NameIndex {
public:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    // Position of the first element of names that matches name, or kNone.
    std::uint32_t Find(const std::vector<std::string>& names, std::string_view name) const;
    // Records that names[position] was appended; a name that an earlier
    // element already matches is left out, so the first match keeps winning.
    void Added(const std::vector<std::string>& names, std::uint32_t position);
    // The same, for a name the caller has just failed to Find.
    void AddedUnmatched(const std::vector<std::string>& names, std::uint32_t position);

private:
    struct Slot {
        std::uint32_t position;
        std::uint32_t hash;
    };
    static std::uint32_t Hash(std::string_view name);
    // Puts slot in the first free place of its probe sequence.
    void Place(const Slot& slot);
    void Grow();

    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

#endif
