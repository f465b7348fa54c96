// The part of the OS layer both platforms share: the C runtime's streams,
// and the table of file calls every copy goes through.
#include <cstring>

#include "os/os.h"
#include "os/os_platform.h"

namespace os {

namespace {

FILE* OpenStaged(const char* path, bool* irregular) { return OpenRegularFile(path, "rb", irregular); }

long Read(FILE* stream, char* buffer, std::size_t size) {
    const std::size_t got = std::fread(buffer, 1, size, stream);
    if (got == 0 && std::ferror(stream)) return -1;
    return static_cast<long>(got);
}

bool Write(FILE* stream, const char* buffer, std::size_t size) {
    return std::fwrite(buffer, 1, size, stream) == size;
}

bool Close(FILE* stream) { return std::fclose(stream) == 0; }

}  // namespace

FileCalls PlatformFileCalls() {
    FileCalls calls{};
    calls.openStaged = OpenStaged;
    calls.openReplacement = platform::OpenReplacement;
    calls.sameFile = platform::SameFile;
    calls.read = Read;
    calls.write = Write;
    calls.flushToDisk = platform::FlushToDisk;
    calls.close = Close;
    calls.moveIntoPlace = platform::MoveIntoPlace;
    calls.flushDirectory = platform::FlushDirectory;
    calls.remove = platform::Remove;
    return calls;
}

FileCalls fileCalls = PlatformFileCalls();

bool OpensForReading(const char* path) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

bool ReadWholeFile(const char* path, std::string* bytes) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    bytes->clear();
    char block[16 * 1024];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) bytes->append(block, got);
    const bool read = std::ferror(file) == 0;
    std::fclose(file);
    return read;
}

}  // namespace os
