// The file operation of an update: copying one staged file into place.
#ifndef RELAYHIVE_UPDATE_TRANSFER_H
#define RELAYHIVE_UPDATE_TRANSFER_H

#include <cstdio>
#include <string>
#include <vector>

#include "update/payload.h"
#include "update/report.h"

// How a copy ended; the numbers are those the classic updater used.
enum TransferResult : int {
    kTransferred = 1,
    // The destination (or scratch file) cannot be created or replaced, or is the scratch file.
    kNotReplaced = -3,
    kWriteFailed = -4,  // a write, the final flush or the close failed
    kReadFailed = -5,
    kNotAsListed = -6,  // the bytes copied are not the file the manifest lists, or could not be digested
};

// Copies source (open "rb"; owned and closed from here on) to destination through the scratch
// file scratchPath beside it: the destination is replaced in one atomic step or, on any failure,
// left exactly as it was, with no scratch file left. A read error and a refused destination are
// reported with sourcePath (may be null). With listed, the bytes copied must be that file, or
// the destination is left as it was.
TransferResult TransferFile(const char* destination, const char* scratchPath, FILE* source, const char* sourcePath,
                            const ListedDigest* listed = nullptr);

#endif
