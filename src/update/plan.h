// The update as a plan: every step the run will take, decided from the
// working directory and the loaded manifest alone, before any file is touched.
#ifndef RELAYHIVE_UPDATE_PLAN_H
#define RELAYHIVE_UPDATE_PLAN_H

#include <string>
#include <vector>

#include "ini/ini_file.h"
#include "update/path_style.h"

// The groups of an update, in the order the run takes them.
enum class PlanGroup { kSkin, kLogo, kManifest, kPause, kMain };
inline constexpr PlanGroup kPlanGroups[] = {PlanGroup::kSkin, PlanGroup::kLogo,
                                            PlanGroup::kManifest, PlanGroup::kPause,
                                            PlanGroup::kMain};

enum class StepKind {
    kCopy,     // copy source to destination
    kRefuse,   // a name that would reach outside the install directory
    kTooLong,  // a path that does not fit its buffer
    kPause,    // the pause before the main file
};

struct PlanStep {
    StepKind kind;
    PlanGroup group;
    std::string name;         // as the manifest gives it
    std::string source;       // download/<name> below the working directory
    std::string destination;  // where the copy lands (kCopy)
    std::string scratch;      // the scratch file beside the destination (kCopy)
    const char* reason;       // why a name is refused (kRefuse), else nullptr
    std::string reported;     // the path a kRefuse or kTooLong report names
};

// The manifest's path, and whether it fits the buffer it is opened from.
struct ManifestPath {
    std::string path;
    bool fits;
};
ManifestPath PlanManifestPath(const std::string& workingDirectory, PathStyle style);

// The steps of one group, in order. lead: the double-byte characters of the
// code page names are read in (Windows).
std::vector<PlanStep> PlanGroupSteps(PlanGroup group, const std::string& workingDirectory,
                                     const CIniFile& manifest, PathStyle style, const LeadBytes& lead);
// The whole update: every group's steps in the run's order.
std::vector<PlanStep> PlanUpdate(const std::string& workingDirectory, const CIniFile& manifest,
                                 PathStyle style, const LeadBytes& lead);

// The manifest section and key a group reads, or nullptr for the fixed groups.
const char* GroupSection(PlanGroup group);
const char* GroupKey(PlanGroup group);

#endif
