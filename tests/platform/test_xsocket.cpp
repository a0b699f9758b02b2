// xSocket against real loopback peers: every call ends by its deadline, signals do
// not cut waits short, a vanished peer never raises SIGPIPE.
#include "platform/xsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/tcp_peer.h"

namespace sentrel {
namespace {

using namespace std::chrono_literals;
using testing::TcpPeer;

double MsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

double ThreadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

// A listening socket nobody accepts from: connections queue in the kernel and no
// byte is ever read.
class Unaccepted {
  public:
    explicit Unaccepted(int backlog) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = Loopback(0);
        socklen_t length = sizeof a;
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::listen(fd_, backlog) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
            port_ = ntohs(a.sin_port);
        }
    }
    ~Unaccepted() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

TEST(XSocket, CreatesCloseOnExecStreamSocket) {
    xSocket s;
    ASSERT_TRUE(s.Create());
    EXPECT_TRUE(s.IsOpen());
    EXPECT_NE(::fcntl(s.Handle(), F_GETFD) & FD_CLOEXEC, 0);
    s.Close();
    EXPECT_FALSE(s.IsOpen());

    // Calls on a closed socket fail instead of touching a stale descriptor.
    char byte;
    const auto soon = SteadyClock::now() + 100ms;
    EXPECT_FALSE(s.Connect(Loopback(1), soon));
    EXPECT_FALSE(s.SendAll("x", soon));
    EXPECT_EQ(s.Receive(&byte, 1, soon), -1);
    EXPECT_EQ(s.LastError(), EBADF);
}

TEST(XSocket, ExchangesBytesAndSeesTheOrderlyClose) {
    TcpPeer peer(TcpPeer::Behaviour::Answer, 5000);
    ASSERT_TRUE(peer.listening());
    xSocket s;
    ASSERT_TRUE(s.Create());
    const auto deadline = SteadyClock::now() + 5s;
    ASSERT_TRUE(s.Connect(peer.address(), deadline));
    ASSERT_TRUE(s.SendAll(std::string("hello\n"), deadline));
    std::string got;
    char buffer[1000];
    ssize_t n;
    while ((n = s.Receive(buffer, sizeof buffer, deadline)) > 0) {
        got.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(n, 0) << "the peer's close reads as 0, error " << s.LastError();
    EXPECT_EQ(got, TcpPeer::AnswerText(5000));
    EXPECT_EQ(peer.receivedPerConnection().at(0), "hello\n");
}

TEST(XSocket, RefusedConnectFailsAtOnce) {
    int port;
    {
        TcpPeer gone(TcpPeer::Behaviour::Silent);
        ASSERT_TRUE(gone.listening());
        port = gone.port();
    }
    xSocket s;
    ASSERT_TRUE(s.Create());
    const auto start = SteadyClock::now();
    EXPECT_FALSE(s.Connect(Loopback(port), start + 5s));
    EXPECT_EQ(s.LastError(), ECONNREFUSED);
    EXPECT_LT(MsSince(start), 1000.0);
}

TEST(XSocket, ConnectGivesUpAtItsDeadline) {
    // With the accept queue of an unserved listener full, the kernel drops further
    // connection requests, so one of these attempts has to wait for its deadline.
    Unaccepted listener(0);
    ASSERT_NE(listener.port(), 0);
    std::vector<std::unique_ptr<xSocket>> sockets;
    bool timedOut = false;
    for (int i = 0; i < 8 && !timedOut; ++i) {
        auto s = std::make_unique<xSocket>();
        ASSERT_TRUE(s->Create());
        const auto start = SteadyClock::now();
        const bool connected = s->Connect(Loopback(listener.port()), start + 300ms);
        const double ms = MsSince(start);
        if (!connected) {
            EXPECT_EQ(s->LastError(), ETIMEDOUT);
            EXPECT_GE(ms, 299.0);
            EXPECT_LT(ms, 800.0);
            timedOut = true;
        } else {
            EXPECT_LT(ms, 300.0);
        }
        sockets.push_back(std::move(s));
    }
    EXPECT_TRUE(timedOut) << "no connect attempt had to wait";
}

TEST(XSocket, ReceiveWaitsForItsDeadlineWithoutSpinning) {
    TcpPeer peer(TcpPeer::Behaviour::Silent);
    xSocket s;
    ASSERT_TRUE(s.Create());
    ASSERT_TRUE(s.Connect(peer.address(), SteadyClock::now() + 5s));
    char buffer[100];
    const double cpuBefore = ThreadCpuMs();
    const auto start = SteadyClock::now();
    EXPECT_EQ(s.Receive(buffer, sizeof buffer, start + 700ms), -1);
    const double ms = MsSince(start);
    EXPECT_EQ(s.LastError(), ETIMEDOUT);
    EXPECT_GE(ms, 699.0);
    EXPECT_LT(ms, 1200.0);
    EXPECT_LT(ThreadCpuMs() - cpuBefore, 50.0) << "the wait must sleep, not poll in a loop";
}

std::atomic<int> gSignals{0};
extern "C" void CountSignal(int) {
    gSignals.fetch_add(1);
}

TEST(XSocket, SignalsDoNotCutAWaitShort) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = CountSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: every signal interrupts the wait with EINTR
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

    TcpPeer peer(TcpPeer::Behaviour::Silent);
    xSocket s;
    ASSERT_TRUE(s.Create());
    ASSERT_TRUE(s.Connect(peer.address(), SteadyClock::now() + 5s));

    const pthread_t self = ::pthread_self();
    std::atomic<bool> done{false};
    gSignals = 0;
    std::thread pest([&] {
        while (!done.load()) {
            ::pthread_kill(self, SIGUSR1);
            std::this_thread::sleep_for(20ms);
        }
    });
    char buffer[100];
    const auto start = SteadyClock::now();
    const ssize_t got = s.Receive(buffer, sizeof buffer, start + 600ms);
    const double ms = MsSince(start);
    done = true;
    pest.join();
    ::sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_EQ(got, -1);
    EXPECT_EQ(s.LastError(), ETIMEDOUT);
    EXPECT_GE(ms, 599.0);
    EXPECT_LT(ms, 1100.0);
    EXPECT_GE(gSignals.load(), 5) << "the wait was not actually interrupted";
}

TEST(XSocket, SendToAVanishedPeerFailsWithoutSigpipe) {
    // SIGPIPE at its default would end this test program.
    struct sigaction deflt {};
    struct sigaction previous {};
    deflt.sa_handler = SIG_DFL;
    sigemptyset(&deflt.sa_mask);
    ASSERT_EQ(::sigaction(SIGPIPE, &deflt, &previous), 0);

    // Resets the connection once the first byte is there.
    TcpPeer peer([](testing::PeerConnection& c) {
        c.ReadSome(5000ms);
        c.Reset();
    });
    xSocket s;
    ASSERT_TRUE(s.Create());
    ASSERT_TRUE(s.Connect(peer.address(), SteadyClock::now() + 5s));
    ASSERT_TRUE(s.SendAll("x", SteadyClock::now() + 5s));
    ASSERT_TRUE(peer.WaitForReceived(1, 5s));
    const std::string chunk(4096, 'z');
    // The first send after the reset reports it (ECONNRESET); later ones meet a
    // broken pipe (EPIPE), which is where SIGPIPE would strike.
    int failures = 0;
    bool brokenPipe = false;
    const auto start = SteadyClock::now();
    for (int i = 0; i < 100 && failures < 3; ++i) {
        if (!s.SendAll(chunk, SteadyClock::now() + 1s)) {
            ++failures;
            brokenPipe = brokenPipe || s.LastError() == EPIPE;
        }
        std::this_thread::sleep_for(5ms);
    }
    ::sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_EQ(failures, 3);
    EXPECT_TRUE(brokenPipe);
    EXPECT_LT(MsSince(start), 2000.0);
}

TEST(XSocket, SendGivesUpAtItsDeadlineWhenNothingIsRead) {
    Unaccepted listener(4);
    ASSERT_NE(listener.port(), 0);
    xSocket s;
    ASSERT_TRUE(s.Create());
    ASSERT_TRUE(s.Connect(Loopback(listener.port()), SteadyClock::now() + 5s));
    const std::string lots(64 * 1024 * 1024, 'q');  // far more than the buffers hold
    const auto start = SteadyClock::now();
    EXPECT_FALSE(s.SendAll(lots, start + 500ms));
    const double ms = MsSince(start);
    EXPECT_EQ(s.LastError(), ETIMEDOUT);
    EXPECT_GE(ms, 499.0);
    EXPECT_LT(ms, 1500.0);
}

}  // namespace
}  // namespace sentrel
