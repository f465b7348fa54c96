#include "update/update_run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ini/ini_file.h"
#include "os/os.h"
#include "process/client_process.h"
#include "update/safe_name.h"
#include "update/transfer.h"

namespace {

// GBK: "an instance of this program is already running...".
const char kSecondInstance[] =
    "\xd2\xd1\xd3\xd0\xb1\xbe\xb3\xcc\xd0\xf2\xca\xb5\xc0\xfd\xd5\xfd\xd4\xda\xd4\xcb\xd0\xd0...\n";
// GBK: "update complete, starting the main program...".
const char kUpdateComplete[] =
    "\xb8\xfc\xd0\xc2\xcd\xea\xb3\xc9\xa3\xac\xd5\xfd\xd4\xda\xc6\xf4\xb6\xaf\xd6\xf7\xb3\xcc"
    "\xd0\xf2...\n";

const char kInstanceName[] = "relayhivecltmutex";
const char kStagingDirectory[] = "download";
const char kManifestName[] = "autoupdate.ini";
// The manifest path is longer than any other fixed path: it keeps room beyond kMaxPath.
constexpr std::size_t kManifestPathSize = os::kMaxPath > 1024 ? os::kMaxPath + 64 : 1024;

// The whole path, of any length, for reports about paths that do not fit.
std::string JoinPath(const char* directory, const char* subdirectory, const char* name) {
    std::string path(directory);
    path += os::kPathSeparator;
    if (subdirectory != nullptr) {
        path += subdirectory;
        path += os::kPathSeparator;
    }
    path += name;
    return path;
}

// Forms directory/subdirectory/name (subdirectory may be null) into the
// zero-filled buffer. False, buffer all zeros, when it would not fit.
bool FormPath(char* buffer, std::size_t size, const char* directory, const char* subdirectory,
              const char* name) {
    std::memset(buffer, 0, size);
    int needed;
    if (subdirectory != nullptr) {
        needed = std::snprintf(buffer, size, "%s%c%s%c%s", directory, os::kPathSeparator,
                               subdirectory, os::kPathSeparator, name);
    } else {
        needed = std::snprintf(buffer, size, "%s%c%s", directory, os::kPathSeparator, name);
    }
    if (needed >= 0 && static_cast<std::size_t>(needed) < size) return true;
    std::memset(buffer, 0, size);
    return false;
}

void ReportTooLong(const std::string& path) {
    const std::string line = path + ": File name too long\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

// Copies download/<name> to <destinationSubdirectory>/<name> below the working directory.
void CopyStep(const char* workingDirectory, const char* destinationSubdirectory, const char* name) {
    char destination[os::kMaxPath];
    char source[os::kMaxPath];
    std::memset(destination, 0, sizeof destination);
    std::memset(source, 0, sizeof source);

    if (const char* reason = UnsafeNameReason(name)) {
        const std::string line =
            JoinPath(workingDirectory, kStagingDirectory, name) + ": refused: " + reason + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        return;
    }
    if (!FormPath(source, sizeof source, workingDirectory, kStagingDirectory, name)) {
        ReportTooLong(JoinPath(workingDirectory, kStagingDirectory, name));
        return;
    }
    if (!FormPath(destination, sizeof destination, workingDirectory, destinationSubdirectory,
                  name)) {
        ReportTooLong(JoinPath(workingDirectory, destinationSubdirectory, name));
        return;
    }

    FILE* staged = std::fopen(source, "rb");
    if (staged == nullptr) {
        ReportError(source);
        return;
    }
    TransferFile(destination, staged);
}

void CopyGroup(const CIniFile& manifest, const char* workingDirectory, const char* section,
               const char* destinationSubdirectory) {
    const std::string fileList = manifest.LookupValue(section, "filelist", "");
    if (fileList.length() == 0) return;
    const std::vector<std::string> names = SplitList(",", fileList);
    for (const std::string& name : names) {
        CopyStep(workingDirectory, destinationSubdirectory, name.c_str());
    }
}

}  // namespace

int RunUpdate(int, char**, char**) {
    if (!os::ClaimSingleInstance(kInstanceName)) {
        std::fputs(kSecondInstance, stdout);
        return 0;
    }

    const int terminated = TerminateClient();
    os::Trace("killed");
    if (terminated == 0) return 0;
    os::Trace("isNOTRunning");

    std::memset(clientCommandLine, 0, sizeof clientCommandLine);
    std::snprintf(clientCommandLine, sizeof clientCommandLine, "%s", "./Quillmon.exe");

    char workingDirectory[os::kMaxPath];
    if (!os::GetWorkingDirectory(workingDirectory, sizeof workingDirectory)) {
        // Unknown, every path would start at the root: "." still names the
        // install directory.
        std::snprintf(workingDirectory, sizeof workingDirectory, "%s", ".");
    }

    char manifestPath[kManifestPathSize];
    if (!FormPath(manifestPath, sizeof manifestPath, workingDirectory, kStagingDirectory,
                  kManifestName)) {
        ReportTooLong(JoinPath(workingDirectory, kStagingDirectory, kManifestName));
    }
    CIniFile manifest(manifestPath);
    manifest.Load();

    CopyGroup(manifest, workingDirectory, "cltskin", "skin");
    CopyGroup(manifest, workingDirectory, "cltlogo", "logo");
    CopyStep(workingDirectory, nullptr, kManifestName);

    os::SleepMilliseconds(1000);

    const std::string mainFile = manifest.LookupValue("cltmain", "mainfile", "");
    if (mainFile.length() > 0) CopyStep(workingDirectory, nullptr, mainFile.c_str());

    os::Trace(kUpdateComplete);
    LaunchClientAndWait();
    return 0;
}
