#include "update/path_style.h"

#include "common/texts.h"
#include "os/os.h"

namespace {

// MAX_PATH; PATH_MAX on Linux.
constexpr std::size_t kWindowsPathBuffer = 260;
constexpr std::size_t kPosixPathBuffer = 4096;
constexpr std::size_t kWindowsManifestPathBuffer = 1024;

// A double-byte character can hide a '\' in its trail byte: only a forward scan finds each start.
std::size_t LastSeparator(const std::string& path, PathStyle style, const LeadBytes& lead) {
    std::size_t last = std::string::npos;
    for (std::size_t i = 0; i < path.size(); i += CharacterLength(path.data(), path.size(), i, style, lead)) {
        if (IsPathSeparator(path[i], style)) last = i;
    }
    return last;
}

}  // namespace

LeadBytes LeadBytes::FromRanges(const unsigned char* ranges, std::size_t size) {
    LeadBytes lead;
    for (std::size_t i = 0; i + 1 < size && (ranges[i] != 0 || ranges[i + 1] != 0); i += 2) {
        for (unsigned byte = ranges[i]; byte <= ranges[i + 1]; ++byte) {
            lead.bits_[byte >> 5] |= 1u << (byte & 31);
        }
    }
    return lead;
}

LeadBytes LeadBytes::Gbk() {
    static const unsigned char kRanges[] = {0x81, 0xFE};
    return FromRanges(kRanges, sizeof kRanges);
}

PathStyle NativePathStyle() { return os::kWindowsPaths ? PathStyle::kWindows : PathStyle::kPosix; }

LeadBytes NativeLeadBytes() {
    unsigned char ranges[12];
    os::AnsiLeadByteRanges(ranges, sizeof ranges);
    return LeadBytes::FromRanges(ranges, sizeof ranges);
}

char PathSeparator(PathStyle style) { return style == PathStyle::kWindows ? '\\' : '/'; }

bool IsPathSeparator(char c, PathStyle style) {
    return c == '/' || (style == PathStyle::kWindows && c == '\\');
}

std::size_t CharacterLength(const char* text, std::size_t length, std::size_t i, PathStyle style,
                            const LeadBytes& lead) {
    const bool wide = style == PathStyle::kWindows && lead.Leads(static_cast<unsigned char>(text[i]));
    return wide && i + 1 < length && text[i + 1] != '\0' ? 2 : 1;
}

std::size_t PathBufferSize(PathStyle style) {
    return style == PathStyle::kWindows ? kWindowsPathBuffer : kPosixPathBuffer;
}

std::size_t ManifestPathBufferSize(PathStyle style) {
    // A path the system cannot open is not formed: on Linux that is PATH_MAX.
    return style == PathStyle::kWindows ? kWindowsManifestPathBuffer : kPosixPathBuffer;
}

bool FitsPathBuffer(const std::string& path, PathStyle style) {
    return path.size() < PathBufferSize(style);
}

std::string JoinPath(const std::string& directory, const std::string& name, PathStyle style) {
    return directory + PathSeparator(style) + name;
}

std::string DirectoryOf(const std::string& path, PathStyle style, const LeadBytes& lead) {
    const std::size_t last = LastSeparator(path, style, lead);
    return last == std::string::npos ? std::string() : path.substr(0, last);
}

std::string ScratchPathFor(const std::string& destination, PathStyle style, const LeadBytes& lead) {
    const std::size_t last = LastSeparator(destination, style, lead);
    const std::size_t keep = last == std::string::npos ? 0 : last + 1;
    return destination.substr(0, keep) + texts::kScratchName;
}
