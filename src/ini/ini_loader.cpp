// CIniFile::Load: the parser's lines stored into the document, in one pass.
#include <cstdio>

#include "common/texts.h"
#include "ini/ini_file.h"
#include "ini/ini_reader.h"
#include "os/os.h"

bool CIniFile::Store::Line(const IniLine& line) {
    CIniFile& document = *document_;
    switch (line.kind) {
        case LineKind::kBadFirstByte:
            failure_.stop = LoadStop::kBadFirstByte;
            failure_.line = line.number;
            failure_.byte = line.firstByte;
            return false;
        case LineKind::kComment:
            if (document.sectionNames.empty()) {
                document.AddHeaderComment(std::string(line.value));
                break;
            }
            // A comment under a section that does not exist (yet) is dropped.
            if (sectionIndex_ == npos) sectionIndex_ = document.FindSection(line.section);
            document.AddSectionCommentAt(sectionIndex_, std::string(line.value));
            break;
        case LineKind::kSection:
            document.AddSection(line.section);
            sectionIndex_ = document.FindSection(line.section);
            break;
        case LineKind::kEntry:
            // What PutValue(section, key, value, true) does, the section looked up once.
            if (sectionIndex_ == npos) sectionIndex_ = document.FindOrAddSection(line.section);
            document.StoreEntry(sectionIndex_, document.FindEntry(sectionIndex_, line.key),
                                line.key, line.value);
            break;
        case LineKind::kBlank:
        case LineKind::kIgnored:
            break;
    }
    return true;
}

LoadOutcome CIniFile::Store::Outcome(ParseEnd end) const {
    LoadOutcome outcome = failure_;
    // Memory that runs out keeps what was stored before, and fails the load like a bad line.
    if (end == ParseEnd::kOutOfMemory && outcome.stop == LoadStop::kEnd) outcome.stop = LoadStop::kOutOfMemory;
    outcome.loaded = outcome.stop == LoadStop::kEnd && !document_->sectionNames.empty();
    return outcome;
}

LoadOutcome CIniFile::LoadQuietly(IniReader* reader) {
    Store store(this);
    return store.Outcome(ParseIni(reader, &store));
}

LoadOutcome CIniFile::LoadQuietly() {
    // Opened without denying others access, in text mode where the runtime has one (CR LF as LF,
    // 0x1A ends the input); a pipe or a device in its place does not open, so is never waited on.
    bool irregular = false;
    std::FILE* file = os::OpenRegularFile(path.c_str(), os::kTextReadMode, &irregular);
    if (file == nullptr) {
        LoadOutcome notOpened;
        notOpened.stop = LoadStop::kNotOpened;
        return notOpened;
    }
    // The parser reads in whole blocks of its own: the stream needs no buffer of its own.
    std::setvbuf(file, nullptr, _IONBF, 0);
    FileReader reader(file);
    const LoadOutcome outcome = LoadQuietly(&reader);
    std::fclose(file);
    return outcome;
}

void ShowLoadFailure(const LoadOutcome& outcome) {
    if (outcome.stop == LoadStop::kBadFirstByte) std::printf(texts::kLoadFailureFormat, outcome.byte);
}

bool CIniFile::Load(LoadOutcome* outcome) {
    const LoadOutcome load = LoadQuietly();
    ShowLoadFailure(load);
    if (outcome != nullptr) *outcome = load;
    return load.loaded;
}
