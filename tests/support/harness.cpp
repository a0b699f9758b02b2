#include "support/harness.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

namespace sentrel::testing {

namespace fs = std::filesystem;

TempDir::TempDir() : path_((fs::temp_directory_path() / "sentrel-test-XXXXXX").string()) {
    if (::mkdtemp(path_.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
    (void)(home_ && ::unsetenv("XDG_CONFIG_HOME"));
}

std::string ReadFile(const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    return static_cast<bool>(std::ofstream(path, std::ios::binary) << bytes);
}

bool IsTimeStamp(const std::string& text) {
    const std::string shape = "Aaa Aaa 99 99:99:99 9999";
    if (text.size() != shape.size())
        return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool fits = shape[i] == 'A'   ? std::isupper(c)
                          : shape[i] == 'a' ? std::islower(c)
                          : shape[i] == '9' ? std::isdigit(c)
                                            : c == static_cast<unsigned char>(shape[i]);
        if (!fits)
            return false;
    }
    return true;
}

void ResetEngine() {
    ScanBusy = ScanAbort = MonitorRunning = 0;
    ResetNodeTable();
    SetLastScanText({});
}

bool WaitUntil(const std::function<bool()>& condition, Ms timeout) {
    const auto end = Clock::now() + timeout;
    while (!condition() && Clock::now() < end)
        std::this_thread::sleep_for(2ms);
    return condition();
}

// 1 when fd is ready, 0 at the deadline, -1 when the stop signal came or on error.
static int Await(int fd, short events, int stop, Clock::time_point deadline) {
    for (;;) {
        const long left = std::chrono::ceil<Ms>(deadline - Clock::now()).count();
        pollfd fds[2] = {{fd, events, 0}, {stop, POLLIN, 0}};
        const int rc = ::poll(fds, 2, static_cast<int>(std::max(left, 0L)));
        if ((rc < 0 && errno != EINTR) || fds[1].revents != 0)
            return -1;
        else if (rc > 0 || left <= 0)
            return rc;
    }
}

int Connection::ReadSome(Clock::time_point deadline) {
    char buffer[16384];
    const int got = Await(fd_, POLLIN, stop_, deadline) < 1
                        ? -1
                        : static_cast<int>(::recv(fd_, buffer, sizeof buffer, 0));
    std::lock_guard lock(mutex_);
    log_.back().append(buffer, static_cast<std::size_t>(std::max(got, 0)));
    pending_.append(buffer, static_cast<std::size_t>(std::max(got, 0)));
    return got;
}

bool Connection::ReadLine(std::string* line, Ms timeout) {
    const auto deadline = Clock::now() + timeout;
    std::size_t end;
    while ((end = pending_.find('\n')) == std::string::npos) {
        if (ReadSome(deadline) <= 0) {
            *line = std::exchange(pending_, {});
            return false;
        }
    }
    *line = pending_.substr(0, end + 1);
    pending_.erase(0, end + 1);
    return true;
}

bool Connection::Send(const std::string& bytes) {
    const auto deadline = Clock::now() + 5s;
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = Await(fd_, POLLOUT, stop_, deadline) < 1
                              ? -2
                              : ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n == -2 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return false;
        sent += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
    }
    return true;
}

LoopbackPeer::LoopbackPeer(Mode mode, std::string text)
    : LoopbackPeer([mode, text](Connection& c) {
          std::string line;
          if (mode == Mode::Silent) {
              c.Hold();
          } else if (c.ReadLine(&line)) {
              for (std::size_t i = 0; mode == Mode::OneBytePieces && i < text.size(); ++i) {
                  std::this_thread::sleep_for(10ms);
                  c.Send(text.substr(i, 1));
              }
              c.Send(mode == Mode::OneBytePieces ? "" : text);
          }
      }) {}

LoopbackPeer::LoopbackPeer(std::function<void(Connection&)> script, bool v6)
    : script_(std::move(script)),
      listen_(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)),
      stop_(::eventfd(0, EFD_CLOEXEC)) {
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    sockaddr_in6 a6{AF_INET6, 0, 0, in6addr_loopback, 0};
    socklen_t length = v6 ? sizeof a6 : sizeof a;
    auto* address = v6 ? reinterpret_cast<sockaddr*>(&a6) : reinterpret_cast<sockaddr*>(&a);
    if (::bind(listen_, address, length) != 0 || ::listen(listen_, 16) != 0 ||
        ::getsockname(listen_, address, &length) != 0)
        return;
    port_ = ntohs(v6 ? a6.sin6_port : a.sin_port);
    thread_ = std::thread([this] {
        while (Await(listen_, POLLIN, stop_, Clock::now() + 3600s) == 1) {
            const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            const int one = 1;
            if (fd < 0 || ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)
                continue;
            {
                std::lock_guard lock(mutex_);
                received_.emplace_back();
                ++accepted_;
            }
            Connection c(received_, mutex_, fd, stop_);
            script_(c);
            const linger hard{1, 0};
            if (c.reset)
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            // Orderly close: what the client still sends is recorded until it closes too.
            while (!c.reset && ::shutdown(fd, SHUT_WR) == 0 && c.ReadSome(Clock::now() + 1s) > 0) {
            }
            ::close(fd);
        }
    });
}

LoopbackPeer::~LoopbackPeer() {
    ::eventfd_write(stop_, 1);
    if (thread_.joinable())
        thread_.join();
    ::close(listen_), ::close(stop_);
}

bool InPrivateNetNamespace(const std::function<void()>& body) {
    bool ran = false;
    std::thread([&] {  // a namespace belongs to a thread: the caller's stays where it is
        ifreq lo{};
        std::strcpy(lo.ifr_name, "lo");
        const int fd = ::unshare(CLONE_NEWNET) == 0 ? ::socket(AF_INET, SOCK_DGRAM, 0) : -1;
        if (fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &lo) == 0) {
            lo.ifr_flags = static_cast<short>(lo.ifr_flags | IFF_UP);
            ran = ::ioctl(fd, SIOCSIFFLAGS, &lo) == 0;
        }
        ::close(fd);
        if (ran)
            body();
    })
        .join();
    return ran;
}

bool SetNetSysctl(const std::string& name, const std::string& value) {
    return static_cast<bool>(std::ofstream("/proc/sys/net/" + name) << value << std::flush);
}

void RecordingWindow::Add(const std::string& call, std::optional<std::vector<std::string>> rows,
                          std::optional<RecordedMessage> message) {
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
        rows ? redraws_.push_back(*rows) : message ? messages_.push_back(*message) : void();
    }
    if (rows && onRedraw)
        onRedraw(*rows);
}

MessageAnswer RecordingWindow::ShowMessage(const std::string& text, const std::string& caption,
                                           MessageIcon icon, MessageButtons buttons) {
    Add("message:" + text, {}, RecordedMessage{text, caption, icon, buttons});
    return buttons == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
}

std::vector<std::string> LoopbackPeer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

}  // namespace sentrel::testing
