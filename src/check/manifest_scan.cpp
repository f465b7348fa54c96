#include "check/manifest_scan.h"

#include <cstring>

namespace {

// Position of the first ';', '#', '[' or '=' in the line, or its length when none.
std::size_t FindMarker(const std::string& line) {
    const std::size_t p = line.find_first_of(";#[=");
    return p == std::string::npos ? line.size() : p;
}

bool Printable(char c) { return c >= 0x20 && c <= 0x7E; }

ManifestLine Classify(std::uint32_t number, std::string line, const std::string& section) {
    ManifestLine scanned{number, LineKind::kBlank, {}, {}, {}, 0, false, false};
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) return scanned;
    scanned.firstByte = static_cast<signed char>(line[0]);
    scanned.byteOrderMark = line.compare(0, 3, "\xEF\xBB\xBF") == 0;
    if (!Printable(line[0])) {
        scanned.stopsLoader = true;
        std::size_t meant = scanned.byteOrderMark ? 3 : 0;
        while (meant < line.size() && static_cast<unsigned char>(line[meant]) < 0x20) ++meant;
        line.erase(0, meant);
    }
    const std::size_t p = FindMarker(line);
    scanned.kind = LineKind::kIgnored;
    if (p == line.size()) return scanned;
    switch (line[p]) {
        case ';':
        case '#':
            scanned.kind = LineKind::kComment;
            break;
        case '[': {
            const std::size_t q = line.rfind(']');
            if (q == std::string::npos || q < p) break;
            scanned.kind = LineKind::kSection;
            scanned.section = line.substr(p + 1, q - p - 1);
            break;
        }
        default:
            scanned.kind = LineKind::kEntry;
            scanned.section = section;
            scanned.key = line.substr(0, p);
            scanned.value = line.substr(p + 1);
            break;
    }
    return scanned;
}

// Every line of input as the loader splits and classifies it.
std::vector<ManifestLine> SplitLines(const std::string& input, bool textMode) {
    std::vector<ManifestLine> lines;
    std::string section;
    std::size_t start = 0;
    std::uint32_t number = 0;
    // A last line without a line feed counts only when it has bytes.
    while (start < input.size()) {
        const std::size_t newline = input.find('\n', start);
        const std::size_t stop = newline == std::string::npos ? input.size() : newline;
        std::string line = input.substr(start, stop - start);
        // Text mode has already turned this line's CR LF into LF.
        if (textMode && newline != std::string::npos && !line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        ManifestLine scanned = Classify(++number, std::move(line), section);
        if (scanned.kind == LineKind::kSection) section = scanned.section;
        lines.push_back(std::move(scanned));
        if (newline == std::string::npos) break;
        start = newline + 1;
    }
    return lines;
}

}  // namespace

std::string FoldName(const std::string& name) {
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
    }
    return folded;
}

ManifestScan ScanManifest(const std::string& bytes, bool textMode) {
    ManifestScan scan;
    scan.lines = SplitLines(bytes, textMode);
    const std::size_t end = textMode ? bytes.find('\x1a') : std::string::npos;
    if (end == std::string::npos) {
        scan.read = scan.lines;
    } else {
        scan.endOfInputLine = 1;
        for (std::size_t i = 0; i < end; ++i) scan.endOfInputLine += bytes[i] == '\n' ? 1 : 0;
        scan.read = SplitLines(bytes.substr(0, end), textMode);
    }
    for (std::size_t i = 0; i < scan.read.size(); ++i) {
        if (scan.read[i].stopsLoader) {
            scan.stopLine = scan.read[i].number;
            scan.read.resize(i);
            break;
        }
    }
    return scan;
}
