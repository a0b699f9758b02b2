#include "support/tcp_peer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace sentrel::testing {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kDefaultAnswerBytes = 100;
constexpr std::size_t kDefaultFloodBytes = 1024 * 1024;
constexpr auto kRequestWait = std::chrono::milliseconds(2000);

int MillisLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// 1 when fd reports events, 0 at the deadline, -1 when the stop signal came or on error.
int WaitFor(int fd, short events, int stopFd, Clock::time_point deadline) {
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
        const int rc = ::poll(fds, 2, MillisLeft(deadline));
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc < 0 || (fds[1].revents & POLLIN) != 0) {
            return -1;
        }
        if (rc > 0) {
            return 1;
        }
        if (Clock::now() >= deadline) {
            return 0;
        }
    }
}

}  // namespace

// --- PeerConnection ---

bool PeerConnection::stopping() const {
    pollfd stop{peer_.stopFd_, POLLIN, 0};
    return ::poll(&stop, 1, 0) > 0;
}

int PeerConnection::WaitReadable(Clock::time_point deadline) {
    return WaitFor(fd_, POLLIN, peer_.stopFd_, deadline);
}

ssize_t PeerConnection::ReadOnce(std::string* data) {
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
        if (got > 0) {
            peer_.Record(index_, buffer, static_cast<std::size_t>(got));
            if (data != nullptr) {
                data->assign(buffer, static_cast<std::size_t>(got));
            }
            return got;
        }
        if (got == 0) {
            clientClosed_ = true;
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            clientClosed_ = true;  // reset by the client
        }
        return -1;
    }
}

std::string PeerConnection::ReadSome(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string data;
    while (!clientClosed_ && WaitReadable(deadline) == 1) {
        if (ReadOnce(&data) > 0) {
            return data;
        }
    }
    return {};
}

bool PeerConnection::ReadUntil(const std::string& terminator, std::string* text,
                               std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string got;
    bool found = false;
    // Byte by byte, so that nothing after the terminator is taken from the socket.
    while (!found && !clientClosed_ && WaitReadable(deadline) == 1) {
        char byte;
        const ssize_t n = ::recv(fd_, &byte, 1, 0);
        if (n == 1) {
            peer_.Record(index_, &byte, 1);
            got += byte;
            found = got.size() >= terminator.size() &&
                    got.compare(got.size() - terminator.size(), terminator.size(), terminator) == 0;
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            clientClosed_ = true;
        }
    }
    if (text != nullptr) {
        *text = got;
    }
    return found;
}

bool PeerConnection::Send(const std::string& bytes, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (WaitFor(fd_, POLLOUT, peer_.stopFd_, deadline) != 1) {
                return false;
            }
            continue;
        }
        clientClosed_ = true;
        return false;
    }
    return true;
}

void PeerConnection::Hold() {
    const auto forever = Clock::now() + std::chrono::hours(24);
    while (!clientClosed_ && WaitReadable(forever) == 1) {
        ReadOnce();
    }
}

void PeerConnection::Reset() {
    linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd_);
    fd_ = -1;
    reset_ = true;
}

void PeerConnection::Drain() {
    while (!clientClosed_ && ReadOnce() > 0) {
    }
}

void PeerConnection::Finish() {
    if (fd_ < 0) {
        return;
    }
    // Unread input would turn the close into a reset; take it first.
    Drain();
    ::shutdown(fd_, SHUT_WR);
    ::close(fd_);
    fd_ = -1;
}

// --- TcpPeer ---

std::string TcpPeer::AnswerText(std::size_t bytes) {
    static const std::string line = "<p>sentrel test document</p>\n";
    std::string text;
    text.reserve(bytes);
    while (text.size() < bytes) {
        text += line.substr(0, bytes - text.size());
    }
    return text;
}

TcpPeer::TcpPeer(Behaviour behaviour, std::size_t bytes) {
    switch (behaviour) {
        case Behaviour::Answer: {
            const std::string answer = AnswerText(bytes == 0 ? kDefaultAnswerBytes : bytes);
            script_ = [answer](PeerConnection& c) {
                c.ReadLine(nullptr, kRequestWait);
                c.Send(answer);
            };
            break;
        }
        case Behaviour::Silent:
            script_ = [](PeerConnection& c) { c.Hold(); };
            break;
        case Behaviour::Flood: {
            const std::string flood = AnswerText(bytes == 0 ? kDefaultFloodBytes : bytes);
            script_ = [flood](PeerConnection& c) {
                c.ReadLine(nullptr, kRequestWait);
                c.Send(flood, std::chrono::milliseconds(10000));
            };
            break;
        }
        case Behaviour::OneByteThenHang:
            script_ = [](PeerConnection& c) {
                c.ReadLine(nullptr, kRequestWait);
                c.Send("x");
                c.Hold();
            };
            break;
        case Behaviour::ResetAfterAccept:
            script_ = [](PeerConnection& c) { c.Reset(); };
            break;
        case Behaviour::CloseWithoutData:
            script_ = [](PeerConnection& c) { c.ReadLine(nullptr, kRequestWait); };
            break;
    }
    Start();
}

TcpPeer::TcpPeer(PeerScript script) : script_(std::move(script)) {
    Start();
}

void TcpPeer::Start() {
    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (stopFd_ < 0 || listenFd_ < 0) {
        return;
    }
    sockaddr_in any = address();
    any.sin_port = 0;
    socklen_t length = sizeof any;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
        ::listen(listenFd_, 16) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&any), &length) != 0) {
        return;
    }
    port_ = ntohs(any.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

TcpPeer::~TcpPeer() {
    if (stopFd_ >= 0) {
        const std::uint64_t one = 1;
        (void)!::write(stopFd_, &one, sizeof one);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
    }
    if (stopFd_ >= 0) {
        ::close(stopFd_);
    }
}

sockaddr_in TcpPeer::address() const {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port_));
    return a;
}

void TcpPeer::Serve() {
    const auto forever = Clock::now() + std::chrono::hours(24);
    while (WaitFor(listenFd_, POLLIN, stopFd_, forever) == 1) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            continue;
        }
        int index;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            index = static_cast<int>(received_.size());
            received_.emplace_back();
            accepted_.fetch_add(1);
        }
        changed_.notify_all();
        PeerConnection connection(*this, fd, index);
        try {
            script_(connection);
        } catch (...) {
            // A failing script ends its connection, not the test program.
        }
        connection.Finish();
    }
}

void TcpPeer::Record(int index, const char* data, std::size_t size) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.at(static_cast<std::size_t>(index)).append(data, size);
    }
    changed_.notify_all();
}

std::string TcpPeer::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const auto& r : received_) {
        all += r;
    }
    return all;
}

std::vector<std::string> TcpPeer::receivedPerConnection() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

bool TcpPeer::WaitForAccepted(int count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return accepted_.load() >= count; });
}

bool TcpPeer::WaitForReceived(std::size_t bytes, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        std::size_t total = 0;
        for (const auto& r : received_) {
            total += r.size();
        }
        return total >= bytes;
    });
}

}  // namespace sentrel::testing
