// xSocket: the program's blocking TCP socket over POSIX, every call bounded by a
// deadline (poll). No state is shared between objects. ByteStream: what a
// protocol reads and writes, whether the socket itself or TLS over it.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>

#include "platform/ip_address.h"

namespace sentrel {

using SteadyClock = std::chrono::steady_clock;
using Deadline = SteadyClock::time_point;

// Waits until fd reports one of events (poll flags) or the deadline passes, going on
// after signals. Returns the reported flags (> 0), 0 at the deadline (also when fd
// is ready then), -1 on a poll error (errno set).
int WaitForSocket(int fd, short events, Deadline deadline);

// A connected stream of bytes, every call bounded by the caller's deadline.
class ByteStream {
  public:
    virtual ~ByteStream() = default;
    // Sends every byte or fails (false) by the deadline.
    virtual bool SendAll(const void* data, std::size_t size, Deadline deadline) = 0;
    // One receive of at most size bytes: the count (> 0), 0 when the peer ended
    // the stream, -1 on an error or when nothing came by the deadline.
    virtual ssize_t Receive(void* buffer, std::size_t size, Deadline deadline) = 0;

  protected:
    ByteStream() = default;
    ByteStream(const ByteStream&) = default;
    ByteStream& operator=(const ByteStream&) = default;
};

class xSocket final : public ByteStream {
  public:
    xSocket() = default;
    ~xSocket() override;
    xSocket(const xSocket&) = delete;
    xSocket& operator=(const xSocket&) = delete;

    // A TCP stream socket of that family, close-on-exec. False when none can be made.
    bool Create(int family = AF_INET);
    // Connects to addr; false when refused, unreachable or not done by the deadline.
    bool Connect(const sockaddr_in& addr, Deadline deadline);
    // The same for an address of either family (the socket's) and a port.
    bool Connect(const IpAddress& address, std::uint16_t port, Deadline deadline);
    // Never raises SIGPIPE.
    bool SendAll(const void* data, std::size_t size, Deadline deadline) override;
    bool SendAll(const std::string& text, Deadline deadline) {
        return SendAll(text.data(), text.size(), deadline);
    }
    ssize_t Receive(void* buffer, std::size_t size, Deadline deadline) override;
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int Handle() const { return fd_; }
    // The errno value of the last failed call (ETIMEDOUT when its deadline passed),
    // 0 after a call that succeeded.
    int LastError() const { return lastError_; }

  private:
    bool ConnectTo(const sockaddr* addr, socklen_t addrLength, Deadline deadline);

    int fd_ = -1;
    int lastError_ = 0;
};

}  // namespace sentrel
