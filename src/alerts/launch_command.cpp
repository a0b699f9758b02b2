#include "alerts/launch_command.h"

#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

namespace sentrel {

// The command runs through the POSIX shell, as system() would run it, but
// started with posix_spawn: system() changes the process-wide signal
// dispositions while it waits, which is unsafe with other threads running.
void LaunchCommand(const std::string& commandLine) {
    if (commandLine.empty()) {
        return;
    }
    char shell[] = "/bin/sh";
    char dashC[] = "-c";
    std::string text = commandLine;
    char* argv[] = {shell, dashC, text.data(), nullptr};

    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ) != 0) {
        return;  // not reported: the command's failure is its own affair
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace sentrel
