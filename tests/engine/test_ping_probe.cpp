// The PING probe: its packets and reply matching on crafted bytes, and real echoes
// over loopback, some of them answered by hand in a private network namespace whose
// kernel is told not to answer pings itself.
#include "engine/ping_probe.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "support/net_namespace.h"

namespace sentrel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

in_addr Addr(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a;
}

std::string Icmp(unsigned char type, unsigned char code, std::uint16_t id, std::uint16_t seq,
                 const std::string& data) {
    std::string p = BuildEchoRequest(id, seq, data);
    p[0] = static_cast<char>(type);
    p[1] = static_cast<char>(code);
    p[2] = p[3] = 0;
    const std::uint16_t sum = InternetChecksum(p.data(), p.size());
    p[2] = static_cast<char>(sum >> 8);
    p[3] = static_cast<char>(sum & 0xFF);
    return p;
}

std::string WithIpHeader(const std::string& icmp, const char* from, const char* to) {
    std::string ip(20, '\0');
    ip[0] = 0x45;
    const std::size_t total = 20 + icmp.size();
    ip[2] = static_cast<char>(total >> 8);
    ip[3] = static_cast<char>(total & 0xFF);
    ip[8] = 64;
    ip[9] = IPPROTO_ICMP;
    const in_addr src = Addr(from);
    const in_addr dst = Addr(to);
    std::memcpy(&ip[12], &src, 4);
    std::memcpy(&ip[16], &dst, 4);
    return ip + icmp;
}

bool Matches(const std::string& packet, bool withIp, const char* sender, const EchoExpectation& e) {
    return IsEchoReplyFor(reinterpret_cast<const unsigned char*>(packet.data()), packet.size(),
                          withIp, Addr(sender), e);
}

TEST(PingPackets, RequestCarriesTheSixBlocksAndAValidChecksum) {
    const std::string data = PingRequestData();
    ASSERT_EQ(data.size(), 120U);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(data.substr(static_cast<std::size_t>(i) * 20, 20), "Brightfen Sentrel   ");
    }
    for (const std::uint16_t id : {0x0000, 0x1234, 0xFFFF}) {
        const std::string request = BuildEchoRequest(id, 0xBEEF, data);
        ASSERT_EQ(request.size(), 128U);
        EXPECT_EQ(static_cast<unsigned char>(request[0]), 8);
        EXPECT_EQ(request[1], 0);
        EXPECT_EQ(static_cast<unsigned char>(request[4]), id >> 8);
        EXPECT_EQ(static_cast<unsigned char>(request[5]), id & 0xFF);
        EXPECT_EQ(static_cast<unsigned char>(request[6]), 0xBE);
        EXPECT_EQ(static_cast<unsigned char>(request[7]), 0xEF);
        EXPECT_EQ(request.substr(8), data);
        // A packet that holds its own checksum sums to zero.
        EXPECT_EQ(InternetChecksum(request.data(), request.size()), 0);
    }
    // Odd length: the last byte counts as the high half of a word.
    const unsigned char odd[] = {0x01, 0x02, 0x03};
    EXPECT_EQ(InternetChecksum(odd, 3), static_cast<std::uint16_t>(~(0x0102 + 0x0300)));
}

TEST(PingPackets, OnlyTheEchoReplyFromTheNodeMatches) {
    EchoExpectation e;
    e.id = 0x4242;
    e.seq = 7;
    e.node = Addr("10.0.0.7");
    const std::string data = PingRequestData();
    const std::string reply = Icmp(0, 0, 0x4242, 7, data);
    const std::string request = Icmp(8, 0, 0x4242, 7, data);
    const std::string quoted = WithIpHeader(request, "10.0.0.1", "10.0.0.7").substr(0, 28);

    EXPECT_TRUE(Matches(reply, false, "10.0.0.7", e));
    EXPECT_TRUE(Matches(WithIpHeader(reply, "10.0.0.7", "10.0.0.1"), true, "10.0.0.7", e));
    EXPECT_TRUE(Matches(reply.substr(0, 8), false, "10.0.0.7", e)) << "a node may echo less";

    // Errors about our request, even quoting its id and sequence, are not answers.
    EXPECT_FALSE(Matches(Icmp(3, 1, 0, 0, quoted), false, "10.0.0.7", e));
    EXPECT_FALSE(Matches(WithIpHeader(Icmp(3, 1, 0, 0, quoted), "10.0.0.254", "10.0.0.1"), true,
                         "10.0.0.254", e));
    EXPECT_FALSE(Matches(Icmp(11, 0, 0, 0, quoted), false, "10.0.0.7", e));
    EXPECT_FALSE(Matches(Icmp(3, 1, 0x4242, 7, quoted), false, "10.0.0.7", e));
    // Our own request looped back, other probes' replies, other senders.
    EXPECT_FALSE(Matches(request, false, "10.0.0.7", e));
    EXPECT_FALSE(Matches(Icmp(0, 0, 0x4243, 7, data), false, "10.0.0.7", e));
    EXPECT_FALSE(Matches(Icmp(0, 0, 0x4242, 6, data), false, "10.0.0.7", e));
    EXPECT_FALSE(Matches(Icmp(0, 0, 0x4242, 8, data), false, "10.0.0.7", e));
    EXPECT_FALSE(Matches(Icmp(0, 1, 0x4242, 7, data), false, "10.0.0.7", e));
    EXPECT_FALSE(Matches(reply, false, "10.0.0.8", e));
    // Cut or malformed packets.
    EXPECT_FALSE(Matches(reply.substr(0, 7), false, "10.0.0.7", e));
    std::string badIp = WithIpHeader(reply, "10.0.0.7", "10.0.0.1");
    EXPECT_FALSE(Matches(badIp.substr(0, 19), true, "10.0.0.7", e));
    badIp[0] = 0x4F;  // header length 60 beyond what a short packet holds
    EXPECT_FALSE(Matches(badIp.substr(0, 40), true, "10.0.0.7", e));
    badIp = WithIpHeader(reply, "10.0.0.7", "10.0.0.1");
    badIp[9] = IPPROTO_UDP;
    EXPECT_FALSE(Matches(badIp, true, "10.0.0.7", e));
}

