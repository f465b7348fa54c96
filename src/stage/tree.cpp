#include "stage/tree.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "common/texts.h"
#include "os/os.h"
#include "stage/decide.h"
#include "update/path_style.h"

namespace {

// Links are never followed, so only a tree this deep is refused.
constexpr int kTreeDepth = 256;

// "<path>: <why>" for the failure errno names.
std::string Failure(const std::string& path, const char* what) {
    return path + ": " + what + os::ErrorMessage(errno);
}

// False, with "<path>: <why errno gives>".
bool Failed(const std::string& path, std::string* error) {
    *error = Failure(path, "");
    return false;
}

// The size of a file, opened to show it can be read; false, with why, when it cannot.
bool SizeOfReadable(const std::string& path, std::uint64_t* size, std::string* error) {
    os::InputFile file;
    bool irregular = false;
    if (!file.Open(path.c_str(), &irregular)) {
        *error = irregular ? path + ": " + texts::kNotRegularFile : Failure(path, "cannot read the file: ");
        return false;
    }
    *size = file.size();
    return true;
}

bool ReadBelow(const std::string& host, const std::string& relative, int depth, ReleaseTree* tree,
               std::string* error) {
    std::vector<os::DirectoryEntry> entries;
    if (depth > kTreeDepth) {
        *error = host + ": deeper than " + std::to_string(kTreeDepth) + " directories";
        return false;
    }
    if (!os::ListDirectory(host.c_str(), &entries)) {
        *error = Failure(host, "cannot list the directory: ");
        return false;
    }
    for (const os::DirectoryEntry& entry : entries) {
        if (relative.empty() && (entry.name == texts::kStagingDirectory || entry.name == texts::kManifestName)) {
            continue;  // relayhive's own working files, not part of a release
        }
        const std::string path = relative.empty() ? entry.name : relative + "/" + entry.name;
        const std::string full = JoinPath(host, entry.name, NativePathStyle());
        // Windows lists a character the code page lacks as '?', which no Windows name holds.
        if (os::kWindowsPaths && entry.name.find('?') != std::string::npos) {
            *error = full + ": the name holds a character the code page cannot spell (shown as '?')";
            return false;
        }
        if (entry.link) {
            tree->links.insert(path);
        } else if (entry.directory) {
            tree->directories.insert(path);
            if (!ReadBelow(full, path, depth + 1, tree, error)) return false;
        } else {
            std::uint64_t size = 0;
            if (!SizeOfReadable(full, &size, error)) return false;
            tree->files.Add(path, size);
        }
    }
    return true;
}

}  // namespace

void FileSizes::Sort() {
    std::sort(entries_.begin(), entries_.end());
    entries_.shrink_to_fit();
}

FileSizes::const_iterator FileSizes::find(const std::string& path) const {
    const auto found = std::lower_bound(entries_.begin(), entries_.end(), path,
                                        [](const Entry& entry, const std::string& key) { return entry.first < key; });
    return found != entries_.end() && found->first == path ? found : entries_.end();
}

bool HostContents::Same(const ReleaseTree& a, const std::string& pathA, const ReleaseTree& b,
                        const std::string& pathB) {
    const auto sizeA = a.files.find(pathA);
    const auto sizeB = b.files.find(pathB);
    if (sizeA == a.files.end() || sizeB == b.files.end() || sizeA->second != sizeB->second) return false;
    // Asked again by the proof for each file the update leaves as it is: read once.
    const bool onePath = pathA == pathB;
    if (onePath && same_.count({&a, &b, &sizeB->first}) != 0) return true;
    const std::string hostA = HostPath(a.root, pathA);
    const std::string hostB = HostPath(b.root, pathB);
    bool same = false;
    if (!os::CompareFiles(hostA.c_str(), hostB.c_str(), &same) && error_.empty()) {
        const int failure = errno;
        const std::string& unread = os::OpensForReading(hostA.c_str()) ? hostB : hostA;
        errno = failure;
        error_ = Failure(unread, "cannot read the file: ");
    }
    if (onePath && same) same_.emplace(&a, &b, &sizeB->first);
    return same;
}

std::string HostPath(const std::string& root, const std::string& relative) {
    std::string path = relative;
    std::replace(path.begin(), path.end(), '/', PathSeparator(NativePathStyle()));
    return JoinPath(root, path, NativePathStyle());
}

bool ReadReleaseTree(const std::string& root, ReleaseTree* tree, std::string* error) {
    if (os::KindOfPath(root.c_str()) != os::PathKind::kDirectory) {
        *error = root + ": not a directory";
        return false;
    }
    tree->root = root;
    if (!ReadBelow(root, "", 0, tree, error)) return false;
    tree->files.Sort();
    return true;
}

bool CopyStagedFiles(const std::string& download, const Staging& staging, const ReleaseTree& release,
                     const StageOptions& options, bool* made, std::vector<os::FileDigest256>* digests, std::string* error) {
    *made = os::MakeDirectory(download.c_str());
    if (!*made) return Failed(download, error);
    std::set<std::string> directories;  // made below download/ already
    digests->assign(staging.files.size(), os::FileDigest256{});
    for (std::size_t i = 0; i < staging.files.size(); ++i) {
        const StagedFile& file = staging.files[i];
        const std::string relative = SpeltOnDisk(file.staged, options);  // '/' is never part of a character
        for (std::size_t slash = relative.find('/'); slash != std::string::npos;
             slash = relative.find('/', slash + 1)) {
            const std::string parent = HostPath(download, relative.substr(0, slash));
            if (directories.count(parent) == 0 && !os::MakeDirectory(parent.c_str())) return Failed(parent, error);
            directories.insert(parent);
        }
        const std::string from = HostPath(release.root, file.file);
        const std::string path = HostPath(download, relative);
        bool readFailed = false;
        if (!os::CopyToNewFile(from.c_str(), path.c_str(), &(*digests)[i], &readFailed)) {
            return Failed(readFailed ? from : path, error);
        }
        const auto listed = release.files.find(file.file);
        if (listed == release.files.end() || listed->second != (*digests)[i].size) {
            *error = from + ": changed while it was staged";
            return false;
        }
    }
    // Each staged file and the names of download/'s directories made durable, before a manifest can list them.
    return os::FlushWrittenFiles(download.c_str()) || Failed(download, error);
}

bool WriteManifest(const std::string& download, const std::string& manifest, std::string* error) {
    const std::string scratch = HostPath(download, texts::kScratchName);
    const std::string path = HostPath(download, texts::kManifestName);
    if (!os::WriteNewFile(scratch.c_str(), manifest)) return Failed(scratch, error);
    if (!os::fileCalls.flushDirectory(download.c_str())) return Failed(download, error);
    if (!os::fileCalls.moveIntoPlace(scratch.c_str(), path.c_str())) return Failed(path, error);
    return os::fileCalls.flushDirectory(download.c_str()) || Failed(download, error);
}
