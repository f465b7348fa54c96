// After a run: whether each file the plan copies stands where it should, and if not, why. Pure.
#ifndef RELAYHIVE_CHECK_AFTER_H
#define RELAYHIVE_CHECK_AFTER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "check/installation.h"
#include "update/run_record.h"

// A file's size and content hash (Hash64), or that it could not be read.
struct FileDigest {
    bool read = false;
    bool present = false;  // the path names something, read or not (a file held open)
    std::uint64_t size = 0;
    std::uint64_t hash = 0;
};

enum class Landed {
    kLanded,     // the destination equals the staged file
    kDiffers,    // the destination is there, but not the staged file
    kMissing,    // no destination there
    kNotCopied,  // the plan refuses the name or finds its path too long
    kUnread,     // a destination is there but cannot be read (held open, no permission)
};
const char* LandedLabel(Landed state);  // "landed", "differs", "missing", "not copied", "unread"

struct Landing {
    std::size_t step;  // into the plan
    Landed state;
    FileDigest source;
    FileDigest destination;
    // Unless kLanded: what the run's record says happened, else the failure the plan predicts,
    // or that it predicts none.
    std::string reason;
};

// One landing for each step that names a file (not the pause); one digest of each kind per step.
// run: the run's record (found false when there is none).
std::vector<Landing> Landings(const Installation& installation, const std::vector<FileDigest>& sources,
                              const std::vector<FileDigest>& destinations, const record::Read& run);

std::size_t NotLanded(const std::vector<Landing>& landings);

#endif
