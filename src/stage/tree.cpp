#include "stage/tree.h"

#include <cerrno>
#include <vector>

#include "common/texts.h"
#include "os/os.h"
#include "update/path_style.h"

namespace {

// Deeper than this a tree is taken for a link loop.
constexpr int kTreeDepth = 32;

bool ReadBelow(const std::string& host, const std::string& relative, int depth, ReleaseTree* tree,
               std::string* error) {
    std::vector<os::DirectoryEntry> entries;
    if (depth > kTreeDepth || !os::ListDirectory(host.c_str(), &entries)) {
        *error = host + ": cannot list the directory";
        return false;
    }
    for (const os::DirectoryEntry& entry : entries) {
        if (relative.empty() && (entry.name == texts::kStagingDirectory || entry.name == texts::kManifestName)) {
            continue;  // relayhive's own working files, not part of a release
        }
        const std::string path = relative.empty() ? entry.name : relative + "/" + entry.name;
        const std::string full = JoinPath(host, entry.name, NativePathStyle());
        if (entry.directory) {
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

bool ReadReleaseTree(const std::string& root, ReleaseTree* tree, std::string* error) {
    if (os::KindOfPath(root.c_str()) != os::PathKind::kDirectory) {
        *error = root + ": not a directory";
        return false;
    }
    return ReadBelow(root, "", 0, tree, error);
}

bool WriteStagedFiles(const std::string& directory, const std::map<std::string, std::string>& staged,
                      std::string* error) {
    const PathStyle host = NativePathStyle();
    auto fail = [&](const std::string& path) {
        *error = path + ": " + os::ErrorMessage(errno);
        return false;
    };
    if (!os::MakeDirectory(directory.c_str())) return fail(directory);
    for (const auto& [relative, bytes] : staged) {
        std::string path = directory;
        std::size_t start = 0;
        for (std::size_t slash; (slash = relative.find('/', start)) != std::string::npos; start = slash + 1) {
            path = JoinPath(path, relative.substr(start, slash - start), host);
            if (!os::MakeDirectory(path.c_str())) return fail(path);
        }
        path = JoinPath(path, relative.substr(start), host);
        if (!os::WriteWholeFile(path.c_str(), bytes)) return fail(path);
    }
    return true;
}
