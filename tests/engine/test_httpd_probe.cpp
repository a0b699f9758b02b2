// The HTTPD probe against real loopback servers of every temper.
#include "engine/httpd_probe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/tcp_peer.h"

namespace sentrel {
namespace {

using namespace std::chrono_literals;
using testing::PeerConnection;
using testing::TcpPeer;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(HttpdSettings, TimeoutAndPortTexts) {
    EXPECT_EQ(HttpdTimeoutSeconds(""), 60);
    EXPECT_EQ(HttpdTimeoutSeconds("0"), 60);
    EXPECT_EQ(HttpdTimeoutSeconds("abc"), 60);
    EXPECT_EQ(HttpdTimeoutSeconds(" 7s"), 7);
    EXPECT_EQ(HttpdTimeoutSeconds("-3"), -3);

    EXPECT_EQ(HttpdPortNumber(""), 80);
    EXPECT_EQ(HttpdPortNumber("0"), 80);
    EXPECT_EQ(HttpdPortNumber("http"), 80);
    EXPECT_EQ(HttpdPortNumber("8080"), 8080);
    EXPECT_EQ(HttpdPortNumber(" 443x"), 443);
    EXPECT_EQ(HttpdPortNumber("65535"), 65535);
}

TEST(HttpdProbe, CountsTheAnswerOfOneReadAndSendsExactlyTheRequest) {
    for (const std::size_t size : {std::size_t{1}, std::size_t{1234}}) {
        // Answers after the request line, then keeps listening until the probe
        // hangs up, so anything the probe sent after its request is recorded too.
        const std::string answer = TcpPeer::AnswerText(size);
        TcpPeer peer([&answer](PeerConnection& c) {
            c.ReadLine(nullptr, 5000ms);
            c.Send(answer);
            c.Hold();
        });
        ASSERT_TRUE(peer.listening());
        EXPECT_EQ(HttpdProbe("127.0.0.1", std::to_string(peer.port()), "5"),
                  static_cast<std::int32_t>(size));
        EXPECT_FALSE(peer.WaitForReceived(7, 300ms)) << "more than the request was sent";
        ASSERT_EQ(peer.accepted(), 1);
        EXPECT_EQ(peer.receivedPerConnection().at(0), "GET /\n");
    }
}

TEST(HttpdProbe, LargeAnswerCountsOnlyTheFirstRead) {
    TcpPeer peer(TcpPeer::Behaviour::Flood);  // 1 MB
    const std::int32_t got = HttpdProbe("127.0.0.1", std::to_string(peer.port()), "5");
    EXPECT_GE(got, 1);
    EXPECT_LE(got, 30000);
}

TEST(HttpdProbe, FirstSegmentCountsEvenWhenTheServerThenHangs) {
    TcpPeer peer(TcpPeer::Behaviour::OneByteThenHang);
    const auto start = Clock::now();
    EXPECT_EQ(HttpdProbe("127.0.0.1", std::to_string(peer.port()), "5"), 1);
    EXPECT_LT(SecondsSince(start), 1.0);
}

TEST(HttpdProbe, SilentServerIsGivenUpBetweenMaxSecsAndOneSecondMore) {
    for (const int maxSecs : {1, 2}) {
        TcpPeer peer(TcpPeer::Behaviour::Silent);
        const auto start = Clock::now();
        EXPECT_EQ(HttpdProbe("127.0.0.1", std::to_string(peer.port()), std::to_string(maxSecs)), 0);
        const double seconds = SecondsSince(start);
        EXPECT_GE(seconds, maxSecs) << "MAXSecs " << maxSecs;
        EXPECT_LE(seconds, maxSecs + 1.0) << "MAXSecs " << maxSecs;
        EXPECT_EQ(peer.accepted(), 1);
    }
}

TEST(HttpdProbe, ServerThatClosesOrResetsIsAFailure) {
    TcpPeer closes(TcpPeer::Behaviour::CloseWithoutData);
    TcpPeer resets(TcpPeer::Behaviour::ResetAfterAccept);
    const auto start = Clock::now();
    EXPECT_EQ(HttpdProbe("127.0.0.1", std::to_string(closes.port()), "5"), 0);
    EXPECT_LE(HttpdProbe("127.0.0.1", std::to_string(resets.port()), "5"), 0);
    EXPECT_LT(SecondsSince(start), 2.0);
}

TEST(HttpdProbe, RefusedPortIsAFailureAtOnce) {
    int port;
    {
        TcpPeer gone(TcpPeer::Behaviour::Silent);
        port = gone.port();
    }
    const auto start = Clock::now();
    EXPECT_EQ(HttpdProbe("127.0.0.1", std::to_string(port), "5"), 0);
    EXPECT_LT(SecondsSince(start), 1.0);
}

TEST(HttpdProbe, GivesUpAtOnceOnBadInput) {
    TcpPeer peer(TcpPeer::Behaviour::Answer);
    const std::string port = std::to_string(peer.port());
    const auto start = Clock::now();
    EXPECT_EQ(HttpdProbe("127.0.0.1", port, "-1"), 0);  // negative MAXSecs
    EXPECT_EQ(HttpdProbe("3com.example", port, "5"), 0);
    EXPECT_EQ(HttpdProbe("127.0.0.256", port, "5"), 0);
    EXPECT_EQ(HttpdProbe("", port, "5"), 0);
    EXPECT_EQ(HttpdProbe("127.0.0.1", "", "5"), 0);
    // Outside the TCP port range: failed, not truncated to some other port.
    EXPECT_EQ(HttpdProbe("127.0.0.1", std::to_string(peer.port() + 65536), "5"), 0);
    EXPECT_EQ(HttpdProbe("127.0.0.1", "-1", "5"), 0);
    EXPECT_LT(SecondsSince(start), 0.2);
    EXPECT_EQ(peer.accepted(), 0);
}

TEST(HttpdProbe, ConcurrentProbesKeepTheirOwnResults) {
    // Probes share nothing: a slow one never hands its result to another.
    TcpPeer silent(TcpPeer::Behaviour::Silent);
    TcpPeer small(TcpPeer::Behaviour::Answer, 11);
    TcpPeer large(TcpPeer::Behaviour::Answer, 2222);
    std::int32_t results[3] = {-5, -5, -5};
    std::vector<std::thread> threads;
    threads.emplace_back(
        [&] { results[0] = HttpdProbe("127.0.0.1", std::to_string(silent.port()), "1"); });
    for (int round = 0; round < 5; ++round) {
        threads.emplace_back([&, round] {
            const auto& peer = round % 2 == 0 ? small : large;
            const std::int32_t got = HttpdProbe("127.0.0.1", std::to_string(peer.port()), "5");
            if (round == 0) {
                results[1] = got;
            } else if (round == 1) {
                results[2] = got;
            }
            EXPECT_EQ(got, round % 2 == 0 ? 11 : 2222) << "round " << round;
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 11);
    EXPECT_EQ(results[2], 2222);
}

}  // namespace
}  // namespace sentrel
