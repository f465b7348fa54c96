// How paths are spelt on each platform. Every rule takes a style, so the
// Windows rules run and are tested on any host.
#ifndef RELAYHIVE_UPDATE_PATH_STYLE_H
#define RELAYHIVE_UPDATE_PATH_STYLE_H

#include <cstddef>
#include <string>

enum class PathStyle { kWindows, kPosix };

// The style of the platform this program was built for.
PathStyle NativePathStyle();

// The separator relayhive writes when it forms a path.
char PathSeparator(PathStyle style);
// True for every byte the platform treats as a separator.
bool IsPathSeparator(char c, PathStyle style);
// Size of a path buffer, terminating zero included (MAX_PATH, PATH_MAX).
std::size_t PathBufferSize(PathStyle style);
// Size of the manifest path's buffer: it has room beyond the other paths.
std::size_t ManifestPathBufferSize(PathStyle style);
// True when path, with its terminating zero, fits a path buffer.
bool FitsPathBuffer(const std::string& path, PathStyle style);

// directory + separator + name.
std::string JoinPath(const std::string& directory, const std::string& name, PathStyle style);
// Everything before the last separator ("" when there is none).
std::string DirectoryOf(const std::string& path, PathStyle style);
// The scratch file a copy to destination is written to: same directory, fixed name.
std::string ScratchPathFor(const std::string& destination, PathStyle style);

#endif
