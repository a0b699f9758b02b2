// The HTTPD probe against loopback peers of every temper; the PING probe on loopback
// and, in a private network namespace, against replies crafted by hand.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstring>
#include <memory>
#include <thread>

#include "engine/httpd_probe.h"
#include "engine/ping_helper_client.h"
#include "engine/ping_probe.h"
#include "support/harness.h"

namespace sentrel {
namespace {

using namespace testing;
using Mode = LoopbackPeer::Mode;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::int32_t Probe(const LoopbackPeer& peer, double withinSeconds, const char* maxSecs = "5") {
    const auto start = Clock::now();
    const std::int32_t got = HttpdProbe("127.0.0.1", peer.portText(), maxSecs);
    EXPECT_LT(Seconds(start), withinSeconds);
    return got;
}

TEST(HttpdProbe, SendsExactlyTheRequestCountsOneReadAndGivesUpInTime) {
    const std::tuple<std::string, std::int32_t, std::int32_t> answers[] = {
        {"x", 1, 1}, {std::string(1234, 'a'), 1234, 1234}, {std::string(1 << 20, 'f'), 1, 30000}};
    for (const auto& [text, least, most] : answers) {
        LoopbackPeer peer(Mode::Answer, text);
        const std::int32_t got = Probe(peer, 2);
        EXPECT_TRUE(got >= least && got <= most) << got;
        EXPECT_TRUE(
            WaitUntil([&] { return peer.received() == std::vector<std::string>{"GET /\n"}; }));
    }
    EXPECT_EQ(Probe(LoopbackPeer([](Connection& c) { c.Send("1"), c.Hold(); }), 1), 1);
    EXPECT_EQ(Probe(LoopbackPeer(Mode::Answer), 1), 0);  // closed without a byte
    EXPECT_LE(Probe(LoopbackPeer([](Connection& c) { c.reset = true; }), 1), 0);
    for (const char* maxSecs : {"1", "2"}) {  // a silent peer is given up within a second more
        LoopbackPeer silent(Mode::Silent);
        const auto start = Clock::now();
        EXPECT_EQ(Probe(silent, std::atoi(maxSecs) + 1.0, maxSecs), 0);
        EXPECT_GE(Seconds(start), std::atoi(maxSecs));
        EXPECT_EQ(silent.received(), std::vector<std::string>{"GET /\n"});
    }
    std::string line;  // an IPv6 literal: the same request (echoed) over IPv6
    LoopbackPeer v6([&line](Connection& c) { c.ReadLine(&line), c.Send(line); }, true);
    if (v6.port() == 0)
        GTEST_SKIP() << "no IPv6 loopback address here";
    EXPECT_EQ(HttpdProbe("::1", v6.portText(), "5"), 6);
}

TEST(HttpdProbe, BadInputAndRefusedPortsFailAtOnce) {
    LoopbackPeer peer(Mode::Answer, "x");
    const std::string port = peer.portText(), far = std::to_string(peer.port() + 65536);
    // clang-format off
    const std::vector<std::vector<std::string>> rows = {
        {"127.0.0.1", port, "-1"}, {"3com.example", port, "5"}, {"127.0.0.256", port, "5"},
        {"", port, "5"}, {"127.0.0.1", "", "5"}, {"127.0.0.1", far, "5"}, {"127.0.0.1", "-1", "5"},
        {"[::1]", port, "5"}, {"127.0.0.1", std::to_string(LoopbackPeer::RefusedPort()), "5"}};
    // clang-format on
    const auto start = Clock::now();
    for (const auto& r : rows) {
        EXPECT_EQ(HttpdProbe(r[0], r[1], r[2]), 0) << r[0] << ":" << r[1] << " " << r[2];
    }
    EXPECT_LT(Seconds(start), 0.5);
    EXPECT_EQ(peer.accepted(), 0);
    using Read = int (*)(const std::string&);
    const std::tuple<Read, const char*, int> named[] = {
        {HttpdTimeoutSeconds, "", 60}, {HttpdTimeoutSeconds, " 7s", 7}, {HttpdPortNumber, "0", 80}};
    for (const auto& [read, text, value] : named) {
        EXPECT_EQ(read(text), value) << '"' << text << '"';
    }
}

std::string Icmp(int type, int code, int id, int seq, const std::string& data) {
    std::string p =
        BuildEchoRequest(static_cast<std::uint16_t>(id), static_cast<std::uint16_t>(seq), data);
    p[0] = static_cast<char>(type), p[1] = static_cast<char>(code), p[2] = p[3] = 0;
    const std::uint16_t sum = InternetChecksum(p.data(), p.size());
    p[2] = static_cast<char>(sum >> 8), p[3] = static_cast<char>(sum & 0xFF);
    return p;
}

TEST(PingProbe, InvalidAddressesFailAtOnceAndLoopbackAnswers) {
    const auto start = Clock::now();
    for (const char* bad : {"", "3com.example", "1.2.3", "256.0.0.1", "127.0.0.1 "}) {
        EXPECT_EQ(PingProbe(bad), 0) << bad;
    }
    EXPECT_LT(Seconds(start), 0.1);
    if (!PingLibraryLoad()) {
        GTEST_SKIP() << "no ICMP socket of either kind here";
    }
    EXPECT_GE(PingProbe("127.0.0.1", 2000), 1);  // the kernel answers only a well-formed request
}

// Foreign ICMP by the thousand, as a busy host sees it: replies to other identifiers,
// errors about their echoes and about a datagram, with requests the kernel's replies.
void FloodWithForeignIcmp(bool requests) {
    const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    sockaddr_in node{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    const std::string ip("\x45\0\0\x30\0\0\0\0\x40\x01\0\0\x7f\0\0\x01\x7f\0\0\x02", 20);
    const std::string udp = ip.substr(0, 9) + "\x11" + ip.substr(10) + std::string(8, '\x35');
    for (int i = 100; i < 1100; ++i) {
        for (const std::string& p :
             {Icmp(0, 0, i, 1, "other"), Icmp(3, 3, 0, 0, ip + Icmp(8, 0, i, 1, "")),
              Icmp(11, 0, 0, 0, udp), requests ? Icmp(8, 0, i, 1, "o") : ""}) {
            ::sendto(fd, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&node), sizeof node);
        }
    }
    ::close(fd);
}

// Answers each echo request by hand after a volley that must not count: errors
// quoting it with another sequence or destination, replies with the wrong sequence,
// identifier or data, the right reply from another address, foreign ICMP; or with
// an error quoting it, which ends the probe. The namespace's kernel answers no pings.
struct HandRun {
    std::int32_t result = -3;
    double seconds = 0;
    std::vector<std::string> requests;
};

HandRun AnsweredByHand(IcmpSocketKind kind, bool answer, int timeoutMs, bool error = false) {
    HandRun run;
    const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    const int other = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    sockaddr_in elsewhere{AF_INET, 0, {htonl(INADDR_LOOPBACK + 1)}, {}},
        node{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    std::atomic<bool> stop{false};
    auto send = [&](int s, const std::string& p) {
        ::sendto(s, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&node), sizeof node);
    };
    if (::bind(other, reinterpret_cast<sockaddr*>(&elsewhere), sizeof elsewhere) != 0 ||
        !SetNetSysctl("ipv4/icmp_echo_ignore_all", "1") ||
        !SetNetSysctl("ipv4/ping_group_range", "0 2147483647")) {
        return run;
    }
    std::thread responder([&] {
        unsigned char b[2048];
        for (pollfd p{fd, POLLIN, 0}; !stop; p.revents = 0) {
            const ssize_t n = ::poll(&p, 1, 20) == 1 ? ::recv(fd, b, sizeof b, 0) : 0;
            if (n < 28 || b[(b[0] & 0x0Fu) * 4] != 8) {
                continue;  // nothing, or not a request (our own volley)
            }
            const std::size_t ihl = (b[0] & 0x0Fu) * 4;
            const int id = b[ihl + 4] << 8 | b[ihl + 5], seq = b[ihl + 6] << 8 | b[ihl + 7];
            const std::string data(reinterpret_cast<char*>(b) + ihl + 8,
                                   static_cast<std::size_t>(n) - ihl - 8);
            std::string quoted(reinterpret_cast<char*>(b), ihl + 8), elsewhere = quoted;
            run.requests.push_back(data);
            if (error) {
                send(fd, Icmp(3, 1, 0, 0, quoted));
                continue;
            }
            elsewhere[19] = 2, quoted[ihl + 7] = static_cast<char>(seq + 1);
            send(fd, Icmp(3, 1, 0, 0, elsewhere)), send(fd, Icmp(11, 0, 0, 0, quoted));
            send(fd, Icmp(0, 0, id, seq - 1, data)), send(fd, Icmp(0, 0, id, seq + 1, data));
            send(fd, Icmp(0, 0, id + 1, seq, data)), send(other, Icmp(0, 0, id, seq, data));
            send(fd, Icmp(0, 0, id, seq, std::string(data.size(), '?')));
            FloodWithForeignIcmp(false);
            std::this_thread::sleep_for(150ms);
            if (answer) {
                send(fd, Icmp(0, 0, id, seq, data));
            }
        }
    });
    const auto start = Clock::now();
    run.result = PingProbeUsing(kind, "127.0.0.1", timeoutMs);
    run.seconds = Seconds(start);
    stop = true;
    responder.join();
    ::close(fd), ::close(other);
    return run;
}

TEST(PingProbe, OnlyTheTrueReplyCountsInAPrivateNamespace) {
    std::string request;
    for (int i = 0; i < 6; ++i) {
        request += "Brightfen Sentrel   ";
    }
    for (const IcmpSocketKind kind : {IcmpSocketKind::Datagram, IcmpSocketKind::Raw}) {
        HandRun answered, unanswered, refused;
        if (!InPrivateNetNamespace([&] {
                answered = AnsweredByHand(kind, true, 3000);
                unanswered = AnsweredByHand(kind, false, 1000);
                refused = AnsweredByHand(kind, false, 3000, true);
            })) {
            GTEST_SKIP() << "no private network namespace (needs root)";
        }
        EXPECT_GE(answered.result, 150);  // the volley before the reply was passed over
        EXPECT_LT(answered.seconds, 1.0);
        EXPECT_EQ(answered.requests, std::vector<std::string>{request});
        EXPECT_EQ(unanswered.result, 0);
        EXPECT_GE(unanswered.seconds, 0.999);  // kept waiting through the volley
        EXPECT_LT(unanswered.seconds, 1.5);
        EXPECT_EQ(refused.result, 0);  // an error about the request is no answer
        EXPECT_LT(refused.seconds, 1.5) << "an error about the request ends the probe at once";
    }
}

// tests/support/echo_responder.py in the caller's namespace, ready; ends at pclose.
using Responder = std::unique_ptr<FILE, int (*)(FILE*)>;
Responder StartResponder(const std::string& args) {
    const std::string run = "exec python3 " SENTREL_TEST_SUPPORT "/echo_responder.py " + args;
    Responder responder(::popen(run.c_str(), "re"), ::pclose);
    char ready[8];
    return responder && std::fgets(ready, sizeof ready, responder.get()) ? std::move(responder)
                                                                         : Responder(0, ::pclose);
}

// Rounds of 11 by each way (datagram, helper, raw) in a private namespace: from the
// responder's pattern for both families (no duplicate, no reply to a sequence before
// the round or from another host counts; its 300 ms run from the last request, at
// 500 ms, the requests going out 50 ms apart); to an address
// no host on its link has (ICMPv6 "address unreachable" ends them early; kept out of
// the host-wide ICMP error budget, which floods in other namespaces spend). Then IPv6
// round trips beside ping -6 on 20 and 50 ms paths (netem, else the responder).
TEST(PingRound, CountsEachEchoOnceFailsFastAndAgreesWithPing) {
    bool link = false;
    char line[256];
    if (!InPrivateNetNamespace([&] {
            if (!(link = std::system(
                             "ip link add name va type veth peer name vb && ip link set va up && "
                             "ip link set vb up && ip -6 addr add 2001:db8::1/64 dev va nodad && "
                             "sysctl -qw net.ipv6.icmp.ratelimit=0 net.ipv6.icmp.ratemask=0,3-127 "
                             "net.ipv4.icmp_echo_ignore_all=1 "
                             "net.ipv6.icmp.echo_ignore_all=1 net.ipv6.neigh.va.mcast_solicit=1 "
                             "net.ipv6.neigh.va.retrans_time_ms=100") == 0)) {
                return;
            }
            for (const std::string node : {"127.0.0.1", "::1", "2001:db8::2"}) {
                for (int way = 0; way < 3; ++way) {
                    SetNetSysctl("ipv4/ping_group_range", way == 0 ? "0 2147483647" : "1 0");
                    way == 2 ? ::setenv("SENTREL_PING_HELPER", "/nonexistent", 1)
                             : ::unsetenv("SENTREL_PING_HELPER");
                    if (way != 1)  // way 1: the datagram way kept cannot serve; the helper is
                        PingHelperStop();  // chosen, started in this namespace
                    const Responder responder =
                        StartResponder(node == "::1" ? "6 0 pattern" : "4 0 pattern");
                    const auto start = Clock::now();
                    const auto m = PingProbeRound(node, 11, node.size() > 9 ? 3000 : 300).micros;
                    EXPECT_LT(Seconds(start), responder ? 2.0 : 0) << node << " way " << way;
                    EXPECT_GE(Seconds(start), node.size() > 9 ? 0 : 0.75) << "10 gaps, then 300 ms";
                    for (std::size_t n = 0; n < 11; ++n)
                        EXPECT_TRUE(n % 4 == 3 || node.size() > 9
                                        ? m[n] == -1 || (node.size() > 9 && m[n] == kEchoNotSent)
                                        : m[n] >= (n % 2 ? 30000 : 10000) && m[n] < 150000)
                            << node << " way " << way << " echo " << n << ": " << m[n];
                }
            }
            for (const int ms : {20, 50}) {
                Responder responder(nullptr, ::pclose);
                const std::string delay = std::to_string(ms / 2) + "ms 2>/dev/null";
                if (std::system(("tc qdisc replace dev lo root netem delay " + delay).c_str()) ||
                    !SetNetSysctl("ipv6/icmp/echo_ignore_all", "0")) {
                    responder = StartResponder("6 " + std::to_string(ms));
                }
                FILE* ping = ::popen("ping -6 -n -c 20 -i 0.05 -s 120 ::1", "r");
                std::vector<double> ours, theirs, figures;  // medians: a busy host's outliers
                for (const std::int64_t m : PingProbeRound("::1", 20).micros)
                    ours.push_back(static_cast<double>(m) / 1000);
                while (std::fgets(line, sizeof line, ping) != nullptr)
                    if (const char* time = std::strstr(line, "time="))
                        theirs.push_back(std::atof(time + 5));
                ::pclose(ping);
                for (std::vector<double>* times : {&ours, &theirs}) {
                    std::sort(times->begin(), times->end());
                    figures.push_back(times->empty() ? -9 : (*times)[times->size() / 2]);
                }
                std::printf("IPv6 %d ms path, medians: Sentrel %.3f ms, ping -6 %.3f ms\n", ms,
                            figures[0], figures[1]);
                EXPECT_NEAR(figures[0], figures[1], ms / 10.0) << ms << " ms path";  // busy hosts
            }
            ::unsetenv("SENTREL_PING_HELPER");
            PingHelperStop();
        }) ||
        !link) {
        GTEST_SKIP() << "no private network namespace with a veth pair (needs root)";
    }
}

// Then raw-socket rounds in flight at once, to one address and to several, through
// a flood: each gets its own answers, all of them.
TEST(PingProbe, ForeignIcmpBeforeOrDuringARequestNeverHidesItsReply) {
    using Outcome = HelperEcho::Outcome;
    std::vector<Outcome> helper;
    std::int32_t raw = -3;
    std::atomic<int> answered{0};
    bool rawOnly = false;  // the datagram socket refused and no helper: the raw way
    if (!InPrivateNetNamespace([&] {
            PingHelperStop();  // the next request starts a helper in this namespace
            helper.push_back(PingThroughHelper("127.0.0.1", 7, 1, 2000).outcome);
            FloodWithForeignIcmp(true);
            helper.push_back(PingThroughHelper("127.0.0.1", 7, 2, 2000).outcome);
            std::thread during([] { FloodWithForeignIcmp(true); });
            helper.push_back(PingThroughHelper("127.0.0.1", 7, 3, 2000).outcome);
            raw = PingProbeUsing(IcmpSocketKind::Raw, "127.0.0.1", 2000);
            during.join();
            rawOnly = SetNetSysctl("ipv4/ping_group_range", "1 0");
            ::setenv("SENTREL_PING_HELPER", "/nonexistent", 1), PingHelperStop();
            std::atomic<bool> flooding{true};
            std::thread flood([&flooding] {
                while (flooding)
                    FloodWithForeignIcmp(true);
            });
            std::vector<std::thread> rounds;
            for (int i = 0; i < 8; ++i)
                rounds.emplace_back([&answered, i] {
                    for (const std::int64_t m :
                         PingProbeRound("127.0.0." + std::to_string(i % 2 ? 1 : i + 2), 5).micros)
                        answered += m >= 0;
                });
            for (std::thread& round : rounds)
                round.join();
            flooding = false, flood.join(), ::unsetenv("SENTREL_PING_HELPER"), PingHelperStop();
        })) {
        GTEST_SKIP() << "no private network namespace (needs root)";
    }
    EXPECT_EQ(helper, std::vector<Outcome>(3, Outcome::Answered));
    EXPECT_GE(raw, 1);
    EXPECT_EQ(std::tuple(rawOnly, answered.load()), std::tuple(true, 40));
}

// Rounds of 10 in flight at once lose no echo: eight through datagram sockets,
// their requests paced 10 ms apart (80: 790 ms at least); then one, and eight,
// through helpers, each round in a process of its own (eight together take far
// less than eight one after another).
TEST(PingRound, PacingSpacesTheRequestsOfRoundsInFlightAndLosesNone) {
    std::atomic<int> answered{0};
    std::chrono::steady_clock::duration took[3]{};
    const auto rounds = [&answered](int n) {
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> threads;
        for (int i = 0; i < n; ++i)
            threads.emplace_back([&answered] {
                for (const std::int64_t m : PingProbeRound("127.0.0.1", 10).micros)
                    answered += m >= 0;
            });
        for (std::thread& thread : threads)
            thread.join();
        return std::chrono::steady_clock::now() - start;
    };
    if (!InPrivateNetNamespace([&] {
            SetEchoPacing(10ms);
            took[0] = SetNetSysctl("ipv4/ping_group_range", "0 0") ? rounds(8) : 0ms;
            PingHelperStop();
            took[1] = SetNetSysctl("ipv4/ping_group_range", "1 0") ? rounds(1) : 0ms;
            took[2] = rounds(8);
            PingHelperStop(), SetEchoPacing(0ms);
        }))
        GTEST_SKIP() << "no private network namespace (needs root)";
    EXPECT_EQ(answered.load(), 170);
    EXPECT_GE(took[0], 790ms);
    EXPECT_LT(took[2], 4 * took[1])
        << "one helper round " << took[1].count() << ", eight " << took[2].count();
}

// A helper whose privilege calls fail (PR_CAP_AMBIENT refused by a seccomp filter)
// ends before it serves.
TEST(PingHelper, AFailedPrivilegeCallEndsTheHelperBeforeItServes) {
    const std::string helper = PingHelperPath();
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        sock_filter code[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                              BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_prctl, 0, 3),
                              BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
                              BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PR_CAP_AMBIENT, 0, 1),
                              BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
                              BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
        const sock_fprog program{6, code};
        ::dup2(out[1], STDOUT_FILENO);
        ::prctl(PR_SET_NO_NEW_PRIVS, 1UL, 0UL, 0UL, 0UL);
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program);
        ::execl(helper.c_str(), "sentrel-ping", nullptr);
        ::_exit(127);
    }
    ::close(out[1]);
    char said[32] = {};
    const ssize_t n = ::read(out[0], said, sizeof said - 1);
    ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0), ::close(out[0]);
    EXPECT_EQ(std::string(said, n > 0 ? n : 0), "unavailable\n");
}

}  // namespace
}  // namespace sentrel
