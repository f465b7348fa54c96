// The file calls each platform's file gives os_common.cpp; included only inside src/os/.
#ifndef RELAYHIVE_OS_OS_PLATFORM_H
#define RELAYHIVE_OS_OS_PLATFORM_H

#include <cstdint>
#include <cstdio>

#include "os/os.h"

namespace os::platform {

bool Inspect(const char* path, FileFacts* facts);
bool InspectSource(FILE* source, FileFacts* facts);
FILE* CreateExclusive(const char* path, const FileFacts& like);
bool TakeOwner(FILE* stream, const FileFacts& like);
bool TakeMode(FILE* stream, unsigned mode);
bool SameFile(FILE* stream, const char* path);
bool FlushToDisk(FILE* stream);
bool MoveIntoPlace(const char* scratchPath, const char* destination);
bool FlushDirectory(const char* directory);
bool Remove(const char* path);
// True when each copied file must be flushed as it closes: no flush of a whole file system here.
extern const bool kFlushEachCopy;
// Asks the system to start writing what stream holds to disk, without waiting: the flush at the
// end then finds less to wait for. A hint only: its failure changes nothing.
void StartWriteBack(FILE* stream);
// The size of the open file, 64-bit on every build.
bool SizeOf(FILE* stream, std::uint64_t* size);

}  // namespace os::platform

#endif
