// Runs a whole update in the current directory with one file call made to
// fail, for the fault table:
//   rh_fault OPERATION N ERRNO
// makes the N-th call of OPERATION (an entry of os::FileCalls, by the name
// os.h gives it) in the run fail with ERRNO (N = 0: none fails), then prints
// how often each entry was called and the message of the fault it injected
// ("none" if that call never came), and returns the update's result.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "os/os.h"
#include "update/update_run.h"

namespace {

struct ErrnoName {
    const char* name;
    int value;
};
const ErrnoName kErrnos[] = {{"ENOSPC", ENOSPC}, {"EIO", EIO}, {"EACCES", EACCES}};

#define RELAYHIVE_NAME(member, name) name,
const char* const kNames[] = {RELAYHIVE_FILE_CALLS(RELAYHIVE_NAME)};
#undef RELAYHIVE_NAME
constexpr int kCount = sizeof kNames / sizeof kNames[0];

const os::FileCalls platform = os::PlatformFileCalls();
unsigned long calls[kCount];
int failing = -1;
unsigned long failingCall = 0;
int failingErrno = 0;
bool injected = false;

// Counts a call of entry; true, errno set, when it is the one to fail.
bool Fails(int entry) {
    ++calls[entry];
    if (entry != failing || calls[entry] != failingCall) return false;
    injected = true;
    errno = failingErrno;
    return true;
}

// What an entry returns when it fails: no stream, false, -1.
template <typename R>
R Failure() {
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else if constexpr (std::is_same_v<R, long>) {
        return -1;
    } else {
        return false;
    }
}

// One entry, counted and made to fail in its turn; a failed close still releases the stream,
// a failed digest-end the digest.
template <auto Member>
struct Faulty;
template <typename R, typename... A, R (*os::FileCalls::*Member)(A...)>
struct Faulty<Member> {
    static inline int entry = -1;  // its place in kNames
    static R Call(A... arguments) {
        constexpr bool releases = [] {
            if constexpr (std::is_same_v<decltype(Member), decltype(&os::FileCalls::close)>) {
                return Member == &os::FileCalls::close;
            } else if constexpr (std::is_same_v<decltype(Member), decltype(&os::FileCalls::finishDigest)>) {
                return Member == &os::FileCalls::finishDigest;
            } else {
                return false;
            }
        }();
        if constexpr (releases) {
            const R released = (platform.*Member)(arguments...);
            return Fails(entry) ? Failure<R>() : released;
        }
        return Fails(entry) ? Failure<R>() : (platform.*Member)(arguments...);
    }
};

template <auto Member>
void Install(int entry) {
    Faulty<Member>::entry = entry;
    os::fileCalls.*Member = &Faulty<Member>::Call;
}

int Usage() {
    std::fprintf(stderr, "usage: rh_fault OPERATION N ERRNO\n  OPERATION:");
    for (const char* name : kNames) std::fprintf(stderr, " %s", name);
    std::fprintf(stderr, "\n  ERRNO:");
    for (const ErrnoName& e : kErrnos) std::fprintf(stderr, " %s", e.name);
    std::fprintf(stderr, "\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return Usage();
    for (int i = 0; i < kCount; ++i) {
        if (std::strcmp(argv[1], kNames[i]) == 0) failing = i;
    }
    for (const ErrnoName& e : kErrnos) {
        if (std::strcmp(argv[3], e.name) == 0) failingErrno = e.value;
    }
    char* end = nullptr;
    failingCall = std::strtoul(argv[2], &end, 10);
    if (failing < 0 || failingErrno == 0 || end == argv[2] || *end != '\0') return Usage();

    // Every entry, in the table's order: its place there is its place in kNames.
    int entry = 0;
#define RELAYHIVE_INSTALL(member, name) Install<&os::FileCalls::member>(entry++);
    RELAYHIVE_FILE_CALLS(RELAYHIVE_INSTALL)
#undef RELAYHIVE_INSTALL

    const int result = RunUpdate(0, nullptr, nullptr);

    std::printf("calls:");
    for (int i = 0; i < kCount; ++i) std::printf(" %s=%lu", kNames[i], calls[i]);
    std::printf("\nfault: %s\n", injected ? os::ErrorMessage(failingErrno) : "none");
    return result;
}
