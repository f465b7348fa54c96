// relayhive-stage: builds the staged update from two release trees and proves
// that relayhive reproduces the new release from it.
#include <cstdio>
#include <string>
#include <vector>

#include "common/texts.h"
#include "common/version.h"
#include "os/os.h"
#include "stage/arguments.h"
#include "stage/decide.h"
#include "stage/proof.h"
#include "stage/report.h"
#include "stage/tree.h"
#include "update/path_style.h"

namespace {

constexpr int kExitReproduces = 0;
constexpr int kExitDiffers = 1;
constexpr int kExitUsage = 2;

int Refuse(const std::string& error) {
    std::fprintf(stderr, "relayhive-stage: %s\n", error.c_str());
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    os::WritesToClosedPipesFail();
    const StageArguments arguments =
        ParseStageArguments(std::vector<std::string>(argv + 1, argv + argc), NativePathStyle());
    switch (arguments.outcome) {
        case StageArguments::Outcome::kHelp:
            std::fputs(kStageUsage, stdout);
            return kExitReproduces;
        case StageArguments::Outcome::kVersion:
            std::printf("relayhive-stage %s\n", kRelayhiveVersion);
            return kExitReproduces;
        case StageArguments::Outcome::kUsageError:
            return Refuse(arguments.error);
        case StageArguments::Outcome::kRun:
            break;
    }
    ReleaseTree old;
    ReleaseTree release;
    std::string error;
    if (!ReadReleaseTree(arguments.old, &old, &error) || !ReadReleaseTree(arguments.release, &release, &error)) {
        return Refuse(error);
    }
    const std::string download = JoinPath(arguments.out, texts::kStagingDirectory, NativePathStyle());
    if (os::KindOfPath(download.c_str()) != os::PathKind::kMissing) {
        return Refuse(download + ": already there; relayhive-stage writes a new one");
    }
    const ReleaseTree base = InstalledBase(old, release);
    const Staging staging = DecideStaging(base, release, arguments.options);
    if (!os::MakeDirectory(arguments.out.c_str()) ||
        !WriteStagedFiles(download, DownloadFiles(staging, release), &error)) {
        return Refuse(error.empty() ? arguments.out + ": cannot make the directory" : error);
    }
    const Proof proof = ProveStaging(base, release, staging, arguments.options);
    const StageReport report{arguments.options, staging, proof};
    const std::string text = arguments.json ? RenderStageJson(report) : RenderStageText(report);
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (std::fflush(stdout) != 0) return Refuse("cannot write the report");
    return Reproduces(staging, proof) ? kExitReproduces : kExitDiffers;
}
