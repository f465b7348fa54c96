// The document model: sections, entries, comments and the first-match lookups.
#include "ini/ini_file.h"

#include "common/ascii.h"


std::uint32_t CIniFile::FindSection(std::string_view name) const {
    return sectionIndex.Find(sectionNames, name);
}

std::uint32_t CIniFile::FindEntry(std::uint32_t section, std::string_view name) const {
    if (section >= sections.size()) return npos;
    return entryIndexes[section].Find(sections[section].entryNames, name);
}

namespace {

// Grows a list's room ahead of a change, so running out of memory leaves the lists in step.
template <typename List>
void MakeRoom(List& list) {
    if (list.size() == list.capacity()) list.reserve(list.size() * 2 + 1);
}

}  // namespace

std::uint32_t CIniFile::AddSection(std::string_view name) {
    MakeRoom(sectionNames);
    MakeRoom(sections);
    MakeRoom(entryIndexes);
    sectionNames.emplace_back(name);
    sections.emplace_back();
    entryIndexes.emplace_back();
    const auto added = static_cast<std::uint32_t>(sectionNames.size() - 1);
    sectionIndex.Added(sectionNames, added);
    return added;
}

std::uint32_t CIniFile::FindOrAddSection(std::string_view name) {
    const std::uint32_t s = FindSection(name);
    return s != npos ? s : AddSection(name);
}

void CIniFile::StoreEntry(std::uint32_t s, std::uint32_t e, std::string_view key,
                          std::string_view value) {
    IniSection& target = sections[s];
    if (e != npos) {
        target.entryValues[e].assign(value);
        return;
    }
    std::string keyText(key);
    std::string valueText(value);
    MakeRoom(target.entryNames);
    MakeRoom(target.entryValues);
    target.entryNames.push_back(std::move(keyText));
    target.entryValues.push_back(std::move(valueText));
    entryIndexes[s].AddedUnmatched(target.entryNames,
                                   static_cast<std::uint32_t>(target.entryNames.size() - 1));
}

bool CIniFile::PutValue(const std::string& section, const std::string& key,
                        const std::string& value, bool create) {
    const std::uint32_t s = create ? FindOrAddSection(section) : FindSection(section);
    if (s == npos) return false;
    const std::uint32_t e = FindEntry(s, key);
    if (e == npos && !create) return false;
    StoreEntry(s, e, key, value);
    return true;
}

std::string CIniFile::LookupValue(const std::string& section, const std::string& key,
                                  const std::string& fallback) const {
    const std::uint32_t s = FindSection(section);
    const std::uint32_t e = FindEntry(s, key);
    return e == npos ? fallback : sections[s].entryValues[e];
}

void CIniFile::AddHeaderComment(const std::string& text) { headerComments.push_back(text); }

bool CIniFile::AddSectionCommentAt(std::uint32_t section, const std::string& text) {
    if (section >= sections.size()) return false;
    sections[section].comments.push_back(text);
    return true;
}

bool CIniFile::AddSectionComment(const std::string& section, const std::string& text) {
    return AddSectionCommentAt(FindSection(section), text);
}
