#include "alerts/launch_command.h"

#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>

extern char** environ;

namespace sentrel {

// The command runs through the POSIX shell, as system() would run it, but
// started with posix_spawn: system() changes the process-wide signal
// dispositions while it waits, which is unsafe with other threads running.
bool LaunchCommand(const std::string& commandLine) {
    if (commandLine.empty()) {
        return false;
    }
    char shell[] = "/bin/sh";
    char dashC[] = "-c";
    std::string text = commandLine;
    char* argv[] = {shell, dashC, text.data(), nullptr};

    // The command starts as from a login shell: no signal blocked, and the
    // signals a program commonly ignores or catches at their defaults, whatever
    // the calling thread has set for itself.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int sig :
         {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2}) {
        sigaddset(&defaults, sig);
    }
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (spawned != 0) {
        return false;
    }
    int status = 0;
    pid_t ended = -1;
    while ((ended = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    return ended == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace sentrel
