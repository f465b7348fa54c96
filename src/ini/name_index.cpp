#include "ini/name_index.h"

#include "common/ascii.h"

std::uint32_t NameIndex::Hash(std::string_view name) {
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(ascii::FoldByte(c));
        hash *= 16777619u;
    }
    return hash;
}

std::uint32_t NameIndex::Find(const std::vector<std::string>& names, std::string_view name) const {
    if (slots_.empty()) return kNone;
    const std::uint32_t hash = Hash(name);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (slot.position == kNone) return kNone;
        if (slot.hash == hash && ascii::EqualIgnoringCase(names[slot.position], name)) {
            return slot.position;
        }
    }
}

void NameIndex::Added(const std::vector<std::string>& names, std::uint32_t position) {
    if (Find(names, names[position]) == kNone) AddedUnmatched(names, position);
}

void NameIndex::AddedUnmatched(const std::vector<std::string>& names, std::uint32_t position) {
    if ((used_ + 1) * 2 > slots_.size()) Grow();
    Place(Slot{position, Hash(names[position])});
    ++used_;
}

void NameIndex::Place(const Slot& slot) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = slot.hash & mask;
    while (slots_[i].position != kNone) i = (i + 1) & mask;
    slots_[i] = slot;
}

void NameIndex::Grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(old.empty() ? 8 : old.size() * 2, Slot{kNone, 0});
    for (const Slot& slot : old) {
        if (slot.position != kNone) Place(slot);
    }
}
