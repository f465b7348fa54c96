// A release tree as relayhive-stage reads it, and the staged update it writes.
// Files are known by path and size; their bytes are read only to compare and copy them.
#ifndef RELAYHIVE_STAGE_TREE_H
#define RELAYHIVE_STAGE_TREE_H

#include <cstdint>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "os/os.h"

// Each file's path and size in bytes, in byte order of path: a sorted vector, which holds a
// hundred thousand files in a third less memory than a map.
class FileSizes {
public:
    using Entry = std::pair<std::string, std::uint64_t>;
    using const_iterator = std::vector<Entry>::const_iterator;

    // In any order, each path once; Sort, once all are in, puts them in order for find.
    void Add(std::string path, std::uint64_t size) { entries_.emplace_back(std::move(path), size); }
    void Sort();
    const_iterator find(const std::string& path) const;
    std::size_t count(const std::string& path) const { return find(path) == end() ? 0 : 1; }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

private:
    std::vector<Entry> entries_;
};

// Paths relative to the tree's root, '/' between components, bytes as the host lists them.
struct ReleaseTree {
    std::string root;  // where the files are on the host; "" for none
    FileSizes files;
    std::set<std::string> directories;
    std::set<std::string> links;  // symbolic links, to files or directories; never followed
};

// Whether a file of one tree holds the same bytes as a file of another.
class Contents {
public:
    virtual bool Same(const ReleaseTree& a, const std::string& pathA, const ReleaseTree& b,
                      const std::string& pathB) = 0;

protected:
    ~Contents() = default;
};

// Files compared on the host block by block, after their sizes; a pair at one path is read once.
class HostContents final : public Contents {
public:
    bool Same(const ReleaseTree& a, const std::string& pathA, const ReleaseTree& b,
              const std::string& pathB) override;
    // The first file that could not be read, with why; "" when all could.
    const std::string& error() const { return error_; }

private:
    // Pairs at one path found the same: the trees, and the path as the second tree holds it.
    std::set<std::tuple<const ReleaseTree*, const ReleaseTree*, const std::string*>> same_;
    std::string error_;
};

// A tree path ('/' between components) below root, as the host spells it.
std::string HostPath(const std::string& root, const std::string& relative);

// Lists every file and directory below root, except relayhive's own working
// files at the top (download/ and autoupdate.ini); each file is opened once to
// show it can be read. False, with a one-line reason, when something cannot be.
bool ReadReleaseTree(const std::string& root, ReleaseTree* tree, std::string* error);

struct Staging;
struct StageOptions;

// Copies each staged file from release into download, which must not exist, with its permission
// bits (a new client must stay executable), taking the size and SHA-256 of each as it is copied
// (digests, in staging.files' order); then makes them and download/'s names durable. *made:
// download was made.
bool CopyStagedFiles(const std::string& download, const Staging& staging, const ReleaseTree& release,
                     const StageOptions& options,
                     bool* made, std::vector<os::FileDigest256>* digests, std::string* error);

// Writes the manifest into download last, through a scratch file flushed and renamed into place:
// a run cut short at any point leaves no manifest that lists a file that is not whole.
bool WriteManifest(const std::string& download, const std::string& manifest, std::string* error);

#endif
