#include "support/pty_modem.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sentrel::testing {

PtyModem::PtyModem() {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        error_ = std::string("openpty: ") + std::strerror(errno);
        return;
    }
    termios tio{};
    if (tcgetattr(slave, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    master_ = master;
    slave_ = slave;
    slavePath_ = name;
    reader_ = std::thread([this] { ReadLoop(); });
}

PtyModem::~PtyModem() {
    HangUp();
    if (slave_ >= 0) {
        close(slave_);
    }
}

void PtyModem::HangUp() {
    std::lock_guard lock(hangUpMutex_);
    stop_.store(true);
    if (reader_.joinable()) {
        reader_.join();
    }
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

void PtyModem::ReadLoop() {
    char buffer[512];
    while (!stop_.load()) {
        pollfd p{master_, POLLIN, 0};
        int r = poll(&p, 1, 10);
        if (r <= 0) {
            continue;
        }
        if ((p.revents & POLLIN) == 0) {
            // No slave open at the moment (POLLHUP): keep waiting for one.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        ssize_t n = read(master_, buffer, sizeof buffer);
        auto now = Clock::now();
        if (n > 0) {
            std::lock_guard lock(mutex_);
            chunks_.push_back({now, std::string(buffer, static_cast<std::size_t>(n))});
        }
    }
}

std::string PtyModem::Bytes() const {
    std::lock_guard lock(mutex_);
    std::string all;
    for (const auto& c : chunks_) {
        all += c.bytes;
    }
    return all;
}

std::vector<PtyModem::Chunk> PtyModem::Chunks() const {
    std::lock_guard lock(mutex_);
    return chunks_;
}

std::optional<PtyModem::Clock::time_point> PtyModem::ArrivalOf(std::size_t offset) const {
    std::lock_guard lock(mutex_);
    std::size_t start = 0;
    for (const auto& c : chunks_) {
        if (offset < start + c.bytes.size()) {
            return c.at;
        }
        start += c.bytes.size();
    }
    return std::nullopt;
}

bool PtyModem::WaitForBytes(std::size_t n, std::chrono::milliseconds bound) const {
    auto deadline = Clock::now() + bound;
    while (Clock::now() < deadline) {
        if (Bytes().size() >= n) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return Bytes().size() >= n;
}

}  // namespace sentrel::testing
