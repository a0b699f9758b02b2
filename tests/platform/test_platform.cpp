// xSocket against loopback peers (deadlines without spinning, signals, SIGPIPE) and
// the address and name helpers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <ctime>

#include "platform/net_names.h"
#include "platform/xsocket.h"
#include "support/harness.h"

namespace sentrel {
namespace {

using namespace testing;

sockaddr_in Loopback(int port) {
    return {AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
}
double Ms(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}
// The call that began at start failed at its deadline `ms` later, within `slack` more.
void ExpectDeadline(const xSocket& s, Clock::time_point start, double ms, double slack) {
    const double took = Ms(start);
    EXPECT_EQ(s.LastError(), ETIMEDOUT);
    EXPECT_TRUE(took >= ms - 1 && took < ms + slack) << took;
}

TEST(XSocket, ExchangesBytesSeesTheCloseAndRefusesAClosedSocket) {
    LoopbackPeer peer(LoopbackPeer::Mode::OneBytePieces, "answer");
    xSocket s;
    const auto deadline = Clock::now() + 5s;
    ASSERT_TRUE(s.Create() && s.Connect(Loopback(peer.port()), deadline) &&
                s.SendAll("hello\n", deadline));
    std::string got;
    char buffer[100];
    ssize_t n;
    while ((n = s.Receive(buffer, sizeof buffer, deadline)) > 0)
        got.append(buffer, static_cast<std::size_t>(n));
    EXPECT_EQ(std::tuple(got, n), std::tuple("answer", ssize_t{0}));
    EXPECT_TRUE(WaitUntil([&] { return peer.received() == std::vector<std::string>{"hello\n"}; }));
    s.Close();
    EXPECT_FALSE(s.Connect(Loopback(peer.port()), deadline) || s.SendAll("x", deadline));
    EXPECT_EQ(s.Receive(buffer, 1, deadline), -1);
    EXPECT_EQ(s.LastError(), EBADF);
    const auto start = Clock::now();
    EXPECT_FALSE(s.Create() && s.Connect(Loopback(LoopbackPeer::RefusedPort()), start + 5s));
    EXPECT_EQ(s.LastError(), ECONNREFUSED);
    EXPECT_LT(Ms(start), 1000);
}

TEST(XSocket, ConnectAndSendGiveUpAtTheirDeadlines) {
    // An unserved listener: once its queue is full the kernel drops connection requests.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t length = sizeof a;
    ASSERT_TRUE(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                ::listen(listener, 0) == 0 &&
                ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length) == 0);
    std::vector<std::unique_ptr<xSocket>> sockets;
    for (bool timedOut = false; !timedOut && sockets.size() < 8;) {
        sockets.push_back(std::make_unique<xSocket>());
        const auto start = Clock::now();
        timedOut = !(sockets.back()->Create() && sockets.back()->Connect(a, start + 300ms));
        if (timedOut)
            ExpectDeadline(*sockets.back(), start, 300, 500);
    }
    ASSERT_GE(sockets.size(), 2u);
    ASSERT_LT(sockets.size(), 8u) << "no connect attempt had to wait";
    const auto start = Clock::now();
    EXPECT_FALSE(sockets[0]->SendAll(std::string(64 << 20, 'q'), start + 500ms));  // nobody reads
    ExpectDeadline(*sockets[0], start, 500, 1000);
    ::close(listener);
}

std::atomic<int> gSignals{0};
extern "C" void CountSignal(int) {
    ++gSignals;
}

double CpuMs() {  // of this thread
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

TEST(XSocket, ReceiveSleepsToItsDeadlineThroughSignals) {
    struct sigaction count = {}, previous = {};
    count.sa_handler = CountSignal;  // no SA_RESTART: each signal interrupts the wait
    ASSERT_EQ(::sigaction(SIGUSR1, &count, &previous), 0);
    LoopbackPeer peer(LoopbackPeer::Mode::Silent);
    xSocket s;
    ASSERT_TRUE(s.Create() && s.Connect(Loopback(peer.port()), Clock::now() + 5s));
    const pthread_t self = ::pthread_self();
    std::atomic<bool> done{false};
    std::thread pest([&] {
        for (; !done; std::this_thread::sleep_for(20ms))
            ::pthread_kill(self, SIGUSR1);
    });
    char buffer[100];
    const double cpu = CpuMs();
    const auto start = Clock::now();
    EXPECT_EQ(s.Receive(buffer, sizeof buffer, start + 700ms), -1);
    ExpectDeadline(s, start, 700, 500);
    EXPECT_LT(CpuMs() - cpu, 50) << "the wait spun";
    done = true;
    pest.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GE(gSignals.load(), 5) << "the wait was not interrupted";
}

TEST(XSocket, SendToAVanishedPeerFailsWithoutSigpipe) {
    struct sigaction deflt = {}, previous = {};
    deflt.sa_handler = SIG_DFL;  // SIGPIPE would end this program
    ASSERT_EQ(::sigaction(SIGPIPE, &deflt, &previous), 0);
    LoopbackPeer peer([](Connection& c) {
        std::string line;
        c.ReadLine(&line), c.reset = true;
    });
    xSocket s;
    ASSERT_TRUE(s.Create() && s.Connect(Loopback(peer.port()), Clock::now() + 5s));
    ASSERT_TRUE(s.SendAll("x\n", Clock::now() + 5s));
    ASSERT_TRUE(WaitUntil([&] { return peer.accepted() == 1 && !peer.received()[0].empty(); }));
    int failures = 0, brokenPipe = 0;  // ECONNRESET first, then EPIPE, where SIGPIPE strikes
    for (int i = 0; i < 100 && failures < 3; ++i, std::this_thread::sleep_for(5ms))
        if (!s.SendAll(std::string(4096, 'z'), Clock::now() + 1s))
            ++failures, brokenPipe += s.LastError() == EPIPE;
    ::sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_EQ(failures, 3);
    EXPECT_GE(brokenPipe, 1);
}

TEST(NetNames, StrictDottedQuadsDigitFirstNamesAndLookups) {
    in_addr a{};
    EXPECT_TRUE(ParseDottedIPv4("192.168.100.9", &a) && ntohl(a.s_addr) == 0xC0A86409);
    EXPECT_TRUE(ParseDottedIPv4("255.255.255.255", &a) && ntohl(a.s_addr) == 0xFFFFFFFF);
    for (const char* bad :
         {"", "3com.example", "256.0.0.1", "1.2.3", "1.2.3.4.5", "1..3.4", " 1.2.3.4", "1.2.3.4 ",
          "01.2.3.4", "+1.2.3.4", "0x7f.0.0.1", "1.2.3.", "1.2.3.1000"})
        EXPECT_FALSE(ParseDottedIPv4(bad, &a)) << '"' << bad << '"';
    std::string dotted = "old";
    EXPECT_FALSE(NodeAddressText("", &dotted));
    EXPECT_TRUE(NodeAddressText("3com.example", &dotted));  // begins with a digit: taken as it is
    EXPECT_EQ(dotted, "3com.example");
    EXPECT_TRUE(NodeAddressText("::1", &dotted) && dotted == "::1");  // a ':': IPv6, as it is
    ASSERT_TRUE(NodeAddressText("localhost", &dotted));
    EXPECT_TRUE(ParseDottedIPv4(dotted, &a) && ntohl(a.s_addr) >> 24 == 127) << dotted;
    char raw[256] = {};
    ASSERT_EQ(::gethostname(raw, sizeof raw - 1), 0);
    EXPECT_TRUE(LocalHostName(&dotted));
    EXPECT_EQ(dotted, std::string(raw).substr(0, 49));
    // Without any network, a lookup fails fast and leaves the text alone.
    dotted = "untouched";
    if (!InPrivateNetNamespace(
            [&] { EXPECT_FALSE(NodeAddressText("no-such-host.invalid", &dotted)); }))
        GTEST_SKIP() << "no private network namespace (needs root)";
    EXPECT_EQ(dotted, "untouched");
}

}  // namespace
}  // namespace sentrel
