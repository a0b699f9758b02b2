// The blocking-looking TCP socket: a non-blocking descriptor underneath, every wait
// done by ppoll() against the caller's deadline, so no call can hang a thread.
#include "platform/xsocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace sentrel {

int WaitForSocket(int fd, short events, Deadline deadline) {
    for (;;) {
        const auto now = SteadyClock::now();
        if (now >= deadline) {
            return 0;  // ready or not: a peer that talks without end is not read past it
        }
        const auto left = deadline > now
                              ? std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now)
                              : std::chrono::nanoseconds::zero();
        timespec wait{};
        wait.tv_sec = static_cast<time_t>(left.count() / 1000000000);
        wait.tv_nsec = static_cast<long>(left.count() % 1000000000);
        pollfd entry{};
        entry.fd = fd;
        entry.events = events;
        const int rc = ::ppoll(&entry, 1, &wait, nullptr);
        if (rc > 0) {
            return entry.revents;
        }
        if (rc == 0) {
            if (SteadyClock::now() >= deadline) {
                return 0;
            }
            continue;  // woke a little early: wait for the rest
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

namespace {

// One wait of a socket call: true once the descriptor is ready, else false with
// the reason in `error` (ETIMEDOUT when the deadline passed).
bool AwaitSocket(int fd, short events, Deadline deadline, int& error) {
    const int ready = WaitForSocket(fd, events, deadline);
    if (ready > 0) {
        return true;
    }
    error = ready == 0 ? ETIMEDOUT : errno;
    return false;
}

}  // namespace

xSocket::~xSocket() {
    Close();
}

bool xSocket::Create(int family) {
    Close();
    fd_ = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    lastError_ = fd_ < 0 ? errno : 0;
    return fd_ >= 0;
}

bool xSocket::Connect(const sockaddr_in& addr, Deadline deadline) {
    return ConnectTo(reinterpret_cast<const sockaddr*>(&addr), sizeof addr, deadline);
}

bool xSocket::Connect(const IpAddress& address, std::uint16_t port, Deadline deadline) {
    sockaddr_storage target{};
    const socklen_t length = ToSocketAddress(address, port, &target);
    return ConnectTo(reinterpret_cast<const sockaddr*>(&target), length, deadline);
}

bool xSocket::ConnectTo(const sockaddr* addr, socklen_t addrLength, Deadline deadline) {
    if (fd_ < 0) {
        lastError_ = EBADF;
        return false;
    }
    const int rc = ::connect(fd_, addr, addrLength);
    if (rc == 0) {
        lastError_ = 0;
        return true;
    }
    // A non-blocking connect interrupted by a signal goes on in the background,
    // exactly like one in progress.
    if (errno != EINPROGRESS && errno != EINTR) {
        lastError_ = errno;
        return false;
    }
    if (!AwaitSocket(fd_, POLLOUT, deadline, lastError_)) {
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        error = errno;
    }
    lastError_ = error;
    return error == 0;
}

bool xSocket::SendAll(const void* data, std::size_t size, Deadline deadline) {
    if (fd_ < 0) {
        lastError_ = EBADF;
        return false;
    }
    const char* next = static_cast<const char*>(data);
    std::size_t left = size;
    while (left > 0) {
        const ssize_t sent = ::send(fd_, next, left, MSG_NOSIGNAL);
        if (sent > 0) {
            next += sent;
            left -= static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!AwaitSocket(fd_, POLLOUT, deadline, lastError_)) {
                return false;
            }
            continue;  // writable, or an error the next send() reports
        }
        lastError_ = sent < 0 ? errno : EIO;
        return false;
    }
    lastError_ = 0;
    return true;
}

ssize_t xSocket::Receive(void* buffer, std::size_t size, Deadline deadline) {
    if (fd_ < 0) {
        lastError_ = EBADF;
        return -1;
    }
    for (;;) {
        const ssize_t got = ::recv(fd_, buffer, size, 0);
        if (got >= 0) {
            lastError_ = 0;
            return got;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            lastError_ = errno;
            return -1;
        }
        if (!AwaitSocket(fd_, POLLIN, deadline, lastError_)) {
            return -1;
        }
    }
}

void xSocket::Close() {
    if (fd_ >= 0) {
        ::close(fd_);  // never retried: the descriptor is gone even after EINTR
        fd_ = -1;
    }
}

}  // namespace sentrel
