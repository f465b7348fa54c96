// The update as a plan: every step, decided from the directory and manifest before any copy.
#ifndef RELAYHIVE_UPDATE_PLAN_H
#define RELAYHIVE_UPDATE_PLAN_H

#include <string>
#include <vector>

#include "common/texts.h"
#include "ini/ini_file.h"
#include "update/path_style.h"

// The groups of an update, in the order the run takes them.
enum class PlanGroup { kSkin, kLogo, kManifest, kPause, kMain };

// What a group reads from the manifest and where its copies land.
struct GroupRule {
    PlanGroup group;
    const char* label;      // how relayhive-check names the group
    const char* section;    // the manifest section it reads; nullptr: it reads none
    const char* key;        // the key it reads there
    const char* directory;  // below the working directory; nullptr: the directory itself
    bool list;              // the value is a comma list, else one name, commas and all
    const char* digestKey;  // its key in the digest section; nullptr: its files have no digests
};

// Every group, in the order the run takes them.
inline constexpr GroupRule kGroupRules[] = {
    {PlanGroup::kSkin, "skin", texts::kSkinSection, texts::kFileListKey, texts::kSkinDirectory, true,
     texts::kSkinDigestKey},
    {PlanGroup::kLogo, "logo", texts::kLogoSection, texts::kFileListKey, texts::kLogoDirectory, true,
     texts::kLogoDigestKey},
    {PlanGroup::kManifest, "manifest", nullptr, nullptr, nullptr, false, nullptr},
    {PlanGroup::kPause, "pause", nullptr, nullptr, nullptr, false, nullptr},
    {PlanGroup::kMain, "main", texts::kMainSection, texts::kMainFileKey, nullptr, false, texts::kMainDigestKey},
};

const GroupRule& RuleOf(PlanGroup group);

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

// The steps of one group, in order; lead: the code page's double-byte characters (Windows).
std::vector<PlanStep> PlanGroupSteps(PlanGroup group, const std::string& workingDirectory,
                                     const CIniFile& manifest, PathStyle style, const LeadBytes& lead);
// The whole update: every group's steps in the run's order.
std::vector<PlanStep> PlanUpdate(const std::string& workingDirectory, const CIniFile& manifest,
                                 PathStyle style, const LeadBytes& lead);

// A group's names as the run takes them: the list split on commas, or one name (to a zero byte).
std::vector<std::string> NamesOf(const GroupRule& rule, const std::string& value);

#endif