TEST(PingProbe, InvalidAddressFailsAtOnce) {
    const auto start = Clock::now();
    for (const char* bad : {"", "3com.example", "1.2.3", "256.0.0.1", "127.0.0.1 "}) {
        EXPECT_EQ(PingProbe(bad), 0) << bad;
        EXPECT_EQ(PingProbeUsing(IcmpSocketKind::Raw, bad), 0) << bad;
    }
    EXPECT_LT(MsSince(start), 100.0);
}

TEST(PingProbe, LoopbackAnswers) {
    if (!PingLibraryLoad()) {
        GTEST_SKIP() << "neither an ICMP datagram socket (net.ipv4.ping_group_range) nor a raw "
                        "socket (CAP_NET_RAW) can be opened here";
    }
    EXPECT_TRUE(PingLibraryLoaded());
    const auto start = Clock::now();
    EXPECT_GE(PingProbe("127.0.0.1", 2000), 1);
    EXPECT_LT(MsSince(start), 1000.0);
    PingLibraryRelease();
    EXPECT_FALSE(PingLibraryLoaded());
}

TEST(PingProbe, EachSocketKindOnLoopback) {
    int ran = 0;
    const std::int32_t raw = PingProbeUsing(IcmpSocketKind::Raw, "127.0.0.1", 2000);
    if (raw != -1) {
        EXPECT_GE(raw, 1);
        ++ran;
    }
    // The datagram kind in a namespace whose ping_group_range lets everyone use it.
    std::int32_t datagram = -2;
    const bool inNamespace = testing::RunInFreshNetNamespace([&] {
        if (testing::SetNetSysctl("ipv4/ping_group_range", "0 2147483647")) {
            datagram = PingProbeUsing(IcmpSocketKind::Datagram, "127.0.0.1", 2000);
        }
    });
    if (inNamespace && datagram != -2) {
        EXPECT_GE(datagram, 1);
        ++ran;
    }
    if (ran == 0) {
        GTEST_SKIP() << "no raw ICMP socket and no private network namespace here";
    }
}

