// The proof of a staged update: relayhive's own loader and plan run on a
// simulated copy of OLD with the staged download/ in it, the result compared
// with NEW file by file, and relayhive-check's findings for it. Pure but for contents.
#ifndef RELAYHIVE_STAGE_PROOF_H
#define RELAYHIVE_STAGE_PROOF_H

#include <cstddef>
#include <string>
#include <vector>

#include "check/findings.h"
#include "stage/decide.h"
#include "stage/tree.h"

struct Proof {
    std::size_t compared = 0;              // files of NEW
    // Files and directories where the result is not NEW, in byte order.
    std::vector<std::string> differences;
    std::vector<std::string> defects;      // differences no error accounts for: faults of relayhive-stage
    std::vector<Finding> findings;         // relayhive-check's, for the staged installation
};

// True when the staged update reproduces NEW and nothing stands in its way; strict: nor does a warning.
bool Reproduces(const Staging& staging, const Proof& proof, bool strict);

// base: OLD as InstalledBase gives it; contents compares files that are not the same file of NEW.
// relayhive's own working files (download/ and autoupdate.ini at the top) are left out of the comparison.
Proof ProveStaging(const ReleaseTree& base, const ReleaseTree& release, const Staging& staging,
                   const StageOptions& options, Contents* contents);

#endif
