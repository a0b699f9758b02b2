// xSocket against loopback peers (deadlines without spinning, signals, SIGPIPE) and
// the address and name helpers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <net/if.h>

#include <ctime>

#include "platform/icmp_echo.h"
#include "platform/net_names.h"
#include "platform/ping_helper_protocol.h"
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
    int pair[2];  // ready at a deadline already passed: the deadline wins
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ::write(pair[1], "x", 1);
    EXPECT_EQ(WaitForSocket(pair[0], POLLIN, Clock::now() - 1ms), 0);
    EXPECT_EQ(WaitForSocket(pair[0], POLLIN, Clock::now() + 1s), POLLIN);
    ::close(pair[0]), ::close(pair[1]);
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

// A node's address as users write it, in its own words when it is none; a zone that
// reaches the socket address; the helper's bound on an address in a request line.
TEST(NetNames, NodeAddressesBracketsMappedZonesAndReasons) {
    const std::pair<const char*, const char*> good[] = {{"[::1]", "::1"},
                                                        {"::ffff:127.0.0.9", "127.0.0.9"},
                                                        {"[::FFFF:10.0.0.1]", "10.0.0.1"},
                                                        {"[fe80::1%lo]", "fe80::1%1"},
                                                        {"10.1.2.3", "10.1.2.3"}};
    for (const auto& [text, literal] : good) {
        IpAddress a;
        EXPECT_TRUE(ParseNodeAddress(text, &a) && IpAddressText(a) == literal) << text;
    }
    const std::pair<const char*, const char*> bad[] = {
        {"[::1", "a bracket left open"},
        {"[10.0.0.1]", "only an IPv6 address goes in brackets"},
        {"1.2.3", "not a dotted IPv4 address"},
        {"::1::2", "not an IPv6 address"},
        {"fe80::1%nosuchif0", "its zone names no interface"}};
    for (const auto& [text, reason] : bad) {
        std::string why;
        EXPECT_FALSE(ParseNodeAddress(text, nullptr, &why)) << text;
        EXPECT_EQ(why, reason) << text;
    }
    IpAddress scoped;
    sockaddr_storage to{};
    ASSERT_TRUE(ParseIpAddress("fe80::1%lo", &scoped));
    ToSocketAddress(scoped, 7, &to);
    EXPECT_EQ(reinterpret_cast<sockaddr_in6&>(to).sin6_scope_id, ::if_nametoindex("lo"));
    EchoRequest request;
    EXPECT_FALSE(
        ParseEchoRequest("1111:2222:3333:4444:5555:6666:7777:8888:9999:aaaa 7 1 9", &request));
}

// A round trip by the kernel's receive stamp, and what a stepped wall clock leaves of it;
// a control message shorter than its data is not read.
TEST(IcmpEcho, ArrivalByTheStampOnlyWhileTheWallClockRunsTrue) {
    using namespace std::chrono;
    const ClockReading sent = ClockReading::Now();
    auto at = [&](milliseconds steady, milliseconds wall) {
        return ClockReading{sent.steady + steady, sent.wall + wall};
    };
    const auto stamp = [&](milliseconds wall) {
        const auto ns = duration_cast<nanoseconds>((sent.wall + wall).time_since_epoch()).count();
        return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    };
    // {stamp, now on the steady clock, now on the wall clock, the arrival after the send}
    const int rows[][4] = {{20, 30, 30, 20},
                           {20, 30, 530, 30},
                           {20, 30, -470, 30},
                           {520, 30, 530, 30},
                           {40, 30, 30, 30}};
    for (const auto& r : rows)
        EXPECT_EQ(ArrivalTime(stamp(milliseconds(r[0])), sent,
                              at(milliseconds(r[1]), milliseconds(r[2]))) -
                      sent.steady,
                  milliseconds(r[3]))
            << r[0] << " " << r[2];
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(16)] = {};
    auto* message = reinterpret_cast<cmsghdr*>(control);
    message->cmsg_len = CMSG_LEN(4);
    timespec out{7, 7};
    EXPECT_FALSE(ControlData(message, &out, sizeof out));
    EXPECT_EQ(out.tv_sec, 7);
}

}  // namespace
}  // namespace sentrel
