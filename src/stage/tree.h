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
};

// Reads every file and directory below root, except relayhive's own working
// files at the top (download/ and autoupdate.ini). False, with a one-line
// reason, when root or something below it cannot be read.
bool ReadReleaseTree(const std::string& root, ReleaseTree* tree, std::string* error);

// Writes each file of staged (paths relative to directory, '/' between
// components) below directory, creating directory and the ones the paths hold.
bool WriteStagedFiles(const std::string& directory, const std::map<std::string, std::string>& staged,
                      std::string* error);

#endif
