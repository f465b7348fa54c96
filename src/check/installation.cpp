#include "check/installation.h"

#include "common/ascii.h"

std::string TargetWorkingDirectory(const std::string& hostAbsolute, PathStyle host, PathStyle target) {
    std::string spelt = hostAbsolute;
    if (host != target) {
        if (target == PathStyle::kWindows) spelt = "Z:" + spelt;  // Wine's drive for the Unix root
        for (char& c : spelt) {
            if (IsPathSeparator(c, host)) c = PathSeparator(target);
        }
    }
    return FitsPathBuffer(spelt, target) ? spelt : std::string(".");
}

std::string RelativeToWorkingDirectory(const std::string& path, const std::string& workingDirectory) {
    if (path == workingDirectory) return std::string();
    if (path.size() <= workingDirectory.size() ||
        path.compare(0, workingDirectory.size(), workingDirectory) != 0) {
        return path;
    }
    return path.substr(workingDirectory.size() + 1);
}

std::vector<std::string> TargetComponents(const std::string& relative, PathStyle style,
                                          const LeadBytes& lead) {
    std::vector<std::string> components;
    std::string part;
    for (std::size_t i = 0; i <= relative.size(); ++i) {
        if (i < relative.size() && !IsPathSeparator(relative[i], style)) {
            const std::size_t length = CharacterLength(relative.data(), relative.size(), i, style, lead);
            part.append(relative, i, length);
            i += length - 1;
            continue;
        }
        if (style == PathStyle::kWindows && part != "." && part != "..") {
            while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
        }
        if (!part.empty() && part != ".") components.push_back(part);
        part.clear();
    }
    return components;
}

std::string TargetSpelling(const std::string& relative, PathStyle style) {
    std::string spelt;
    for (const std::string& component : TargetComponents(relative, style)) {
        if (!spelt.empty()) spelt += '/';
        spelt += component;
    }
    return spelt;
}

std::string SameFileKey(const std::string& relative, PathStyle style) {
    const std::string spelt = TargetSpelling(relative, style);
    return style == PathStyle::kWindows ? ascii::Fold(spelt) : spelt;
}
