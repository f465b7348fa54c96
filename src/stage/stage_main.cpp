// relayhive-stage: builds the staged update from two release trees and proves
// that relayhive reproduces the new release from it.
#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/options.h"
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

// True when path, once made, lies below (not at) directory; a path that does not exist yet counts by its parent.
bool Below(const std::string& path, const std::string& directory) {
    std::string absolute;
    std::string root;
    std::string probe = path;
    std::string rest;
    const CodePage codePage = NativeCodePage();
    while (!os::AbsolutePath(probe.c_str(), &absolute)) {
        const std::string parent = DirectoryOf(probe, NativePathStyle(), codePage);
        if (parent.empty() || parent == probe) return false;
        rest = probe.substr(parent.size()) + rest;
        probe = parent;
    }
    absolute += rest;
    if (!os::AbsolutePath(directory.c_str(), &root)) return false;
    return absolute.size() > root.size() + 1 && absolute.compare(0, root.size(), root) == 0 &&
           IsPathSeparator(absolute[root.size()], NativePathStyle());
}

// Ends the run with status, once the report has reached standard output.
int Delivered(int status) { return ::Delivered("relayhive-stage", status); }

int Refuse(const std::string& error) {
    std::fprintf(stderr, "relayhive-stage: %s\n", error.c_str());
    return kExitUsage;
}

// Stages the update from the trees and proves it; the trees go on return, before the report is made.
// "" when done, else why not. *note, once download/ is made and until its manifest is in place, says it is incomplete.
std::string StageAndProve(const StageArguments& arguments, Staging* staging, Proof* proof, std::string* note) {
    ReleaseTree old;
    ReleaseTree release;
    std::string error;
    if (!ReadReleaseTree(arguments.old, &old, &error) || !ReadReleaseTree(arguments.release, &release, &error)) {
        return error;
    }
    // OUT below OLD or NEW would land in that tree (OUT equal to one is fine: its top download/ is left out).
    for (const std::string* tree : {&arguments.old, &arguments.release}) {
        if (Below(arguments.out, *tree)) return arguments.out + ": inside the release tree " + *tree;
    }
    const std::string download = JoinPath(arguments.out, texts::kStagingDirectory, NativePathStyle());
    if (os::KindOfPath(download.c_str()) != os::PathKind::kMissing) {
        return download + ": already there; relayhive-stage writes a new one";
    }
    // Decided before anything is written: a tree that cannot be read leaves nothing behind.
    HostContents contents;
    const ReleaseTree base = InstalledBase(std::move(old), release);
    *staging = DecideStaging(base, release, arguments.options, &contents);
    if (!contents.error().empty()) return contents.error();
    if (!os::MakeDirectory(arguments.out.c_str())) {
        return arguments.out + ": cannot make the directory: " + os::ErrorMessage(errno);
    }
    const std::string incomplete = download + " is incomplete: remove it before the next run";
    *note = incomplete;
    bool made = false;
    {
        std::vector<os::FileDigest256> digests;  // each staged file's size and SHA-256, taken as it is copied
        if (!CopyStagedFiles(download, *staging, release, arguments.options, &made, &digests, &error)) {
            return made ? error + " (" + incomplete + ")" : error;
        }
        // relayhive then checks every staged file against it before it stops the client.
        staging->manifest += DigestSectionText(staging->files, digests);
    }
    *proof = ProveStaging(base, release, *staging, arguments.options, &contents);
    if (!contents.error().empty()) return contents.error() + " (" + incomplete + ")";
    if (!WriteManifest(download, staging->manifest, &error)) return error + " (" + incomplete + ")";
    note->clear();
    return std::string();
}

// The run; *note says what a run cut short leaves behind.
int Stage(int argc, char** argv, std::string* note) {
    os::WritesToClosedPipesFail();
    StageArguments arguments =
        ParseStageArguments(std::vector<std::string>(argv + 1, argv + argc), Host{NativePathStyle(), os::AnsiCodePage()});
    if (arguments.outcome == StageArguments::Outcome::kUsageError) return Refuse(arguments.error);
    int status = kExitClean;
    if (Answered(arguments, "relayhive-stage", kStageUsage, &status)) return status;
    if (!LoadCodePage(arguments.codePage, &arguments.options.codePage)) {
        return Refuse("code page " + std::to_string(arguments.codePage) + ": this system has no converter for it");
    }
    Staging staging;
    Proof proof;
    const std::string error = StageAndProve(arguments, &staging, &proof, note);
    if (!error.empty()) return Refuse(error);
    const StageReport report{arguments.options, staging, proof};
    const std::string text = arguments.json ? RenderStageJson(report) : RenderStageText(report);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return Delivered(Reproduces(staging, proof, arguments.options.strict) ? kExitClean : kExitErrors);
}

}  // namespace

int main(int argc, char** argv) { return RunTool("relayhive-stage", Stage, argc, argv); }
