// A stand-in modem: a pseudo-terminal whose slave side is the pager's serial
// device; a reader thread records each byte reaching the master side with its time.
#pragma once

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include "support/harness.h"

namespace sentrel::testing {

class PtyModem {
  public:
    PtyModem() {
        char name[256] = {};
        ok_ = ::openpty(&master_, &slave_, name, nullptr, nullptr) == 0;  // the port sets it raw
        path_ = name;
        reader_ = std::thread([this] {
            for (char b[512]; ok_ && !stop_;) {
                pollfd p{master_, POLLIN, 0};
                const bool ready = ::poll(&p, 1, 10) == 1 && (p.revents & POLLIN) != 0;
                const ssize_t n = ready ? ::read(master_, b, sizeof b) : 0;
                std::lock_guard lock(mutex_);
                bytes_.append(b, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
                at_.resize(bytes_.size(), Clock::now());
            }
        });
    }
    ~PtyModem() { HangUp(), ::close(slave_); }
    bool ok() const { return ok_; }
    const std::string& slavePath() const { return path_; }
    int master() const { return master_; }
    std::string Bytes() const {
        std::lock_guard lock(mutex_);
        return bytes_;
    }
    Clock::time_point ArrivalOf(std::size_t offset) const {  // max() while still to come
        std::lock_guard lock(mutex_);
        return offset < at_.size() ? at_[offset] : Clock::time_point::max();
    }
    bool WaitForBytes(std::size_t n, Ms bound) const {
        return WaitUntil([&] { return Bytes().size() >= n; }, bound);
    }
    void HangUp() {  // drops the line: the master closes, writes to the slave fail
        std::lock_guard lock(hangUp_);
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
        (void)(master_ >= 0 && ::close(master_)), master_ = -1;
    }

  private:
    bool ok_ = false;
    int master_ = -1, slave_ = -1;  // the slave is held so the master never sees it closed
    std::string path_, bytes_;
    std::vector<Clock::time_point> at_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
    mutable std::mutex mutex_, hangUp_;
};

}  // namespace sentrel::testing
