// The document model: sections, entries, comments and the first-match lookups.
#include "ini/ini_file.h"

#include "common/ascii.h"

CIniFile::CIniFile(const std::string& path) : foldCase(true), path(path) {}

CIniFile::~CIniFile() = default;

std::string CIniFile::FoldCase(const std::string& text) const {
    return foldCase ? ascii::Fold(text) : text;
}

std::uint32_t CIniFile::FindSectionBytes(const char* name, std::size_t length) const {
    return sectionIndex.Find(sectionNames, name, length);
}

std::uint32_t CIniFile::FindEntryBytes(std::uint32_t section, const char* name,
                                       std::size_t length) const {
    if (section >= sections.size()) return npos;
    return entryIndexes[section].Find(sections[section].entryNames, name, length);
}

std::uint32_t CIniFile::FindSection(const std::string& name) const {
    return FindSectionBytes(name.data(), name.size());
}

std::uint32_t CIniFile::FindEntry(std::uint32_t section, const std::string& name) const {
    return FindEntryBytes(section, name.data(), name.size());
}

namespace {

// Grows a list's room ahead of a change, so running out of memory leaves the lists in step.
template <typename List>
void MakeRoom(List& list) {
    if (list.size() == list.capacity()) list.reserve(list.size() * 2 + 1);
}

}  // namespace

std::uint32_t CIniFile::AddSectionBytes(const char* name, std::size_t length) {
    MakeRoom(sectionNames);
    MakeRoom(sections);
    MakeRoom(entryIndexes);
    sectionNames.emplace_back(name, length);
    sections.emplace_back();
    entryIndexes.emplace_back();
    const auto added = static_cast<std::uint32_t>(sectionNames.size() - 1);
    sectionIndex.Added(sectionNames, added);
    return added;
}

std::uint32_t CIniFile::AddSection(const std::string& name) {
    return AddSectionBytes(name.data(), name.size());
}

std::uint32_t CIniFile::FindOrAddSection(const char* name, std::size_t length) {
    const std::uint32_t s = FindSectionBytes(name, length);
    return s != npos ? s : AddSectionBytes(name, length);
}

void CIniFile::StoreEntry(std::uint32_t s, std::uint32_t e, const char* key, std::size_t keyLength,
                          const char* value, std::size_t valueLength) {
    IniSection& target = sections[s];
    if (e != npos) {
        target.entryValues[e].assign(value, valueLength);
        return;
    }
    std::string keyText(key, keyLength);
    std::string valueText(value, valueLength);
    MakeRoom(target.entryNames);
    MakeRoom(target.entryValues);
    target.entryNames.push_back(std::move(keyText));
    target.entryValues.push_back(std::move(valueText));
    entryIndexes[s].AddedUnmatched(target.entryNames,
                                   static_cast<std::uint32_t>(target.entryNames.size() - 1));
}

bool CIniFile::PutValue(const std::string& section, const std::string& key,
                        const std::string& value, bool create) {
    const std::uint32_t s =
        create ? FindOrAddSection(section.data(), section.size()) : FindSection(section);
    if (s == npos) return false;
    const std::uint32_t e = FindEntry(s, key);
    if (e == npos && !create) return false;
    StoreEntry(s, e, key.data(), key.size(), value.data(), value.size());
    return true;
}

std::string CIniFile::LookupValue(const std::string& section, const std::string& key,
                                  const std::string& fallback) const {
    const std::uint32_t s = FindSection(section);
    if (s == npos) return fallback;
    const std::uint32_t e = FindEntry(s, key);
    if (e == npos) return fallback;
    return sections[s].entryValues[e];
}

void CIniFile::AddHeaderComment(const std::string& text) { headerComments.push_back(text); }

bool CIniFile::AddSectionCommentAt(std::uint32_t section, const std::string& text) {
    if (section >= sections.size()) return false;
    sections[section].comments.push_back(text);
    return true;
}

bool CIniFile::AddSectionComment(const std::string& section, const std::string& text) {
    const std::uint32_t s = FindSection(section);
    if (s == npos) return false;
    return AddSectionCommentAt(s, text);
}