// Answers echo requests by hand: it sees each request on a raw socket, sends a
// volley of packets that must not count as the answer, and then (when asked) the
// true echo reply after a delay. Lives inside a RunInFreshNetNamespace body.
class HandResponder {
  public:
    HandResponder(bool answer, std::chrono::milliseconds delay) : answer_(answer), delay_(delay) {
        fd_ = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        other_ = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        sockaddr_in elsewhere{};
        elsewhere.sin_family = AF_INET;
        elsewhere.sin_addr = Addr("127.0.0.2");
        if (fd_ < 0 || other_ < 0 ||
            ::bind(other_, reinterpret_cast<sockaddr*>(&elsewhere), sizeof elsewhere) != 0) {
            return;
        }
        ok_ = true;
        thread_ = std::thread([this] { Run(); });
    }
    ~HandResponder() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        for (const int fd : {fd_, other_}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    bool ok() const { return ok_; }
    // The data of the request that was answered; valid once the probe has returned
    // and the responder is destroyed or done.
    std::string requestData() const { return requestData_; }
    int requests() const { return requests_.load(); }

  private:
    void Send(int fd, const std::string& packet) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr = Addr("127.0.0.1");
        ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    void Run() {
        unsigned char buffer[2048];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n < 28) {
                continue;
            }
            const std::size_t ihl = static_cast<std::size_t>(buffer[0] & 0x0F) * 4;
            const unsigned char* icmp = buffer + ihl;
            if (static_cast<std::size_t>(n) < ihl + 8 || icmp[0] != 8) {
                continue;  // our own volley, or anything but a request
            }
            const std::uint16_t id = static_cast<std::uint16_t>((icmp[4] << 8) | icmp[5]);
            const std::uint16_t seq = static_cast<std::uint16_t>((icmp[6] << 8) | icmp[7]);
            const std::string data(reinterpret_cast<const char*>(icmp + 8),
                                   static_cast<std::size_t>(n) - ihl - 8);
            const std::string quoted(reinterpret_cast<const char*>(buffer), ihl + 8);
            requestData_ = data;
            requests_.fetch_add(1);

            Send(fd_, Icmp(3, 1, 0, 0, quoted));   // host unreachable
            Send(fd_, Icmp(3, 3, 0, 0, quoted));   // port unreachable
            Send(fd_, Icmp(11, 0, 0, 0, quoted));  // time exceeded
            Send(fd_, Icmp(0, 0, id, static_cast<std::uint16_t>(seq - 1), data));  // late
            Send(fd_, Icmp(0, 0, id, static_cast<std::uint16_t>(seq + 1), data));
            Send(fd_, Icmp(0, 0, static_cast<std::uint16_t>(id + 1), seq, data));
            Send(other_, Icmp(0, 0, id, seq, data));  // right numbers, wrong node
            if (answer_) {
                std::this_thread::sleep_for(delay_);
                Send(fd_, Icmp(0, 0, id, seq, data));
            }
        }
    }

    bool answer_;
    std::chrono::milliseconds delay_;
    int fd_ = -1;
    int other_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::string requestData_;
    std::thread thread_;
};

struct HandRun {
    bool possible = false;
    std::string why;
    std::int32_t result = -3;
    double ms = 0;
    int requests = 0;
    std::string requestData;
};

// One probe of the given kind to 127.0.0.1 in a private namespace, answered by hand.
HandRun ProbeAnsweredByHand(IcmpSocketKind kind, bool answer, int timeoutMs) {
    HandRun run;
    const bool made = testing::RunInFreshNetNamespace(
        [&] {
            if (!testing::SetNetSysctl("ipv4/icmp_echo_ignore_all", "1") ||
                !testing::SetNetSysctl("ipv4/ping_group_range", "0 2147483647")) {
                run.why = "cannot set the namespace's ICMP sysctls";
                return;
            }
            HandResponder responder(answer, 150ms);
            if (!responder.ok()) {
                run.why = "no raw socket for the responder";
                return;
            }
            const auto start = Clock::now();
            run.result = PingProbeUsing(kind, "127.0.0.1", timeoutMs);
            run.ms = MsSince(start);
            if (run.result == -1) {
                run.why = "the probe's socket kind cannot be opened";
                return;
            }
            run.possible = true;
            run.requests = responder.requests();
            run.requestData = responder.requestData();
        },
        &run.why);
    if (!made) {
        run.possible = false;
    }
    return run;
}

class PingByHand : public ::testing::TestWithParam<IcmpSocketKind> {};

TEST_P(PingByHand, RepliesTimedAndRequestBytesExact) {
    const HandRun run = ProbeAnsweredByHand(GetParam(), true, 3000);
    if (!run.possible) {
        GTEST_SKIP() << run.why;
    }
    // Errors, other probes' replies and the wrong sender came first and were passed
    // over; the true reply came 150 ms after the request.
    EXPECT_GE(run.result, 150);
    EXPECT_LT(run.result, 1000);
    EXPECT_LT(run.ms, 1000.0);
    EXPECT_EQ(run.requests, 1);
    EXPECT_EQ(run.requestData, PingRequestData());
}

TEST_P(PingByHand, ErrorsAndStrayRepliesAreNoAnswer) {
    const HandRun run = ProbeAnsweredByHand(GetParam(), false, 1000);
    if (!run.possible) {
        GTEST_SKIP() << run.why;
    }
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.requests, 1);
    // It kept waiting through the volley until its own time-out.
    EXPECT_GE(run.ms, 999.0);
    EXPECT_LT(run.ms, 1500.0);
}

INSTANTIATE_TEST_SUITE_P(SocketKinds, PingByHand,
                         ::testing::Values(IcmpSocketKind::Datagram, IcmpSocketKind::Raw),
                         [](const auto& info) {
                             return info.param == IcmpSocketKind::Raw ? "Raw" : "Datagram";
                         });

}  // namespace
}  // namespace sentrel
