#include "check/installation.h"

std::string RelativeToWorkingDirectory(const std::string& path, const std::string& workingDirectory) {
    if (path == workingDirectory) return std::string();
    if (path.size() <= workingDirectory.size() ||
        path.compare(0, workingDirectory.size(), workingDirectory) != 0) {
        return path;
    }
    return path.substr(workingDirectory.size() + 1);
}
