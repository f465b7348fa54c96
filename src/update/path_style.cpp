#include "update/path_style.h"

#include "common/texts.h"

namespace {

// MAX_PATH; PATH_MAX on Linux.
constexpr std::size_t kWindowsPathBuffer = 260;
constexpr std::size_t kPosixPathBuffer = 4096;
constexpr std::size_t kWindowsManifestPathBuffer = 1024;

std::size_t LastSeparator(const std::string& path, PathStyle style) {
    for (std::size_t i = path.size(); i > 0; --i) {
        if (IsPathSeparator(path[i - 1], style)) return i - 1;
    }
    return std::string::npos;
}

}  // namespace

PathStyle NativePathStyle() {
#if defined(_WIN32)
    return PathStyle::kWindows;
#else
    return PathStyle::kPosix;
#endif
}

char PathSeparator(PathStyle style) { return style == PathStyle::kWindows ? '\\' : '/'; }

bool IsPathSeparator(char c, PathStyle style) {
    return c == '/' || (style == PathStyle::kWindows && c == '\\');
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
    std::string path;
    path.reserve(directory.size() + 1 + name.size());
    path += directory;
    path += PathSeparator(style);
    path += name;
    return path;
}

std::string DirectoryOf(const std::string& path, PathStyle style) {
    const std::size_t last = LastSeparator(path, style);
    return last == std::string::npos ? std::string() : path.substr(0, last);
}

std::string ScratchPathFor(const std::string& destination, PathStyle style) {
    const std::size_t last = LastSeparator(destination, style);
    const std::size_t keep = last == std::string::npos ? 0 : last + 1;
    return destination.substr(0, keep) + texts::kScratchName;
}
