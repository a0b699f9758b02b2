// Helpers shared by the benchmarks (header only: every .cpp here is a program).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/time.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace sentrel::bench {

// A TCP server on 127.0.0.1 (a port of the system's choosing) whose own thread
// accepts connections one at a time and hands each to `serve`. A connection
// `serve` returns true for is kept open until the server is destroyed; for false,
// `serve` has closed it itself. port() is 0 when the server could not listen.
class LoopbackServer {
  public:
    LoopbackServer(int backlog, std::function<bool(int)> serve) : serve_(std::move(serve)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(fd_, backlog) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
            return;
        }
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~LoopbackServer() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }

  private:
    void Run() {
        std::vector<int> held;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) {
                continue;
            }
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0 && serve_(c)) {
                held.push_back(c);
            }
        }
        for (const int c : held) {
            ::close(c);
        }
    }

    std::function<bool(int)> serve_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A plain web server's turn on connection c: reads the request up to its line feed
// (64 bytes, a second at most), sends `answer`, closes. False, as LoopbackServer's
// `serve` returns for a connection it closed itself.
inline bool AnswerRequest(int c, const std::string& answer) {
    const timeval second{1, 0};
    ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
    char request[64];
    std::size_t got = 0;
    while (got < sizeof request) {
        const ssize_t n = ::recv(c, request + got, sizeof request - got, 0);
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
        if (request[got - 1] == '\n') {
            break;
        }
    }
    (void)!::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
    ::close(c);
    return false;
}

// True for a 24-character line time stamp such as "Thu Jan 02 09:05:07 1997".
inline bool IsLineTimestamp(const std::string& t) {
    static const char* const kShape = "Aaa Aaa 00 00:00:00 0000";
    bool ok = t.size() == 24;
    for (std::size_t i = 0; ok && i < 24; ++i) {
        const char k = kShape[i], c = t[i];
        ok = k == 'A'   ? (c >= 'A' && c <= 'Z')
             : k == 'a' ? (c >= 'a' && c <= 'z')
             : k == '0' ? (c >= '0' && c <= '9')
                        : c == k;
    }
    return ok;
}

}  // namespace sentrel::bench
