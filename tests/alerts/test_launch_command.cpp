// The operator's command runs through /bin/sh and is waited for.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>

#include <csignal>

#include <cerrno>
#include <chrono>

#include "alerts/launch_command.h"
#include "support/temp_dir.h"

namespace sentrel {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;

bool NoChildLeft() {
    errno = 0;
    return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

TEST(LaunchCommand, RunsThroughTheShellAndWaitsForTheEnd) {
    TempDir dir;
    const std::string out = dir.File("out.txt");
    const auto start = std::chrono::steady_clock::now();
    LaunchCommand("sleep 0.3; echo 'a  b' | tr a-z A-Z >> " + out);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(took, 0.3);
    EXPECT_EQ(ReadFileBytes(out), "A  B\n");  // shell quoting, pipe and redirection all honoured
    EXPECT_TRUE(NoChildLeft());
}

TEST(LaunchCommand, FailingOrMissingCommandsAreNotReported) {
    TempDir dir;
    const std::string out = dir.File("after.txt");
    LaunchCommand("exit 7");
    LaunchCommand("/nonexistent/command-that-is-not-there 2>/dev/null");
    LaunchCommand("kill -TERM $$");  // the shell dies of a signal
    EXPECT_TRUE(NoChildLeft());
    LaunchCommand("echo still >> " + out);
    EXPECT_EQ(ReadFileBytes(out), "still\n");
}

// The hexadecimal signal mask of one "SigXxx:" line of /proc/<pid>/status.
unsigned long long SignalMask(const std::string& status, const std::string& key) {
    const std::size_t at = status.find(key + ":");
    if (at == std::string::npos) {
        return ~0ULL;
    }
    return std::stoull(status.substr(at + key.size() + 1), nullptr, 16);
}

TEST(LaunchCommand, CommandStartsWithNoSignalBlockedOrIgnored) {
    TempDir dir;
    const std::string out = dir.File("status.txt");
    struct sigaction oldPipe {};
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &oldPipe), 0);
    sigset_t block;
    sigset_t oldMask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &block, &oldMask), 0);

    // /proc/self is the grep that reads it: a process the command started.
    LaunchCommand("grep -E '^Sig(Blk|Ign):' /proc/self/status > " + out);

    ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    ::sigaction(SIGPIPE, &oldPipe, nullptr);
    const std::string status = ReadFileBytes(out);
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(SignalMask(status, "SigBlk") & (1ULL << (SIGUSR1 - 1)), 0u) << status;
    EXPECT_EQ(SignalMask(status, "SigIgn") & (1ULL << (SIGPIPE - 1)), 0u) << status;
}

}  // namespace
}  // namespace sentrel
