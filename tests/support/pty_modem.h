// A stand-in modem: a pseudo-terminal pair whose slave side is the serial device
// handed to the pager. A reader thread records every byte arriving at the master
// side together with its arrival time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sentrel::testing {

class PtyModem {
  public:
    using Clock = std::chrono::steady_clock;
    struct Chunk {
        Clock::time_point at;
        std::string bytes;
    };

    PtyModem();  // opens the pair, sets the slave raw, starts the reader
    ~PtyModem();
    PtyModem(const PtyModem&) = delete;
    PtyModem& operator=(const PtyModem&) = delete;

    bool ok() const { return master_ >= 0; }
    const std::string& error() const { return error_; }
    const std::string& slavePath() const { return slavePath_; }

    std::string Bytes() const;
    std::vector<Chunk> Chunks() const;
    // Arrival time of the byte at this offset of the stream, if it has come.
    std::optional<Clock::time_point> ArrivalOf(std::size_t offset) const;
    // Waits until at least n bytes have arrived, at most for the bound.
    bool WaitForBytes(std::size_t n, std::chrono::milliseconds bound) const;

    // Drops the line: stops the reader and closes the master side, so that the
    // slave is hung up and writes to it fail. Callable from any thread.
    void HangUp();

  private:
    void ReadLoop();

    int master_ = -1;
    int slave_ = -1;  // held open so the master never sees a closed slave
    std::string slavePath_;
    std::string error_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
    mutable std::mutex mutex_;
    std::vector<Chunk> chunks_;
    std::mutex hangUpMutex_;
};

}  // namespace sentrel::testing
