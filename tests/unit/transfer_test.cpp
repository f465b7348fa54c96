// Copying a staged file into place: exact bytes, atomic replacement, and an
// untouched destination after every failure.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "os/os.h"
#include "scratch.h"
#include "update/path_style.h"
#include "update/payload.h"
#include "update/transfer.h"

#if defined(_WIN32)
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#else
#include <linux/capability.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using testing_support::CaptureStderr;
using testing_support::ScratchDir;

struct Transfer {
    int result;
    std::string errors;
};

// A copy as the run makes it, through the scratch file beside the destination.
int TransferTo(const std::string& destination, FILE* source, const char* sourcePath = nullptr) {
    const std::string scratch = ScratchPathFor(destination, NativePathStyle(), NativeLeadBytes());
    return TransferFile(destination.c_str(), scratch.c_str(), source, sourcePath);
}

Transfer Copy(const std::string& destination, FILE* source) {
    Transfer t{0, ""};
    t.errors = CaptureStderr([&] { t.result = TransferTo(destination, source); });
    return t;
}

Transfer CopyFile(const ScratchDir& dir, const std::string& from, const std::string& to) {
    FILE* source = std::fopen(dir.Path(from).c_str(), "rb");
    EXPECT_NE(nullptr, source) << from;
    return Copy(dir.Path(to), source);
}

std::string Bytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return bytes;
}

TEST(TransferFile, CopiesEveryByteExactly) {
    ScratchDir dir;
    for (std::size_t size : {0u, 1u, 2047u, 2048u, 2049u, 100000u}) {
        const std::string name = "src" + std::to_string(size);
        dir.Write(name, Bytes(size));
        const Transfer t = CopyFile(dir, name, "out" + std::to_string(size));
        EXPECT_EQ(1, t.result) << size;
        EXPECT_EQ("", t.errors);
        EXPECT_EQ(Bytes(size), dir.Read("out" + std::to_string(size))) << size;
    }
    // CR LF and 0x1A pass untranslated.
    dir.Write("text", "a\r\nb\x1A\nc\r");
    EXPECT_EQ(1, CopyFile(dir, "text", "text.out").result);
    EXPECT_EQ("a\r\nb\x1A\nc\r", dir.Read("text.out"));
}

TEST(TransferFile, LongerOldDestinationIsCutToTheNewLength) {
    ScratchDir dir;
    dir.Write("new", "short");
    dir.Write("old", std::string(10000, 'o'));
    EXPECT_EQ(1, CopyFile(dir, "new", "old").result);
    EXPECT_EQ("short", dir.Read("old"));
    EXPECT_EQ("new\nold\n", dir.Listing());  // no scratch file left
}

TEST(TransferFile, LeftoverScratchFileIsReplacedNotKept) {
    ScratchDir dir;
    dir.Write(".relayhive.tmp", "half of an earlier copy");
    dir.Write("new", "fresh");
    EXPECT_EQ(1, CopyFile(dir, "new", "dest").result);
    EXPECT_EQ("fresh", dir.Read("dest"));
    EXPECT_EQ("dest\nnew\n", dir.Listing());
}

// A copy that cannot start names the path that could not be used: the
// destination, or the scratch file beside it.
struct Refusal {
    const char* what;
    void (*arrange)(const ScratchDir& dir);
    const char* destination;
    const char* reported;
    const char* message;
};

