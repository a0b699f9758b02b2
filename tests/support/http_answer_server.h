// A tiny HTTP/0.9-style server on 127.0.0.1 for tests and benchmarks: every
// connection gets a fixed answer once its request line has arrived (or after a
// short wait), then is closed. Header-only so that benchmarks can use it too.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace sentrel::testing {

class HttpAnswerServer {
  public:
    explicit HttpAnswerServer(std::string answer) : answer_(std::move(answer)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            return;
        }
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        socklen_t len = sizeof addr;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(fd_, 128) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }

    ~HttpAnswerServer() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    HttpAnswerServer(const HttpAnswerServer&) = delete;
    HttpAnswerServer& operator=(const HttpAnswerServer&) = delete;

    bool ok() const { return fd_ >= 0; }
    int port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }
    int connections() const { return connections_.load(); }
    const std::string& answer() const { return answer_; }

    // A loopback port on which nothing listens (bound once, then released).
    static int RefusedPort() {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        int port = 0;
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
            port = ntohs(addr.sin_port);
        }
        if (fd >= 0) {
            ::close(fd);
        }
        return port;
    }

  private:
    void Serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) {
                continue;
            }
            int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                continue;
            }
            ++connections_;
            // Read the request up to its line feed, for at most a second.
            std::string request;
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            while (request.find('\n') == std::string::npos && !stop_ &&
                   std::chrono::steady_clock::now() < until) {
                pollfd q{c, POLLIN, 0};
                if (::poll(&q, 1, 20) <= 0) {
                    continue;
                }
                char buf[256];
                ssize_t n = ::recv(c, buf, sizeof buf, 0);
                if (n <= 0) {
                    break;
                }
                request.append(buf, static_cast<std::size_t>(n));
            }
            std::size_t sent = 0;
            while (sent < answer_.size()) {
                ssize_t n = ::send(c, answer_.data() + sent, answer_.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    break;
                }
                sent += static_cast<std::size_t>(n);
            }
            ::close(c);
        }
    }

    std::string answer_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

}  // namespace sentrel::testing
