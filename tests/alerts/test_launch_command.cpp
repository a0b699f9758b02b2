// The operator's command runs through /bin/sh and is waited for.
#include <gtest/gtest.h>
#include <sys/wait.h>

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

}  // namespace
}  // namespace sentrel
