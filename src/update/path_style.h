// How relayhive forms its paths, and the target it runs as: this build's style and the code
// page in force, read through the OS layer. How a target reads a name is src/target's.
#ifndef RELAYHIVE_UPDATE_PATH_STYLE_H
#define RELAYHIVE_UPDATE_PATH_STYLE_H

#include <string>

#include "target/code_page.h"
#include "target/name.h"

// This build's path style, and the code page names are read in here (UTF-8 on POSIX).
PathStyle NativePathStyle();
CodePage NativeCodePage();
// A code page as this platform's converter reads it; false when the platform has no such one.
bool LoadCodePage(unsigned number, CodePage* codePage);

std::string JoinPath(const std::string& directory, const std::string& name, PathStyle style);
// Everything before the last separator ("" when there is none).
std::string DirectoryOf(const std::string& path, PathStyle style, const CodePage& codePage);
// The scratch file a copy to destination is written to: same directory, fixed name.
std::string ScratchPathFor(const std::string& destination, PathStyle style, const CodePage& codePage);

#endif
