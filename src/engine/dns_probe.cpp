// c-ares, as Debian ships it, does the protocol: the question and the matching
// of its answer (id and question), the retry, TCP after a truncated answer, and
// the parsing of the records, so no message is taken apart here. Each probe has
// a channel of its own and waits on its own deadline on the calling thread, so
// any number of them may run at once; a pass being stopped (ScanAbort) ends it.
#include "engine/dns_probe.h"

#include <ares.h>
#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <mutex>

#include "config/node_table.h"
#include "engine/echo_round.h"
#include "engine/tcp_probe.h"
#include "platform/ip_address.h"
#include "platform/xsocket.h"

namespace sentrel {

namespace {

constexpr int kDefaultDnsPort = 53;
constexpr int kMaxAddresses = 64;
// The first try waits this long, the retry twice as long (c-ares doubles it);
// the probe's deadline cuts the retry short.
constexpr int kTryMs = 2000;
constexpr auto kAbortCheck = std::chrono::milliseconds(100);

enum : int { kTypeA = 1, kTypeAaaa = 28, kClassIn = 1 };

struct Answer {
    bool done = false;
    int status = ARES_ETIMEOUT;
    std::vector<std::string> addresses;  // of the type asked, for the name asked
    SteadyClock::time_point at;
};

template <typename Record, typename Parse>
std::vector<std::string> Addresses(const unsigned char* message, int length, Parse parse,
                                   int family) {
    std::array<Record, kMaxAddresses> records{};
    int count = kMaxAddresses;
    std::vector<std::string> texts;
    if (parse(message, length, nullptr, records.data(), &count) != ARES_SUCCESS) {
        return texts;
    }
    for (int i = 0; i < count; ++i) {
        char text[INET6_ADDRSTRLEN] = "";
        if (inet_ntop(family, &records[static_cast<std::size_t>(i)], text, sizeof text)) {
            texts.emplace_back(text);
        }
    }
    return texts;
}

template <bool kAaaa>
void Answered(void* user, int status, int, unsigned char* message, int length) {
    auto* answer = static_cast<Answer*>(user);
    answer->done = true;
    answer->status = status;
    answer->at = SteadyClock::now();
    if (status == ARES_SUCCESS) {
        answer->addresses =
            kAaaa ? Addresses<ares_addr6ttl>(message, length, ares_parse_aaaa_reply, AF_INET6)
                  : Addresses<ares_addrttl>(message, length, ares_parse_a_reply, AF_INET);
    }
}

// Waits for the channel's sockets until the answer, the deadline or a stop.
void Serve(ares_channel channel, const Answer& answer, Deadline deadline) {
    while (!answer.done && ScanAbort.load() == 0) {
        const auto now = SteadyClock::now();
        if (now >= deadline) {
            return;
        }
        std::array<ares_socket_t, ARES_GETSOCK_MAXNUM> sockets{};
        const int bits = ares_getsock(channel, sockets.data(), ARES_GETSOCK_MAXNUM);
        std::vector<pollfd> fds;
        for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
            const short events = static_cast<short>((ARES_GETSOCK_READABLE(bits, i) ? POLLIN : 0) |
                                                    (ARES_GETSOCK_WRITABLE(bits, i) ? POLLOUT : 0));
            if (events != 0) {
                fds.push_back({sockets[static_cast<std::size_t>(i)], events, 0});
            }
        }
        const auto wait = std::min<SteadyClock::duration>(deadline - now, kAbortCheck);
        const int ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
        if (::poll(fds.data(), fds.size(), ms) < 0 && errno != EINTR) {
            return;
        }
        bool any = false;
        for (const pollfd& p : fds) {
            if (p.revents != 0) {
                any = true;
                ares_process_fd(channel,
                                (p.revents & (POLLIN | POLLERR | POLLHUP)) ? p.fd : ARES_SOCKET_BAD,
                                (p.revents & POLLOUT) ? p.fd : ARES_SOCKET_BAD);
            }
        }
        if (!any) {
            ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // the time-outs
        }
    }
}

bool SameAddress(const std::string& text, const std::string& expected, int family) {
    std::array<unsigned char, 16> a{};
    std::array<unsigned char, 16> b{};
    return inet_pton(family, text.c_str(), a.data()) == 1 &&
           inet_pton(family, expected.c_str(), b.data()) == 1 && a == b;
}

}  // namespace

ServiceVerdict DnsProbe(const DnsTarget& target, int timeoutMs) {
    const auto start = SteadyClock::now();
    const int port = ServicePortNumber(target.port, kDefaultDnsPort);
    if (target.query.empty()) {
        return FailedBecause("Query missing.");
    }
    const bool aaaa = strcasecmp(target.qtype.c_str(), "AAAA") == 0;
    if (!aaaa && !target.qtype.empty() && strcasecmp(target.qtype.c_str(), "A") != 0) {
        return FailedBecause("Qtype not A or AAAA.");
    }
    IpAddress server;
    if (port == 0 || !ParseIpAddress(target.ipText, &server)) {
        return {};
    }
    static std::once_flag started;
    std::call_once(started, [] { ares_library_init(ARES_LIB_INIT_ALL); });

    ares_options options{};
    // Only this server is asked, the name as given; a SERVFAIL is an answer.
    options.flags = ARES_FLAG_NOSEARCH | ARES_FLAG_NOALIASES | ARES_FLAG_NOCHECKRESP;
    options.timeout = kTryMs;
    options.tries = 2;
    options.ndots = 0;
    options.lookups = const_cast<char*>("b");
    ares_channel channel = nullptr;
    if (ares_init_options(&channel, &options,
                          ARES_OPT_FLAGS | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_NDOTS |
                              ARES_OPT_LOOKUPS) != ARES_SUCCESS) {
        return {};
    }
    ares_addr_port_node node{};
    node.family = server.family;
    if (server.family == AF_INET6) {
        std::memcpy(&node.addr.addr6, &server.v6, sizeof server.v6);
    } else {
        node.addr.addr4 = server.v4;
    }
    node.udp_port = port;
    node.tcp_port = port;
    Answer answer;
    if (ares_set_servers_ports(channel, &node) == ARES_SUCCESS) {
        ares_query(channel, target.query.c_str(), kClassIn, aaaa ? kTypeAaaa : kTypeA,
                   aaaa ? Answered<true> : Answered<false>, &answer);
        Serve(channel, answer, start + std::chrono::milliseconds(timeoutMs));
    }
    ares_destroy(channel);  // a question still open is answered ARES_EDESTRUCTION here

    if (!answer.done || answer.status == ARES_EDESTRUCTION || answer.status == ARES_ETIMEOUT) {
        return {};
    }
    if (answer.status == ARES_ENOTFOUND) {
        return FailedBecause("DNS NXDOMAIN.");
    }
    if (answer.status == ARES_ESERVFAIL) {
        return FailedBecause("DNS SERVFAIL.");
    }
    if (answer.status == ARES_ENODATA ||
        (answer.status == ARES_SUCCESS && answer.addresses.empty())) {
        return FailedBecause("DNS no answer.");
    }
    if (answer.status != ARES_SUCCESS) {
        return {};
    }
    if (!target.expect.empty() &&
        std::none_of(answer.addresses.begin(), answer.addresses.end(), [&](const std::string& a) {
            return SameAddress(a, target.expect, aaaa ? AF_INET6 : AF_INET);
        })) {
        return FailedBecause("Address missing.");
    }
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(answer.at - start);
    return {WholeMs(micros.count()), {}, 0, 0};
}

}  // namespace sentrel
