// CIniFile: an INI file in memory (sections, entries, comments), looked up ignoring ASCII case.
#ifndef RELAYHIVE_INI_INI_FILE_H
#define RELAYHIVE_INI_INI_FILE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ini/ini_parser.h"
#include "ini/name_index.h"

// Why the last Load stopped.
enum class LoadStop {
    kEnd,           // read to the end of the file (or to a read error)
    kNotOpened,     // the file could not be opened
    kBadFirstByte,  // a non-empty line did not start with printable ASCII
    kOutOfMemory,   // memory ran out; what came before stays loaded
};

struct LoadOutcome {
    bool loaded = false;      // what Load returns
    LoadStop stop = LoadStop::kEnd;
    std::uint32_t line = 0;   // 1-based line of the failing byte (kBadFirstByte)
    int byte = 0;             // that byte as a signed 8-bit value
};

// The console line of a load that failed on a line's first byte; nothing otherwise.
void ShowLoadFailure(const LoadOutcome& outcome);

struct IniSection {
    std::vector<std::string> entryNames;
    std::vector<std::string> entryValues;
    std::vector<std::string> comments;
};

class CIniFile {
public:
    static constexpr std::uint32_t npos = NameIndex::kNone;

    // Stores the parser's lines as Load does: headers through AddSection, each entry under the
    // first section of its header's name (made when there is none); it stops at a failing line.
    class Store final : public IniHandler {
    public:
        explicit Store(CIniFile* document) : document_(document) {}
        bool Line(const IniLine& line) override;
        // The load's outcome once the parse has ended as end says.
        LoadOutcome Outcome(ParseEnd end) const;

    private:
        CIniFile* document_;
        // FindSection(the current section) once known: sections are only appended, so it holds.
        std::uint32_t sectionIndex_ = npos;
        LoadOutcome failure_;
    };

    explicit CIniFile(const std::string& path) : path(path) {}

    // Loads path and shows the load's console line; the outcome also in *outcome when given.
    bool Load(LoadOutcome* outcome = nullptr);
    // Load without its console line, telling where and why it stopped.
    LoadOutcome LoadQuietly();
    // The same from any reader instead of the file at path.
    LoadOutcome LoadQuietly(IniReader* reader);

    std::uint32_t FindSection(std::string_view name) const;
    // npos for a section that does not exist.
    std::uint32_t FindEntry(std::uint32_t section, std::string_view name) const;
    std::uint32_t AddSection(std::string_view name);
    bool PutValue(const std::string& section, const std::string& key, const std::string& value,
                  bool create);
    std::string LookupValue(const std::string& section, const std::string& key,
                            const std::string& fallback) const;
    void AddHeaderComment(const std::string& text);
    bool AddSectionCommentAt(std::uint32_t section, const std::string& text);
    bool AddSectionComment(const std::string& section, const std::string& text);

    const std::vector<std::string>& SectionNames() const { return sectionNames; }
    const std::vector<IniSection>& Sections() const { return sections; }
    const std::vector<std::string>& HeaderComments() const { return headerComments; }

private:
    std::uint32_t FindOrAddSection(std::string_view name);
    // Replaces the value of entry e of section s, or appends the entry when e is npos.
    void StoreEntry(std::uint32_t s, std::uint32_t e, std::string_view key, std::string_view value);

    std::string path;
    std::vector<IniSection> sections;
    std::vector<std::string> sectionNames;
    std::vector<std::string> headerComments;

    // Indexes over the lists above: they speed up first-match searches, never change their answer.
    NameIndex sectionIndex;
    std::vector<NameIndex> entryIndexes;  // one per section
};

#endif
