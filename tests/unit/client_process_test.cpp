// Stopping and starting the client, with real stand-in client processes.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <vector>

#include "os/os.h"
#include "process/client_process.h"
#include "scratch.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/wait.h>
#endif

namespace {

namespace fs = std::filesystem;
using testing_support::CaptureStdout;
using testing_support::ScratchDir;
using testing_support::WorkingDirectoryGuard;

// True once the child has ended; does not wait and does not collect it.
bool ChildEnded(const os::ChildProcess* child) {
#if defined(_WIN32)
    return WaitForSingleObject(reinterpret_cast<HANDLE>(child->handle), 0) == WAIT_OBJECT_0;
#else
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(child->handle), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return errno == ECHILD;
    }
    return info.si_pid != 0;
#endif
}

const char kNotFound[] = "\xce\xb4\xd5\xd2\xb5\xbd\xd6\xb8\xb6\xa8\xbd\xf8\xb3\xcc\n";

// A scratch install directory holding stand-in clients under chosen names.
class ClientProcessTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(testing_support::StandinPath().empty()) << "stand-in client not built";
        // No client may be left running from elsewhere.
        ASSERT_NE(0, RunTerminate().first) << "cannot inspect processes";
    }

    void TearDown() override {
        for (std::size_t i = 0; i < started_.size(); ++i) {
            dir_.Write("client" + std::to_string(i) + "/quillmon.stop", "");
        }
        for (os::ChildProcess& child : started_) {
            long code = 0;
            os::WaitForChildProcess(&child, &code);
            os::ReleaseChildProcess(&child);
        }
    }

    // Starts the stand-in as ./name in a directory of its own (names may differ
    // only in case), staying alive until told to stop.
    os::ChildProcess* Start(const std::string& name) {
        const std::string home = "client" + std::to_string(started_.size());
        fs::create_directory(dir_.Path(home));
        fs::copy_file(testing_support::StandinPath(), dir_.Path(home + "/" + name));
        dir_.Write(home + "/quillmon.cfg", "stay=1\n");
        WorkingDirectoryGuard in(dir_.Path(home));
        std::string commandLine = "./" + name;
        os::ChildProcess child{};
        long error = 0;
        EXPECT_TRUE(os::StartChildProcess(&commandLine[0], &child, &error)) << error;
        started_.push_back(child);
        return &started_.back();
    }

    // The first process the snapshot lists under the client's image name.
    std::uint32_t FirstClientInSnapshot() {
        os::ProcessSnapshot* snapshot = os::OpenProcessSnapshot();
        static os::ProcessEntry entry;
        std::uint32_t found = 0;
        for (bool more = os::FirstProcess(snapshot, &entry); more && found == 0;
             more = os::NextProcess(snapshot, &entry)) {
            std::string name = entry.exeFile;
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (name == "quillmon.exe") found = entry.id;
        }
        os::CloseProcessSnapshot(snapshot);
        return found;
    }

    static std::pair<int, std::string> RunTerminate() {
        int result = -1;
        const std::string output = CaptureStdout([&] { result = TerminateClient(); });
        return {result, output};
    }

    ScratchDir dir_;
    std::vector<os::ChildProcess> started_;
};

TEST_F(ClientProcessTest, NoClientRunning) {
    const auto [result, output] = RunTerminate();
    EXPECT_EQ(1, result);
    EXPECT_EQ(kNotFound, output);
}

TEST_F(ClientProcessTest, RunningClientIsGoneWhenTheCallReturns) {
    started_.reserve(4);
    os::ChildProcess* client = Start("Quillmon.exe");
    ASSERT_FALSE(ChildEnded(client));
    const auto [result, output] = RunTerminate();
    EXPECT_NE(0, result);
    EXPECT_EQ("", output);
    EXPECT_TRUE(ChildEnded(client));
}

TEST_F(ClientProcessTest, ImageNameIgnoresCaseButNotLength) {
    started_.reserve(4);
    os::ChildProcess* longer = Start("Quillmon.exe.bak");
    os::ChildProcess* cased = Start("qUILLMON.EXE");
    const auto [result, output] = RunTerminate();
    EXPECT_NE(0, result);
    EXPECT_TRUE(ChildEnded(cased));
    EXPECT_FALSE(ChildEnded(longer));

    const auto [again, message] = RunTerminate();
    EXPECT_EQ(1, again);
    EXPECT_EQ(kNotFound, message);
    EXPECT_FALSE(ChildEnded(longer));
}

TEST_F(ClientProcessTest, OnlyTheFirstOfTwoClientsIsTerminated) {
    started_.reserve(4);
    os::ChildProcess* one = Start("Quillmon.exe");
    os::ChildProcess* two = Start("QUILLMON.exe");
    const std::uint32_t first = FirstClientInSnapshot();
    ASSERT_TRUE(first == one->processId || first == two->processId);
    os::ChildProcess* expectedGone = first == one->processId ? one : two;
    os::ChildProcess* expectedAlive = first == one->processId ? two : one;

    const auto [result, output] = RunTerminate();
    EXPECT_NE(0, result);
    EXPECT_TRUE(ChildEnded(expectedGone));
    EXPECT_FALSE(ChildEnded(expectedAlive));
}

#if !defined(_WIN32)
TEST_F(ClientProcessTest, ClientThatIsAScriptIsFoundByItsName) {
    // Its image is the shell; the name it runs under is the client's.
    dir_.Write("Quillmon.exe", "#!/bin/sh\nwhile :; do sleep 0.05; done\n");
    fs::permissions(dir_.Path("Quillmon.exe"), fs::perms::owner_all, fs::perm_options::add);
    WorkingDirectoryGuard in(dir_.Path());
    std::string commandLine = "./Quillmon.exe";
    os::ChildProcess script{};
    long error = 0;
    ASSERT_TRUE(os::StartChildProcess(&commandLine[0], &script, &error)) << error;
    started_.push_back(script);
    const auto [result, output] = RunTerminate();
    EXPECT_NE(0, result);
    EXPECT_EQ("", output);
    EXPECT_TRUE(ChildEnded(&started_.back()));
}
#endif

TEST_F(ClientProcessTest, LaunchWaitsForTheClientInTheCurrentDirectory) {
    fs::copy_file(testing_support::StandinPath(), dir_.Path("Quillmon.exe"));
    dir_.Write("quillmon.cfg", "exit=3\n");
    WorkingDirectoryGuard in(dir_.Path());
    const std::string here = os::WorkingDirectory();
    std::snprintf(clientCommandLine, sizeof clientCommandLine, "%s", "./Quillmon.exe");
    int result = -1;
    const std::string output = CaptureStdout([&] { result = LaunchClientAndWait(); });
    EXPECT_EQ(0, result);
    EXPECT_EQ(0u, output.find("current work dir: " + here + "\n")) << output;
    const std::string log = dir_.Read("quillmon.log");
    EXPECT_NE(std::string::npos, log.find("started in " + here + " image")) << log;
    EXPECT_NE(std::string::npos, log.find("exiting with 3")) << log;
}

TEST_F(ClientProcessTest, MissingClientCannotBeLaunched) {
    WorkingDirectoryGuard in(dir_.Path());
    std::snprintf(clientCommandLine, sizeof clientCommandLine, "%s", "./Quillmon.exe");
    int result = -1;
    const std::string output = CaptureStdout([&] { result = LaunchClientAndWait(); });
    EXPECT_EQ(5, result);
    EXPECT_EQ("current work dir: " + os::WorkingDirectory() + "\n", output);
}

}  // namespace
