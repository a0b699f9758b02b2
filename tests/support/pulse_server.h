// A private PulseAudio server with one null sink, and the sink's monitor recorded
// as 16-bit mono samples at 16 kHz into a file that grows in real time (silence is
// played into the sink beside: an idle null sink gives its monitor nothing).
#pragma once

#include <cstring>
#include <filesystem>
#include <memory>

#include "support/harness.h"

namespace sentrel::testing {

class PulseServer {
  public:
    static constexpr int kRate = 16000;
    PulseServer() {
        server_ =
            Run("pulseaudio --system=false -n --daemonize=no --exit-idle-time=-1 "
                "--use-pid-file=false --load='module-null-sink sink_name=null' "
                "--load='module-native-protocol-unix auth-anonymous=1 socket=" +
                dir_.file("native") + "' 2>" + dir_.file("log"));
        const std::string raw = " --raw --format=s16le --channels=1 --rate=16000";
        if (WaitUntil([&] { return std::filesystem::exists(dir_.file("native")); }, 15s)) {
            silence_ = Run("pacat -d null --latency-msec=50" + raw + " /dev/zero");
            recorder_ =
                Run("parec -d null.monitor --latency-msec=20" + raw + " >" + dir_.file("raw"));
        }
        ok_ = WaitUntil([&] { return Samples().size() >= kRate / 10; }, 15s);
    }
    bool ok() const { return ok_; }
    std::string error() const { return ReadFile(dir_.file("log")); }
    std::string address() const { return "unix:" + dir_.file("native"); }
    std::vector<std::int16_t> Samples() const {
        const std::string bytes = ReadFile(dir_.file("raw"));
        std::vector<std::int16_t> samples(bytes.size() / 2);
        std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
        return samples;
    }

  private:
    std::unique_ptr<Process> Run(const std::string& command) const {
        return std::make_unique<Process>(std::vector<std::string>{"sh", "-c", env_ + command});
    }
    TempDir dir_;
    const std::string env_ = "HOME=" + dir_.path() + " XDG_RUNTIME_DIR=" + dir_.path() +
                             " PULSE_SERVER=" + address() + " exec ";
    std::unique_ptr<Process> server_, silence_, recorder_;  // stopped in reverse order
    bool ok_ = false;
};

}  // namespace sentrel::testing
