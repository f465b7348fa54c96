#include "ini/name_index.h"

#include "common/ascii.h"

bool NameIndex::NamesMatch(const char* a, std::size_t aLength, const char* b, std::size_t bLength) {
    return ascii::EqualIgnoringCase(std::string_view(a, aLength), std::string_view(b, bLength));
}

std::uint32_t NameIndex::Hash(const char* name, std::size_t length) {
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (std::size_t i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(ascii::FoldByte(name[i]));
        hash *= 16777619u;
    }
    return hash;
}

std::uint32_t NameIndex::Find(const std::vector<std::string>& names, const char* name,
                              std::size_t length) const {
    if (slots_.empty()) return kNone;
    const std::uint32_t hash = Hash(name, length);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (slot.position == kNone) return kNone;
        if (slot.hash == hash) {
            const std::string& stored = names[slot.position];
            if (NamesMatch(stored.data(), stored.size(), name, length)) return slot.position;
        }
    }
}

void NameIndex::Added(const std::vector<std::string>& names, std::uint32_t position) {
    const std::string& name = names[position];
    if (Find(names, name.data(), name.size()) != kNone) return;
    AddedUnmatched(names, position);
}

void NameIndex::AddedUnmatched(const std::vector<std::string>& names, std::uint32_t position) {
    const std::string& name = names[position];
    if ((used_ + 1) * 2 > slots_.size()) Grow();
    const std::uint32_t hash = Hash(name.data(), name.size());
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    while (slots_[i].position != kNone) i = (i + 1) & mask;
    slots_[i] = Slot{position, hash};
    ++used_;
}

void NameIndex::Grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(old.empty() ? 8 : old.size() * 2, Slot{kNone, 0});
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
        if (slot.position == kNone) continue;
        std::size_t i = slot.hash & mask;
        while (slots_[i].position != kNone) i = (i + 1) & mask;
        slots_[i] = slot;
    }
}
