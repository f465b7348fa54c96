// Every text relayhive shows and every name it relies on, in one place.
// The Chinese texts are GBK bytes, written byte for byte on every channel.
#ifndef RELAYHIVE_COMMON_TEXTS_H
#define RELAYHIVE_COMMON_TEXTS_H

namespace texts {

// --- Names ------------------------------------------------------------------

// The client's image name, matched without regard to ASCII case.
inline constexpr char kClientImageName[] = "Quillmon.exe";
// The client's command line, relative to the install directory.
inline constexpr char kClientCommandLine[] = "./Quillmon.exe";
// The single-instance marker: the program's name followed by "cltmutex".
inline constexpr char kInstanceName[] = "relayhivecltmutex";
// The record of the last run, in the working directory.
inline constexpr char kRecordName[] = "relayhive-record.txt";
// Linux: the single-instance lock, in the working directory; only the updater holding it writes there.
inline constexpr char kLockName[] = ".relayhive.lock";
// Linux trace channel: an abstract Unix datagram socket of this name.
inline constexpr char kTraceSocketName[] = "relayhive.debug";

inline constexpr char kStagingDirectory[] = "download";
inline constexpr char kSkinDirectory[] = "skin";
inline constexpr char kLogoDirectory[] = "logo";
inline constexpr char kManifestName[] = "autoupdate.ini";
// The scratch file each copy is written to, in the destination's directory.
inline constexpr char kScratchName[] = ".relayhive.tmp";

// Manifest sections and keys.
inline constexpr char kSkinSection[] = "cltskin";
inline constexpr char kLogoSection[] = "cltlogo";
inline constexpr char kMainSection[] = "cltmain";
inline constexpr char kFileListKey[] = "filelist";
inline constexpr char kMainFileKey[] = "mainfile";
// File lists are split on these bytes.
inline constexpr char kListDelimiters[] = ",";
// The staged files' digests: one key per group, its value "SIZE:SHA256" for each name of the
// group's list in the same order, split the same way (the main file's one name, one entry).
inline constexpr char kDigestSection[] = "cltdigest";
inline constexpr char kSkinDigestKey[] = "skin";
inline constexpr char kLogoDigestKey[] = "logo";
inline constexpr char kMainDigestKey[] = "main";
inline constexpr char kDigestSizeSeparator = ':';

// --- Standard output ----------------------------------------------------------

// "An instance of this program is already running...".
inline constexpr char kSecondInstance[] =
    "\xd2\xd1\xd3\xd0\xb1\xbe\xb3\xcc\xd0\xf2\xca\xb5\xc0\xfd\xd5\xfd\xd4\xda\xd4\xcb\xd0\xd0...\n";
// "The specified process was not found".
inline constexpr char kClientNotFound[] =
    "\xce\xb4\xd5\xd2\xb5\xbd\xd6\xb8\xb6\xa8\xbd\xf8\xb3\xcc\n";
inline constexpr char kWorkDirFormat[] = "current work dir: %s\n";
inline constexpr char kLoadFailureFormat[] = "Failing on char %d\n";

// The lone arguments relayhive answers without touching anything.
inline constexpr char kHelpOption[] = "--help";
inline constexpr char kVersionOption[] = "--version";
inline constexpr char kUsage[] =
    "usage: relayhive\n"
    "       relayhive --help | --version\n"
    "Run in the client's install directory: stops the running Quillmon.exe, copies the files\n"
    "download/autoupdate.ini lists from download/ into skin/, logo/ and the directory itself,\n"
    "then starts the client again and waits for it. It keeps a record of each run in that\n"
    "directory, which relayhive-check --after reads. Exit status: always 0.\n";
inline constexpr char kVersionFormat[] = "relayhive %s\n";

// --- Standard error -------------------------------------------------------------

inline constexpr char kFatalWriteError[] = "Fatal write error.\n";
inline constexpr char kFatalReadError[] = "Fatal read error.\n";
// "<path>: refused: <reason>" and "<path>: File name too long".
inline constexpr char kRefusedPrefix[] = "refused: ";
inline constexpr char kTooLong[] = "File name too long";
// The reasons after "refused: ".
inline constexpr char kReasonAbsolute[] = "absolute path";
inline constexpr char kReasonDrive[] = "drive letter";
inline constexpr char kReasonControl[] = "control character in name";
inline constexpr char kReasonColon[] = "':' names a drive or a stream";
inline constexpr char kReasonParent[] = "'..' would leave the install directory";
inline constexpr char kReasonDevice[] = "name of a system device";
inline constexpr char kScratchNameReason[] = "name of relayhive's scratch file";
// "<source path>: not a regular file": a pipe, a device or a socket is never read.
inline constexpr char kNotRegularFile[] = "not a regular file";
// "<source path>: does not match the manifest: <why>": a staged file not as its digest entry says.
inline constexpr char kMismatchPrefix[] = "does not match the manifest: ";
inline constexpr char kNoDigest[] = "it lists no digest for it";
inline constexpr char kSizeDiffersFormat[] = "%llu bytes, it lists %llu";
inline constexpr char kDigestDiffers[] = "its SHA-256 differs";
// "<manifest path>: nothing copied, ...": the last line of a run refused for a damaged download.
inline constexpr char kNothingCopied[] =
    "nothing copied, the client left running: the staged files above do not match it";

// --- The release tools (relayhive-check, relayhive-stage) ---------------------------

// "<tool>: out of memory", exit status 4.
inline constexpr char kOutOfMemory[] = "out of memory";

// --- Traces ---------------------------------------------------------------------

inline constexpr char kTraceKilled[] = "killed";
inline constexpr char kTraceNotRunning[] = "isNOTRunning";
// "Update complete, starting the main program...".
inline constexpr char kTraceUpdateComplete[] =
    "\xb8\xfc\xd0\xc2\xcd\xea\xb3\xc9\xa3\xac\xd5\xfd\xd4\xda\xc6\xf4\xb6\xaf\xd6\xf7\xb3\xcc"
    "\xd0\xf2...\n";
// "Process id of the new process: %d \n".
inline constexpr char kTraceNewProcessIdFormat[] =
    "\xd0\xc2\xbd\xf8\xb3\xcc\xb5\xc4\xbd\xf8\xb3\xcc" "ID" "\xba\xc5\xa3\xba" "%d \n";
// "Main thread id of the new process: %d \n".
inline constexpr char kTraceNewThreadIdFormat[] =
    "\xd0\xc2\xbd\xf8\xb3\xcc\xb5\xc4\xd6\xf7\xcf\xdf\xb3\xcc" "ID" "\xba\xc5\xa3\xba" "%d \n";
inline constexpr char kTraceStartErrorFormat[] = "error code:%d\n";
inline constexpr char kTraceExitCodeFormat[] = "exit code:%d";
inline constexpr char kTraceExitCodeFailed[] = "exit code failed to return";

}  // namespace texts

#endif
