// The PING probe, by the first way that works, for IPv4 and IPv6 alike: an
// unprivileged ICMP datagram socket (net.ipv4.ping_group_range), else the privileged
// helper sentrel-ping, else a raw socket of the program's own (started by root or
// given CAP_NET_RAW).
#include "engine/ping_probe.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>

#include "engine/echo_round.h"
#include "engine/ping_helper_client.h"
#include "platform/net_names.h"
#include "platform/ping_helper_protocol.h"
#include "platform/xsocket.h"

namespace sentrel {

namespace {

class FdCloser {
  public:
    explicit FdCloser(int fd) : fd_(fd) {}
    ~FdCloser() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;

  private:
    int fd_;
};

std::uint16_t RandomWord() {
    try {
        std::random_device source;
        return static_cast<std::uint16_t>(source() & 0xFFFF);
    } catch (...) {
        // No entropy source: the clock's low bits still differ between probes.
        const auto ticks = SteadyClock::now().time_since_epoch().count();
        return static_cast<std::uint16_t>((ticks ^ (ticks >> 16)) & 0xFFFF);
    }
}

// Sequence numbers differ from one probe to the next, so a late reply to an earlier
// probe is never taken for the answer to a later one; a round takes count of them.
std::uint16_t NextSequence(int count = 1) {
    static std::atomic<std::uint16_t> next{RandomWord()};
    return next.fetch_add(static_cast<std::uint16_t>(count), std::memory_order_relaxed);
}

// The literal the helper is given for an address the probe takes: the dotted form,
// or the IPv6 text form; false for text that is neither.
bool HelperLiteral(const std::string& ipText, std::string* literal) {
    IpAddress node;
    if (!ParseIpAddress(ipText, &node)) {
        return false;
    }
    // A zone is left to the helper's refusal: it takes none.
    *literal = IpAddressText(node);
    return !literal->empty();
}

bool CanOpen(IcmpSocketKind kind) {
    const int fd = OpenIcmpSocket(kind);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

}  // namespace

bool PingLibraryLoad() {
    return CanOpen(IcmpSocketKind::Datagram) || PingHelperStart() || CanOpen(IcmpSocketKind::Raw);
}

void PingLibraryRelease() {
    PingHelperStop();
}

std::string PingRequestData() {
    return EchoRequestData();
}

std::int32_t PingProbeUsing(IcmpSocketKind kind, const std::string& ipText, int timeoutMs) {
    EchoSend echo;
    if (!ParseIpAddress(ipText, &echo.node)) {
        return 0;
    }
    const int fd = OpenIcmpSocket(kind, echo.node.family);
    if (fd < 0) {
        return -1;
    }
    FdCloser closer(fd);
    echo.id = RandomWord();
    echo.seq = NextSequence();
    echo.data = PingRequestData();
    echo.timeoutMs = timeoutMs;
    const EchoResult result = ExchangeEcho(fd, kind, echo);
    return result.outcome == EchoResult::Outcome::Answered ? WholeMs(result.micros) : 0;
}

std::int32_t PingProbe(const std::string& ipText, int timeoutMs) {
    std::string literal;
    if (!HelperLiteral(ipText, &literal)) {
        return 0;
    }
    std::int32_t result = PingProbeUsing(IcmpSocketKind::Datagram, ipText, timeoutMs);
    if (result >= 0) {
        return result;
    }
    const HelperEcho echo = PingThroughHelper(literal, RandomWord(), NextSequence(),
                                              std::clamp(timeoutMs, 1, kMaxEchoTimeoutMs));
    if (echo.outcome != HelperEcho::Outcome::Unavailable) {
        return echo.outcome == HelperEcho::Outcome::Answered ? WholeMs(echo.micros) : 0;
    }
    result = PingProbeUsing(IcmpSocketKind::Raw, ipText, timeoutMs);
    return result > 0 ? result : 0;
}

// The same three ways as PingProbe, for a whole round over one socket. A round's
// sequences are taken together, so no other probe's overlap them.
PingRound PingProbeRound(const std::string& ipText, int echoes, int timeoutMs) {
    const int count = std::clamp(echoes, 1, kMaxRoundEchoes);
    PingRound round;
    round.micros.assign(static_cast<std::size_t>(count), kEchoNotSent);
    EchoSend first;
    std::string literal;
    if (!HelperLiteral(ipText, &literal) || !ParseIpAddress(ipText, &first.node)) {
        return round;
    }
    first.id = RandomWord();
    first.seq = NextSequence(count);
    first.data = PingRequestData();
    first.timeoutMs = timeoutMs;
    for (const IcmpSocketKind kind : {IcmpSocketKind::Datagram, IcmpSocketKind::Raw}) {
        if (kind == IcmpSocketKind::Raw) {
            const std::vector<HelperEcho> echoes = PingRoundThroughHelper(
                literal, first.id, first.seq, std::clamp(timeoutMs, 1, kMaxEchoTimeoutMs), count);
            if (echoes.front().outcome != HelperEcho::Outcome::Unavailable) {
                for (std::size_t i = 0; i < echoes.size(); ++i) {
                    const HelperEcho::Outcome outcome = echoes[i].outcome;
                    round.micros[i] = outcome == HelperEcho::Outcome::Answered  ? echoes[i].micros
                                      : outcome == HelperEcho::Outcome::NotSent ? kEchoNotSent
                                                                                : -1;
                }
                return round;
            }
        }
        const int fd = OpenIcmpSocket(kind, first.node.family);
        if (fd < 0) {
            continue;
        }
        FdCloser closer(fd);
        const std::vector<EchoResult> results = ExchangeEchoRound(fd, kind, first, count);
        for (std::size_t i = 0; i < results.size(); ++i) {
            const EchoResult::Outcome outcome = results[i].outcome;
            round.micros[i] = outcome == EchoResult::Outcome::Answered ? results[i].micros
                              : outcome == EchoResult::Outcome::Unsent ? kEchoNotSent
                                                                       : -1;
        }
        return round;
    }
    return round;
}

}  // namespace sentrel
