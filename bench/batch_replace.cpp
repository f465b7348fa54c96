// The batch reference for replacing many files durably, as git does it: every
// file is written to a temporary name beside its destination and flushed,
// then all are renamed into place, then the directory is flushed once.
//   batch_replace DIR SOURCE...   replaces DIR/<base name of each SOURCE>
// Goes through relayhive's own file calls, so only the order of the flushes
// and renames differs.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "os/os.h"
#include "update/transfer.h"

namespace {

constexpr std::size_t kChunk = 2048;  // relayhive's own chunk

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Copies source to scratch and flushes it to disk; false (reported) on failure.
bool WriteFlushed(const std::string& source, const std::string& scratch, const std::string& destination,
                  std::vector<char>* chunk) {
    const os::FileCalls& calls = os::fileCalls;
    bool irregular = false;
    FILE* in = calls.openStaged(source.c_str(), &irregular);
    if (in == nullptr) {
        ReportError(source.c_str());
        return false;
    }
    os::FailedPath failed;
    FILE* out = calls.openReplacement(scratch.c_str(), destination.c_str(), in, &failed);
    if (out == nullptr) {
        ReportError(scratch.c_str());
        calls.close(in);
        return false;
    }
    // The same stream buffers as relayhive's copy, so the system sees the same reads and writes.
    if (os::kCopyStreamBufferSize != 0) {
        static std::vector<char> buffers(2 * os::kCopyStreamBufferSize);
        std::setvbuf(in, buffers.data(), _IOFBF, os::kCopyStreamBufferSize);
        std::setvbuf(out, buffers.data() + os::kCopyStreamBufferSize, _IOFBF, os::kCopyStreamBufferSize);
    }
    bool ok = true;
    for (long got; ok && (got = calls.read(in, chunk->data(), chunk->size())) != 0;) {
        ok = got > 0 && calls.write(out, chunk->data(), static_cast<std::size_t>(got));
    }
    ok = ok && calls.flushToDisk(out);
    ok = calls.close(out) && ok;
    calls.close(in);
    if (!ok) {
        ReportError(scratch.c_str());
        calls.remove(scratch.c_str());
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: batch_replace DIR SOURCE...\n", stderr);
        return 2;
    }
    const std::string directory = argv[1];
    std::vector<std::string> scratches, destinations;
    std::vector<char> chunk(kChunk);
    for (int i = 2; i < argc; ++i) {
        const std::string destination = directory + "/" + BaseName(argv[i]);
        const std::string scratch = directory + "/.batch" + std::to_string(i - 2) + ".tmp";
        if (!WriteFlushed(argv[i], scratch, destination, &chunk)) return 1;
        scratches.push_back(scratch);
        destinations.push_back(destination);
    }
    for (std::size_t i = 0; i < scratches.size(); ++i) {
        if (!os::fileCalls.moveIntoPlace(scratches[i].c_str(), destinations[i].c_str())) {
            ReportError(destinations[i].c_str());
            return 1;
        }
    }
    if (!os::fileCalls.flushDirectory(directory.c_str())) {
        ReportError(directory.c_str());
        return 1;
    }
    return 0;
}