void MakeReadOnly(const ScratchDir& dir, const std::string& name) {
    fs::permissions(dir.Path(name),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
}

#if defined(_WIN32)
int heldOpen = -1;  // a file the case holds open without sharing it
#endif

// Every regular file's name and bytes: a refused copy changes none of them.
std::string Contents(const ScratchDir& dir) {
    std::string all;
    for (const auto& item : fs::directory_iterator(dir.Path())) {
        if (!fs::is_regular_file(item.status())) continue;
        const std::string name = item.path().filename().string();
        all += name + "=" + dir.Read(name) + "\n";
    }
    return all;
}

const Refusal kRefusals[] = {
    {"missing directory", [](const ScratchDir&) {}, "absent/dest", "absent/dest",
     "No such file or directory"},
#if defined(_WIN32)
    {"directory as destination", [](const ScratchDir& dir) {
         fs::remove(dir.Path("dest"));
         fs::create_directory(dir.Path("dest"));
     },
     "dest", "dest", "Permission denied"},
#else
    {"directory as destination", [](const ScratchDir& dir) {
         fs::remove(dir.Path("dest"));
         fs::create_directory(dir.Path("dest"));
     },
     "dest", "dest", "Is a directory"},
#endif
    {"read-only destination", [](const ScratchDir& dir) { MakeReadOnly(dir, "dest"); }, "dest",
     "dest", "Permission denied"},
    {"directory as scratch file",
     [](const ScratchDir& dir) { fs::create_directory(dir.Path(".relayhive.tmp")); }, "dest",
     ".relayhive.tmp", "Is a directory"},
#if defined(_WIN32)
    {"scratch file held open by another program",
     [](const ScratchDir& dir) {
         heldOpen = _sopen(dir.Path(".relayhive.tmp").c_str(), _O_RDWR | _O_CREAT, _SH_DENYRW,
                           _S_IREAD | _S_IWRITE);
     },
     "dest", ".relayhive.tmp", "Permission denied"},
    // Shared for reading and writing but not deleting: it must not be truncated and written.
    {"scratch file another program holds open, sharing all but its deletion",
     [](const ScratchDir& dir) {
         dir.Write(".relayhive.tmp", "another program's data");
         heldOpen = _sopen(dir.Path(".relayhive.tmp").c_str(), _O_RDWR, _SH_DENYNO);
     },
     "dest", ".relayhive.tmp", "Permission denied"},
#else
    {"scratch file that cannot be created",
     [](const ScratchDir& dir) {
         fs::permissions(dir.Path(), fs::perms::owner_write | fs::perms::group_write |
                                         fs::perms::others_write, fs::perm_options::remove);
     },
     "dest", ".relayhive.tmp", "Permission denied"},
#endif
};

TEST(TransferFile, RefusalNamesThePathThatCouldNotBeUsed) {
    for (const Refusal& refusal : kRefusals) {
        ScratchDir dir;
        dir.Write("dest", "old contents");
        dir.Write("src", "new contents");
        // An ordinary user may still read and write everything the case leaves alone.
        fs::permissions(dir.Path(), fs::perms::all, fs::perm_options::add);
        for (const char* name : {"dest", "src"}) {
            fs::permissions(dir.Path(name), fs::perms::all, fs::perm_options::add);
        }
        refusal.arrange(dir);
        const std::string listing = dir.Listing();
        const std::string contents = Contents(dir);
        const std::string destination = dir.Path(refusal.destination);
        const std::string source = dir.Path("src");
        int result = 0;
        const std::string errors = CaptureStderr([&] {
            result = testing_support::RunUnprivileged([&] {
                FILE* staged = std::fopen(source.c_str(), "rb");
                return staged == nullptr ? 99 : TransferTo(destination, staged);
            });
        });
#if defined(_WIN32)
        if (heldOpen >= 0) _close(heldOpen);
        heldOpen = -1;
#endif
        EXPECT_EQ(-3, result) << refusal.what;
        EXPECT_EQ(dir.Path(refusal.reported) + ": " + refusal.message + "\n", errors)
            << refusal.what;
        fs::permissions(dir.Path(), fs::perms::owner_write, fs::perm_options::add);
        for (const auto& item : fs::directory_iterator(dir.Path())) {
            fs::permissions(item.path(), fs::perms::owner_write, fs::perm_options::add);
        }
        EXPECT_EQ(listing, dir.Listing()) << refusal.what;
        EXPECT_EQ(contents, Contents(dir)) << refusal.what;
    }
}

TEST(TransferFile, ReadErrorNamesTheSourceAndLeavesTheDestinationUntouched) {
    for (const char* sourcePath : {static_cast<const char*>(nullptr), "download/src"}) {
        ScratchDir dir;
        dir.Write("dest", "old contents");
        dir.Write("src", "new contents");
        int result = 0;
        const std::string errors = CaptureStderr([&] {
            FILE* unreadable = testing_support::UnreadableStream(dir.Path("src"));
            result = unreadable == nullptr
                         ? 99
                         : TransferTo(dir.Path("dest"), unreadable, sourcePath);
        });
        EXPECT_EQ(-5, result);
        const std::string named = sourcePath != nullptr ? sourcePath : "";
        EXPECT_EQ(0u, errors.rfind("Fatal read error.\n" + named + ": ", 0)) << errors;
        EXPECT_EQ('\n', errors.back());
        EXPECT_EQ("old contents", dir.Read("dest"));
        EXPECT_EQ("dest\nsrc\n", dir.Listing());
    }
}

// Each call of the copy, made to fail through the file-call table: its
// report and result, the old file kept and no scratch file left.
struct FailedCall {
    const char* what;
    void (*install)(os::FileCalls* calls);
    int result;
    int errnum;
    bool reportsDestination;  // else "Fatal write error." or "Fatal read error."
    const char* message = nullptr;  // the report's message, when it is not errnum's
};

const FailedCall kFailedCalls[] = {
    {"open", [](os::FileCalls* c) {
         c->openReplacement = [](const char*, const char*, FILE*, os::FailedPath* failed) -> FILE* {
             *failed = os::FailedPath::kDestination;
             errno = EACCES;
             return nullptr;
         };
     }, -3, EACCES, true},
    {"read", [](os::FileCalls* c) {
         c->read = [](FILE*, char*, std::size_t) -> long { errno = EIO; return -1; };
     }, -5, EIO, false},
    {"write", [](os::FileCalls* c) {
         c->write = [](FILE*, const char*, std::size_t) { errno = ENOSPC; return false; };
     }, -4, ENOSPC, false},
    {"flush", [](os::FileCalls* c) {
         c->flushToDisk = [](FILE*) { errno = EIO; return false; };
     }, -4, EIO, false},
    // Both closes fail: the source's failure does not matter, the scratch file's does.
    {"close", [](os::FileCalls* c) {
         c->close = [](FILE* stream) { std::fclose(stream); errno = ENOSPC; return false; };
     }, -4, ENOSPC, false},
    {"move", [](os::FileCalls* c) {
         c->moveIntoPlace = [](const char*, const char*) { errno = EACCES; return false; };
     }, -3, EACCES, true},
    // The file system resolves the destination to the scratch file (a short name, a case-blind volume).
    {"destination is the scratch file", [](os::FileCalls* c) {
         c->sameFile = [](FILE*, const char*) { return true; };
     }, -3, 0, true, "refused: name of relayhive's scratch file"},
};

TEST(TransferFile, EveryFailedCallLeavesTheOldFileAndNoScratchFile) {
    for (const FailedCall& failure : kFailedCalls) {
        ScratchDir dir;
        dir.Write("dest", "old contents");
        dir.Write("src", Bytes(5000));
        const os::FileCalls saved = os::fileCalls;
        failure.install(&os::fileCalls);
        const Transfer t = CopyFile(dir, "src", "dest");
        os::fileCalls = saved;
        const std::string lead = failure.reportsDestination ? dir.Path("dest")
                                 : failure.result == -5   ? "Fatal read error.\n"
                                                          : "Fatal write error.\n";
        EXPECT_EQ(failure.result, t.result) << failure.what;
        const std::string message = failure.message != nullptr ? failure.message : os::ErrorMessage(failure.errnum);
        EXPECT_EQ(lead + ": " + message + "\n", t.errors) << failure.what;
        EXPECT_EQ("old contents", dir.Read("dest")) << failure.what;
        EXPECT_EQ("dest\nsrc\n", dir.Listing()) << failure.what;
    }
}

// The platform's SHA-256 of known texts, and a file read in blocks gives the digest of its whole.
TEST(TransferFile, DigestOfAFileIsItsSha256) {
    ScratchDir dir;
    struct Known {
        std::string bytes;
        const char* entry;
    };
    const Known kKnown[] = {
        {"", "0:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "3:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(1000000, 'a'), "1000000:cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Known& known : kKnown) {
        dir.Write("f", known.bytes);
        os::FileDigest256 digest;
        bool irregular = true;
        ASSERT_TRUE(os::DigestFile(dir.Path("f").c_str(), &digest, &irregular));
        EXPECT_FALSE(irregular);
        EXPECT_EQ(known.entry, DigestEntry(digest));
    }
    os::FileDigest256 digest;
    bool irregular = false;
    errno = 0;
    EXPECT_FALSE(os::DigestFile(dir.Path("none").c_str(), &digest, &irregular));
    EXPECT_EQ(ENOENT, errno);
}

// A copy of a listed file lands only when the bytes it wrote are that file: a staged file that
// changed after the check, or a digest that fails, leaves the old file and no scratch file.
TEST(TransferFile, ListedFileLandsOnlyWhenTheBytesWrittenAreIt) {
    ScratchDir dir;
    dir.Write("src", Bytes(5000));
    ListedDigest listed;
    bool irregular = false;
    ASSERT_TRUE(os::DigestFile(dir.Path("src").c_str(), &listed.file, &irregular));
    listed.listed = true;
    ListedDigest longer = listed, other = listed;
    longer.file.size += 1;
    other.file.sha256[7] ^= 1;
    struct Case {
        const char* what;
        ListedDigest listed;
        void (*install)(os::FileCalls* calls);
        int result;
        std::string report;  // after "download/src: "
    };
    const Case kCases[] = {
        {"the listed file", listed, nullptr, 1, ""},
        {"another size", longer, nullptr, -6, "does not match the manifest: 5000 bytes, it lists 5001"},
        {"another digest", other, nullptr, -6, "does not match the manifest: its SHA-256 differs"},
        {"no entry", ListedDigest{}, nullptr, -6, "does not match the manifest: it lists no digest for it"},
        {"digest-begin fails", listed,
         [](os::FileCalls* c) { c->beginDigest = []() -> os::Sha256* { errno = ENOMEM; return nullptr; }; }, -6,
         os::ErrorMessage(ENOMEM)},
        {"digest fails", listed,
         [](os::FileCalls* c) { c->digest = [](os::Sha256*, const char*, std::size_t) { errno = EIO; return false; }; },
         -6, os::ErrorMessage(EIO)},
    };
    for (const Case& c : kCases) {
        dir.Write("dest", "old contents");
        const os::FileCalls saved = os::fileCalls;
        if (c.install != nullptr) c.install(&os::fileCalls);
        int result = 0;
        const std::string errors = CaptureStderr([&] {
            FILE* source = std::fopen(dir.Path("src").c_str(), "rb");
            result = TransferFile(dir.Path("dest").c_str(), dir.Path(".relayhive.tmp").c_str(), source,
                                  "download/src", &c.listed);
        });
        os::fileCalls = saved;
        EXPECT_EQ(c.result, result) << c.what;
        EXPECT_EQ(c.report.empty() ? "" : "download/src: " + c.report + "\n", errors) << c.what;
        EXPECT_EQ(c.result == 1 ? Bytes(5000) : "old contents", dir.Read("dest")) << c.what;
        EXPECT_EQ("dest\nsrc\n", dir.Listing()) << c.what;
    }
}

// A replacement keeps set-user-ID and set-group-ID only where it kept the old owner and group.
static_assert(os::ReplacementMode(04755, true) == 04755 && os::ReplacementMode(02750, true) == 02750);
static_assert(os::ReplacementMode(06777, false) == 0777 && os::ReplacementMode(04755, false) == 0755);
static_assert(os::ReplacementMode(02750, false) == 0750 && os::ReplacementMode(01777, false) == 01777);
static_assert(os::ReplacementMode(0600, false) == 0600);

#if defined(_WIN32)

// The scratch file's short (8.3) name reaches the scratch file itself: listed,
// it is refused, and neither it nor the file after it is lost.
TEST(TransferFile, ShortNameOfTheScratchFileIsRefused) {
    ScratchDir dir;
    dir.Write(".relayhive.tmp", "");
    char shortPath[MAX_PATH] = {0};
    const DWORD length = GetShortPathNameA(dir.Path(".relayhive.tmp").c_str(), shortPath, sizeof shortPath);
    const std::string alias = fs::path(std::string(shortPath, length)).filename().string();
    fs::remove(dir.Path(".relayhive.tmp"));
    if (length == 0 || alias == ".relayhive.tmp") GTEST_SKIP() << "no short names on this volume";
    dir.Write("src", "new contents");
    const Transfer aliased = CopyFile(dir, "src", alias);
    EXPECT_EQ(-3, aliased.result) << alias;
    EXPECT_EQ(dir.Path(alias) + ": refused: name of relayhive's scratch file\n", aliased.errors);
    EXPECT_EQ(1, CopyFile(dir, "src", "b.bmp").result);
    EXPECT_EQ("b.bmp\nsrc\n", dir.Listing());
}

TEST(TransferFile, HiddenAndSystemAttributesAreKept) {
    ScratchDir dir;
    dir.Write("src", "new contents");
    const DWORD kinds[] = {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM,
                           FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM};
    for (const DWORD kind : kinds) {
        dir.Write("dest", "old contents");
        ASSERT_TRUE(SetFileAttributesA(dir.Path("dest").c_str(), kind));
        EXPECT_EQ(1, CopyFile(dir, "src", "dest").result) << kind;
        const DWORD after = GetFileAttributesA(dir.Path("dest").c_str());
        EXPECT_EQ(kind, after & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) << kind;
        EXPECT_EQ("new contents", dir.Read("dest"));
        SetFileAttributesA(dir.Path("dest").c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    // A new file takes none of them.
    EXPECT_EQ(1, CopyFile(dir, "src", "fresh").result);
    EXPECT_EQ(0u, GetFileAttributesA(dir.Path("fresh").c_str()) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
}

#else

TEST(TransferFile, ShortWriteLeavesTheOldFileAndNoScratchFile) {
    ScratchDir dir;
    dir.Write("dest", "old contents");
    dir.Write("src", Bytes(64 * 1024));
    // A file size limit makes writes past 10 000 bytes fail as on a full disk.
    rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 10000;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    FILE* source = std::fopen(dir.Path("src").c_str(), "rb");
    const Transfer t = Copy(dir.Path("dest"), source);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(-4, t.result);
    EXPECT_EQ("Fatal write error.\n: File too large\n", t.errors);
    EXPECT_EQ("old contents", dir.Read("dest"));
    EXPECT_EQ("dest\nsrc\n", dir.Listing());
}

TEST(TransferFile, PermissionBitsFollowTheDestinationOrTheSource) {
    ScratchDir dir;
    dir.Write("tool", "#!/bin/sh\n");
    chmod(dir.Path("tool").c_str(), 0755);
    dir.Write("kept", "old");
    chmod(dir.Path("kept").c_str(), 0640);

    EXPECT_EQ(1, CopyFile(dir, "tool", "kept").result);
    EXPECT_EQ(1, CopyFile(dir, "tool", "fresh").result);
    struct stat kept, fresh;
    ASSERT_EQ(0, stat(dir.Path("kept").c_str(), &kept));
    ASSERT_EQ(0, stat(dir.Path("fresh").c_str(), &fresh));
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(0640u, kept.st_mode & 07777);
    EXPECT_EQ(0755u & ~mask, fresh.st_mode & 07777);
}

TEST(TransferFile, RootRunKeepsTheOwnerGroupAndModeOfEachFile) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
    ScratchDir dir;
    dir.Write("src", "new contents");
    for (const mode_t mode : {04755, 02750, 0600}) {
        const std::string name = "file" + std::to_string(mode);
        dir.Write(name, "old contents");
        ASSERT_EQ(0, chown(dir.Path(name).c_str(), 65534, 65534));
        ASSERT_EQ(0, chmod(dir.Path(name).c_str(), mode));
        EXPECT_EQ(1, CopyFile(dir, "src", name).result);
        struct stat replaced;
        ASSERT_EQ(0, stat(dir.Path(name).c_str(), &replaced));
        EXPECT_EQ(65534u, replaced.st_uid) << std::oct << mode;
        EXPECT_EQ(65534u, replaced.st_gid) << std::oct << mode;
        EXPECT_EQ(mode, replaced.st_mode & 07777) << std::oct << mode;
        EXPECT_EQ("new contents", dir.Read(name));
    }
}

// Runs body in a child process with root's rights except that of giving
// files away (CAP_CHOWN); it keeps CAP_FSETID, so writes leave set-ID bits alone.
int RunWithoutChown(const std::function<int()>& body) {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = fork();
    if (child == 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2];
        if (syscall(SYS_capget, &header, data) != 0) _exit(250);
        data[0].effective &= ~(1u << CAP_CHOWN);
        if (syscall(SYS_capset, &header, data) != 0) _exit(250);
        const int result = body();
        std::fflush(stderr);
        _exit(result & 0xFF);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? static_cast<signed char>(WEXITSTATUS(status)) : 251;
}

TEST(TransferFile, OwnerThatCannotBeKeptTakesTheSetIdBitsWithIt) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
    ScratchDir dir;
    dir.Write("src", "new contents");
    for (const mode_t mode : {04755, 02755}) {
        const std::string destination = dir.Path("file" + std::to_string(mode));
        const std::string source = dir.Path("src");
        testing_support::WriteFile(destination, "old contents");
        ASSERT_EQ(0, chown(destination.c_str(), 65534, 65534));
        ASSERT_EQ(0, chmod(destination.c_str(), mode));
        const int result = RunWithoutChown([&] {
            FILE* staged = std::fopen(source.c_str(), "rb");
            return staged == nullptr ? 99 : TransferTo(destination, staged);
        });
        EXPECT_EQ(1, result);
        struct stat replaced;
        ASSERT_EQ(0, stat(destination.c_str(), &replaced));
        EXPECT_EQ(0u, replaced.st_uid);
        EXPECT_EQ(0755u, replaced.st_mode & 07777) << std::oct << mode;
        EXPECT_EQ("new contents", testing_support::ReadFile(destination));
    }
}

#endif

}  // namespace
