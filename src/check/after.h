// After a run: whether each file the plan copies stands where it should, and if not, why. Pure.
#ifndef RELAYHIVE_CHECK_AFTER_H
#define RELAYHIVE_CHECK_AFTER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "check/installation.h"

// A file's size and content hash (Hash64), or that it could not be read.
struct FileDigest {
    bool read = false;
    std::uint64_t size = 0;
    std::uint64_t hash = 0;
};

enum class Landed {
    kLanded,     // the destination equals the staged file
    kDiffers,    // the destination is there, but not the staged file
    kMissing,    // no destination to read
    kNotCopied,  // the plan refuses the name or finds its path too long
};
const char* LandedLabel(Landed state);  // "landed", "differs", "missing", "not copied"

struct Landing {
    std::size_t step;  // into the plan
    Landed state;
    FileDigest source;
    FileDigest destination;
    std::string reason;  // unless kLanded: the failure the plan predicts, or that it predicts none
};

// One landing for each step that names a file (not the pause); one digest of each kind per step.
std::vector<Landing> Landings(const Installation& installation, const std::vector<FileDigest>& sources,
                              const std::vector<FileDigest>& destinations);

std::size_t NotLanded(const std::vector<Landing>& landings);

#endif
