#include "support/smtp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <stdexcept>

namespace sentrel::testing {

namespace {

constexpr int kPollMs = 20;

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

bool SendAllBytes(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::uint16_t UnusedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return ok ? ntohs(addr.sin_port) : 0;
}

SmtpPeer::SmtpPeer() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        throw std::runtime_error("smtp peer: no socket");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 8) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("smtp peer: cannot listen");
    }
    port_ = ntohs(addr.sin_port);
}

SmtpPeer::~SmtpPeer() {
    stop_.store(true);
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
    }
}

void SmtpPeer::Start() {
    thread_ = std::thread([this] { Run(); });
}

std::vector<SmtpReply> SmtpPeer::StandardReply(const std::string& command) {
    const std::string verb = Upper(command.substr(0, 4));
    if (verb == "HELO" || verb == "EHLO") {
        return {{"250 peer.test\r\n"}};
    }
    if (verb == "MAIL" || verb == "RCPT") {
        return {{"250 2.1.0 Ok\r\n"}};
    }
    if (verb == "DATA") {
        return {{"354 End data with <CR><LF>.<CR><LF>\r\n"}};
    }
    if (verb == "QUIT") {
        return {{"221 2.0.0 Bye\r\n", std::chrono::milliseconds(0), true}};
    }
    return {{"500 5.5.2 Error: command not recognized\r\n"}};
}

std::vector<SmtpSession> SmtpPeer::Sessions() const {
    std::lock_guard lock(mutex_);
    return sessions_;
}

int SmtpPeer::Connections() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(sessions_.size());
}

bool SmtpPeer::WaitForEndedSessions(int count, std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return ended_ >= count; });
}

template <typename F>
void SmtpPeer::Update(int sessionIndex, F change) {
    std::lock_guard lock(mutex_);
    change(sessions_[static_cast<std::size_t>(sessionIndex)]);
}

bool SmtpPeer::SleepUnlessStopped(std::chrono::milliseconds delay) {
    const auto until = std::chrono::steady_clock::now() + delay;
    while (std::chrono::steady_clock::now() < until) {
        if (stop_.load()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return !stop_.load();
}

bool SmtpPeer::SendPieces(int fd, const std::vector<SmtpReply>& pieces) {
    for (const SmtpReply& piece : pieces) {
        if (!SleepUnlessStopped(piece.delay)) {
            return false;
        }
        if (!piece.text.empty() && !SendAllBytes(fd, piece.text)) {
            return false;
        }
        if (piece.close) {
            return false;
        }
    }
    return true;
}

void SmtpPeer::Run() {
    while (!stop_.load()) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, kPollMs) <= 0) {
            continue;
        }
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        int index = 0;
        {
            std::lock_guard lock(mutex_);
            sessions_.emplace_back();
            index = static_cast<int>(sessions_.size()) - 1;
        }
        changed_.notify_all();
        Serve(fd, index);
        ::close(fd);
        {
            std::lock_guard lock(mutex_);
            ++ended_;
        }
        changed_.notify_all();
    }
}

void SmtpPeer::Serve(int fd, int index) {
    if (!SendPieces(fd, greeting_)) {
        return;
    }
    std::string pending;  // bytes not yet taken as a line or as data
    bool inData = false;
    bool dataAnswered = false;
    char buffer[4096];
    while (!stop_.load()) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kPollMs) <= 0) {
            continue;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            Update(index, [](SmtpSession& s) { s.clientClosed = true; });
            return;
        }
        const std::string chunk(buffer, static_cast<std::size_t>(n));
        Update(index, [&](SmtpSession& s) { s.received += chunk; });
        pending += chunk;

        for (;;) {
            if (inData) {
                const std::size_t end = pending.find("\r\n.\r\n");
                if (end == std::string::npos) {
                    break;
                }
                const std::string data = pending.substr(0, end + 5);
                pending.erase(0, end + 5);
                inData = false;
                Update(index, [&](SmtpSession& s) {
                    s.data = data;
                    s.dataComplete = true;
                });
                if (!SendPieces(fd, dataReply_)) {
                    return;
                }
                dataAnswered = true;
                continue;
            }
            const std::size_t eol = pending.find("\r\n");
            if (eol == std::string::npos) {
                break;
            }
            const std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 2);
            const bool quitFirst = dataAnswered && Upper(line) == "QUIT";
            Update(index, [&](SmtpSession& s) {
                s.commands.push_back(line);
                if (quitFirst) {
                    s.quitAfterDataReply = true;
                }
            });
            dataAnswered = false;
            const std::vector<SmtpReply> replies = responder_(line);
            if (Upper(line) == "DATA") {
                for (const SmtpReply& r : replies) {
                    inData = inData || r.text.rfind("354", 0) == 0;
                }
            }
            if (!SendPieces(fd, replies)) {
                return;
            }
        }
    }
}

}  // namespace sentrel::testing
