// Copying a staged file into place: exact bytes, atomic replacement, and an
// untouched destination after every failure.
#include <gtest/gtest.h>

#include <filesystem>

#include "scratch.h"
#include "update/transfer.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

namespace {

namespace fs = std::filesystem;
using testing_support::CaptureStderr;
using testing_support::ScratchDir;

struct Transfer {
    int result;
    std::string errors;
};

Transfer Copy(const std::string& destination, FILE* source) {
    Transfer t{0, ""};
    t.errors = CaptureStderr([&] { t.result = TransferFile(destination.c_str(), source); });
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

TEST(TransferFile, MissingDirectoryIsReportedWithTheDestinationPath) {
    ScratchDir dir;
    dir.Write("src", "data");
    const std::string destination = dir.Path("absent/dest");
    const Transfer t = CopyFile(dir, "src", "absent/dest");
    EXPECT_EQ(-3, t.result);
    EXPECT_EQ(destination + ": No such file or directory\n", t.errors);
}

TEST(TransferFile, DirectoryInTheWayIsNotReplaced) {
    ScratchDir dir;
    dir.Write("src", "data");
    fs::create_directory(dir.Path("dest"));
    const Transfer t = CopyFile(dir, "src", "dest");
    EXPECT_EQ(-3, t.result);
    EXPECT_EQ(0u, t.errors.rfind(dir.Path("dest") + ": ", 0)) << t.errors;
    EXPECT_TRUE(fs::is_directory(dir.Path("dest")));
}

TEST(TransferFile, ReadErrorLeavesTheDestinationUntouched) {
    ScratchDir dir;
    dir.Write("dest", "old contents");
    dir.Write("src", "new contents");
    FILE* unreadable = testing_support::UnreadableStream(dir.Path("src"));
    ASSERT_NE(nullptr, unreadable);
    const Transfer t = Copy(dir.Path("dest"), unreadable);
    EXPECT_EQ(-5, t.result);
    EXPECT_EQ(0u, t.errors.rfind("Fatal read error.\n: ", 0)) << t.errors;
    EXPECT_EQ('\n', t.errors.back());
    EXPECT_EQ("old contents", dir.Read("dest"));
    EXPECT_EQ("dest\nsrc\n", dir.Listing());
}

TEST(TransferFile, ReadOnlyDestinationIsRefusedAndKept) {
    ScratchDir dir;
    dir.Write("dest", "old contents");
    dir.Write("src", "new contents");
    fs::permissions(dir.Path(), fs::perms::all, fs::perm_options::add);
    fs::permissions(dir.Path("src"), fs::perms::all, fs::perm_options::add);
    fs::permissions(dir.Path("dest"),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    const std::string destination = dir.Path("dest");
    const std::string source = dir.Path("src");
    std::string errors;
    int result = 0;
    errors = CaptureStderr([&] {
        result = testing_support::RunUnprivileged([&] {
            FILE* staged = std::fopen(source.c_str(), "rb");
            return staged == nullptr ? 99 : TransferFile(destination.c_str(), staged);
        });
    });
    EXPECT_EQ(-3, result);
    EXPECT_EQ(destination + ": Permission denied\n", errors);
    EXPECT_EQ("old contents", dir.Read("dest"));
    fs::permissions(dir.Path("dest"), fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ("dest\nsrc\n", dir.Listing());
}

#if !defined(_WIN32)

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

#endif

}  // namespace
