#include "check/manifest_scan.h"

#include <algorithm>

#include "ini/ini_reader.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Records every line the parser reports and hands them to the loader's store until it stops.
class Recorder final : public IniHandler {
public:
    // lines: every line, or nullptr; read and store: the loader's part, or nullptr.
    Recorder(std::vector<ManifestLine>* lines, std::vector<ManifestLine>* read, CIniFile::Store* store)
        : lines_(lines), read_(read), store_(store) {}

    bool Line(const IniLine& line) override {
        ManifestLine recorded = Describe(line);
        if (store_ != nullptr && !stopped_) {
            stopped_ = !store_->Line(line);
            if (!stopped_) read_->push_back(recorded);
        }
        if (lines_ != nullptr) lines_->push_back(std::move(recorded));
        return true;  // the whole file, as if nothing stopped the loader
    }

private:
    ManifestLine Describe(const IniLine& line) {
        ManifestLine described{line.number, line.kind, {}, {}, {}, line.firstByte, false};
        IniLine meant = line;
        if (line.kind == LineKind::kBadFirstByte) {
            described.byteOrderMark = line.text.substr(0, kByteOrderMark.size()) == kByteOrderMark;
            std::string_view rest = line.text.substr(described.byteOrderMark ? kByteOrderMark.size() : 0);
            while (!rest.empty() && static_cast<unsigned char>(rest.front()) < 0x20) rest.remove_prefix(1);
            meant = ClassifyLine(rest);
        }
        described.kind = meant.kind;
        // A header as meant counts for the lines after it, so this section is ours, not the parser's.
        if (meant.kind == LineKind::kSection) section_.assign(meant.section);
        if (meant.kind == LineKind::kSection || meant.kind == LineKind::kEntry) described.section = section_;
        if (meant.kind == LineKind::kEntry) {
            described.key.assign(meant.key);
            described.value.assign(meant.value);
        }
        return described;
    }

    std::vector<ManifestLine>* lines_;
    std::vector<ManifestLine>* read_;
    CIniFile::Store* store_;
    bool stopped_ = false;  // the store has stopped, as the loader does
    std::string section_;
};

}  // namespace

ManifestScan ScanManifest(const std::string& bytes, bool textMode, CIniFile* manifest, LoadOutcome* load) {
    ManifestScan scan;
    const std::size_t end = textMode ? bytes.find('\x1a') : std::string::npos;
    // Only a 0x1A that ends the input makes the whole file longer than what is read.
    const bool apart = end != std::string::npos;
    CIniFile::Store store(manifest);
    Recorder reading(apart ? nullptr : &scan.lines, &scan.read, &store);
    StringReader input(bytes, textMode ? kWindowsText : kAsBytes);
    *load = store.Outcome(ParseIni(&input, &reading));
    if (apart) {
        scan.endOfInputLine = 1 + static_cast<std::uint32_t>(std::count(bytes.data(), bytes.data() + end, '\n'));
        Recorder whole(&scan.lines, nullptr, nullptr);
        StringReader all(bytes, StringMode{true, false});
        ParseIni(&all, &whole);
    }
    return scan;
}
