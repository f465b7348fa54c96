#include "update/path_style.h"

#include "common/texts.h"
#include "os/os.h"

namespace {

// A double-byte character can hide a '\' in its trail byte: only a forward scan finds each start.
std::size_t LastSeparator(const std::string& path, PathStyle style, const CodePage& codePage) {
    std::size_t last = std::string::npos;
    for (std::size_t i = 0; i < path.size(); i += CharacterLength(path, i, style, codePage)) {
        if (IsPathSeparator(path[i], style)) last = i;
    }
    return last;
}

}  // namespace

PathStyle NativePathStyle() { return os::kWindowsPaths ? PathStyle::kWindows : PathStyle::kPosix; }

CodePage NativeCodePage() {
    CodePage codePage;
    return LoadCodePage(os::AnsiCodePage(), &codePage) ? codePage : CodePage();
}

bool LoadCodePage(unsigned number, CodePage* codePage) {
    if (number == kUtf8CodePage) {
        *codePage = CodePage();
        return true;
    }
    // Each byte alone, then each lead byte with every byte after it.
    std::vector<std::string> sequences;
    for (unsigned byte = 0; byte < 256; ++byte) sequences.emplace_back(1, static_cast<char>(byte));
    CodePageChart chart;
    if (!os::DecodeEach(number, sequences, &chart.singles)) return false;
    sequences.clear();
    for (unsigned lead = 0; lead < 256; ++lead) {
        for (unsigned trail = 0; trail < 256; ++trail) {
            const bool opens = chart.singles[lead] == kOpensPair;
            sequences.push_back(opens ? std::string{static_cast<char>(lead), static_cast<char>(trail)} : std::string());
        }
    }
    if (!os::DecodeEach(number, sequences, &chart.pairs)) return false;
    *codePage = CodePage::FromChart(number, chart);
    return true;
}

std::string JoinPath(const std::string& directory, const std::string& name, PathStyle style) {
    return directory + PathSeparator(style) + name;
}

std::string DirectoryOf(const std::string& path, PathStyle style, const CodePage& codePage) {
    const std::size_t last = LastSeparator(path, style, codePage);
    return last == std::string::npos ? std::string() : path.substr(0, last);
}

std::string ScratchPathFor(const std::string& destination, PathStyle style, const CodePage& codePage) {
    const std::size_t last = LastSeparator(destination, style, codePage);
    const std::size_t keep = last == std::string::npos ? 0 : last + 1;
    return destination.substr(0, keep) + texts::kScratchName;
}
