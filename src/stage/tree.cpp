#include "stage/tree.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "common/texts.h"
#include "os/os.h"
#include "update/path_style.h"

namespace {

// Links are never followed, so only a tree this deep is refused.
constexpr int kTreeDepth = 256;

bool ReadBelow(const std::string& host, const std::string& relative, int depth, ReleaseTree* tree,
               std::string* error) {
    std::vector<os::DirectoryEntry> entries;
    if (depth > kTreeDepth) {
        *error = host + ": deeper than " + std::to_string(kTreeDepth) + " directories";
        return false;
    }
    if (!os::ListDirectory(host.c_str(), &entries)) {
        *error = host + ": cannot list the directory: " + os::ErrorMessage(errno);
        return false;
    }
    for (const os::DirectoryEntry& entry : entries) {
        if (relative.empty() && (entry.name == texts::kStagingDirectory || entry.name == texts::kManifestName)) {
            continue;  // relayhive's own working files, not part of a release
        }
        const std::string path = relative.empty() ? entry.name : relative + "/" + entry.name;
        const std::string full = JoinPath(host, entry.name, NativePathStyle());
        if (entry.link) {
            tree->links.insert(path);
        } else if (entry.directory) {
            tree->directories.insert(path);
            if (!ReadBelow(full, path, depth + 1, tree, error)) return false;
        } else if (!os::ReadWholeFile(full.c_str(), &tree->files[path])) {
            *error = full + ": cannot read the file";
            return false;
        }
    }
    return true;
}

}  // namespace

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
    return ReadBelow(root, "", 0, tree, error);
}

bool WriteStagedFiles(const std::string& directory, const std::map<std::string, std::string>& staged,
                      const std::map<std::string, std::string>& modes, std::string* error) {
    auto fail = [&](const std::string& path) {
        *error = path + ": " + os::ErrorMessage(errno);
        return false;
    };
    if (!os::MakeDirectory(directory.c_str())) return fail(directory);
    std::vector<std::pair<std::string, std::string>> ordered(staged.begin(), staged.end());
    std::stable_partition(ordered.begin(), ordered.end(),
                          [](const auto& file) { return file.first != texts::kManifestName; });
    for (const auto& [relative, bytes] : ordered) {
        for (std::size_t slash = relative.find('/'); slash != std::string::npos;
             slash = relative.find('/', slash + 1)) {
            const std::string parent = HostPath(directory, relative.substr(0, slash));
            if (!os::MakeDirectory(parent.c_str())) return fail(parent);
        }
        const std::string path = HostPath(directory, relative);
        if (!os::WriteWholeFile(path.c_str(), bytes)) return fail(path);
        const auto mode = modes.find(relative);
        if (mode != modes.end() && !os::CopyPermissions(mode->second.c_str(), path.c_str())) return fail(path);
    }
    return true;
}
