// A private PulseAudio server for sound tests: one null sink, reached through a
// unix socket in a temporary directory; and a recorder of that sink's monitor.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace sentrel::testing {

class PulseServer {
  public:
    // Starts the server and waits (bounded) until it accepts connections.
    PulseServer();
    // Kills the server and reaps it.
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    // The value for PULSE_SERVER, e.g. "unix:/tmp/.../native".
    std::string address() const { return "unix:" + socketPath_; }
    std::string sinkName() const { return "sentrel_null"; }
    // Environment for a client process of this server.
    std::vector<std::string> ClientEnvironment() const;

  private:
    TempDir dir_;
    std::string socketPath_;
    pid_t pid_ = -1;
    bool ok_ = false;
    std::string error_;
};

// Records the null sink's monitor as raw 16-bit mono samples into a file. An idle
// null sink delivers nothing to its monitor, so the recorder also plays endless
// silence into the sink: the recording then runs at real time throughout.
class PulseRecorder {
  public:
    PulseRecorder(const PulseServer& server, int rate);
    ~PulseRecorder();  // stops parec and the silence, and reaps them
    PulseRecorder(const PulseRecorder&) = delete;
    PulseRecorder& operator=(const PulseRecorder&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    int rate() const { return rate_; }
    // Samples recorded so far (the file grows as the monitor delivers).
    std::size_t SampleCount() const;
    std::vector<std::int16_t> Samples() const;

  private:
    TempDir dir_;
    std::string file_;
    int rate_;
    pid_t pid_ = -1;
    pid_t feeder_ = -1;
    bool ok_ = false;
    std::string error_;
};

// Spawns a program with the given arguments and environment, its output to
// outputFile and its errors to errorFile; -1 on failure.
pid_t SpawnProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& outputFile, const std::string& errorFile);
// Sends SIGTERM, waits up to a bound, then SIGKILL; always reaps.
void StopProcess(pid_t pid);

}  // namespace sentrel::testing
