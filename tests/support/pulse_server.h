// A private PulseAudio server whose null sink's monitor is recorded (16-bit mono, 16 kHz)
// into a growing file; silence plays beside, as an idle null sink gives its monitor nothing.
#pragma once

#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <csignal>
#include <cstring>

#include "support/harness.h"

namespace sentrel::testing {

class PulseServer {
  public:
    PulseServer() {
        const std::string d = dir_.path(), raw = " --raw --format=s16le --channels=1 --rate=16000";
        const std::string script =
            "export HOME=" + d + " XDG_RUNTIME_DIR=" + d + " PULSE_SERVER=" + address() +
            "; pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=false "
            "--load='module-null-sink sink_name=null' --load='module-native-protocol-unix "
            "auth-anonymous=1 socket=" +
            d + "/native' 2>" + d + "/log & until [ -S " + d +
            "/native ]; do sleep 0.05; done; pacat -d null --latency-msec=50" + raw +
            " /dev/zero & exec parec -d null.monitor --latency-msec=20" + raw + " >" + d + "/raw";
        const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);  // what the shell leaves is ours to reap
        posix_spawnattr_t group;             // the shell and all it starts: one process group
        posix_spawnattr_init(&group);
        posix_spawnattr_setflags(&group, POSIX_SPAWN_SETPGROUP);
        ::posix_spawnp(&pid_, "sh", nullptr, &group, const_cast<char**>(argv), environ);
        ok_ = WaitUntil([&] { return Samples().size() >= 1600; }, 20s);
    }
    ~PulseServer() {
        for (int rc = pid_ > 0 ? ::kill(-pid_, SIGKILL) : -1; rc == 0;) {
            rc = ::waitpid(-pid_, nullptr, 0) > 0 ? 0 : -1;
        }
    }
    bool ok() const { return ok_; }
    std::string address() const { return "unix:" + dir_.file("native"); }
    std::vector<std::int16_t> Samples() const {
        const std::string bytes = ReadFile(dir_.file("raw"));
        std::vector<std::int16_t> samples(bytes.size() / 2);
        if (!samples.empty()) {  // no recording yet: nothing to copy
            std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
        }
        return samples;
    }

  private:
    TempDir dir_;
    pid_t pid_ = -1;
    bool ok_ = false;
};

}  // namespace sentrel::testing
