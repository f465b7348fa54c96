// A release tree as relayhive-stage reads it, and the staged update it writes.
#ifndef RELAYHIVE_STAGE_TREE_H
#define RELAYHIVE_STAGE_TREE_H

#include <map>
#include <set>
#include <string>

// Paths relative to the tree's root, '/' between components, bytes as the host lists them.
struct ReleaseTree {
    std::map<std::string, std::string> files;  // path -> content
    std::set<std::string> directories;
    std::set<std::string> links;  // symbolic links, to files or directories; never followed
};

// A tree path ('/' between components) below root, as the host spells it.
std::string HostPath(const std::string& root, const std::string& relative);

// Reads every file and directory below root, except relayhive's own working
// files at the top (download/ and autoupdate.ini). False, with a one-line
// reason, when root or something below it cannot be read.
bool ReadReleaseTree(const std::string& root, ReleaseTree* tree, std::string* error);

// Writes each file of staged (tree paths) below directory, making the directories they need;
// each takes the permission bits of the file modes names for it (a new client must stay
// executable). The manifest comes last: a run cut short leaves no manifest of a half-written file.
bool WriteStagedFiles(const std::string& directory, const std::map<std::string, std::string>& staged,
                      const std::map<std::string, std::string>& modes, std::string* error);

#endif
