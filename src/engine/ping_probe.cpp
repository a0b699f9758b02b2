// The PING probe, by the first way that works, for IPv4 and IPv6 alike: an
// unprivileged ICMP datagram socket (net.ipv4.ping_group_range), else the privileged
// helper sentrel-ping, else a raw socket of the program's own (started by root or
// given CAP_NET_RAW).
#include "engine/ping_probe.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
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

// Identifiers differ between the probes of a run, so rounds in flight at once over
// raw sockets (each filtered to its own identifier) or the helper never share one.
std::uint16_t NextIdentifier() {
    static std::atomic<std::uint16_t> next{RandomWord()};
    return next.fetch_add(1, std::memory_order_relaxed);
}

bool CanOpen(IcmpSocketKind kind, int family = AF_INET) {
    const int fd = OpenIcmpSocket(kind, family);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

// The way echoes go, one for each family: chosen at the first probe and kept;
// chosen again when it fails to serve (no socket, no helper) and after each
// PingHelperStop, which is how a reload or a test starts over.
enum class EchoWay : int { Unknown, Datagram, Helper, Raw };

struct WayChoice {
    std::atomic<int> way{0};
    std::atomic<std::uint64_t> stops{0};  // PingHelperStops() when it was chosen
};
WayChoice gWays[2];  // IPv4, IPv6

EchoWay WayFor(int family, bool again) {
    WayChoice& choice = gWays[family == AF_INET6 ? 1 : 0];
    const std::uint64_t stops = PingHelperStops();
    if (!again && choice.stops.load() == stops && choice.way.load() != 0) {
        return static_cast<EchoWay>(choice.way.load());
    }
    const EchoWay way = CanOpen(IcmpSocketKind::Datagram, family) ? EchoWay::Datagram
                        : PingHelperStart()                       ? EchoWay::Helper
                        : CanOpen(IcmpSocketKind::Raw, family)    ? EchoWay::Raw
                                                                  : EchoWay::Unknown;
    choice.way.store(static_cast<int>(way));  // none is no choice: the next probe tries again
    choice.stops.store(stops);
    return way;
}

}  // namespace

bool PingLibraryLoad() {
    return WayFor(AF_INET, true) != EchoWay::Unknown;
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
    echo.id = NextIdentifier();
    echo.seq = NextSequence();
    echo.data = PingRequestData();
    echo.timeoutMs = timeoutMs;
    const EchoResult result = ExchangeEcho(fd, kind, echo);
    return result.outcome == EchoResult::Outcome::Answered ? WholeMs(result.micros) : 0;
}

std::int32_t PingProbe(const std::string& ipText, int timeoutMs) {
    const std::int64_t micros = PingProbeRound(ipText, 1, timeoutMs).micros.front();
    return micros >= 0 ? WholeMs(micros) : 0;
}

// A round over the way chosen for the address's family, chosen again once when it
// cannot serve. A round's sequences are taken together, so no other probe's
// overlap them.
PingRound PingProbeRound(const std::string& ipText, int echoes, int timeoutMs) {
    assert(echoes >= 1 && echoes <= kMaxEchoesInRound);  // as the settings read it
    const int count = echoes;
    PingRound round;
    round.micros.assign(static_cast<std::size_t>(count), kEchoNotSent);
    EchoSend first;
    if (!ParseIpAddress(ipText, &first.node)) {
        return round;
    }
    first.id = NextIdentifier();
    first.seq = NextSequence(count);
    first.data = PingRequestData();
    first.timeoutMs = timeoutMs;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const EchoWay way = WayFor(first.node.family, attempt > 0);
        if (way == EchoWay::Helper) {
            // The helper takes the address in its text form; a zone is left to its refusal.
            const std::vector<HelperEcho> answers =
                PingRoundThroughHelper(IpAddressText(first.node), first.id, first.seq,
                                       std::clamp(timeoutMs, 1, kMaxEchoTimeoutMs), count);
            if (answers.front().outcome == HelperEcho::Outcome::Unavailable) {
                continue;
            }
            for (std::size_t i = 0; i < answers.size(); ++i) {
                const HelperEcho::Outcome outcome = answers[i].outcome;
                round.micros[i] = outcome == HelperEcho::Outcome::Answered  ? answers[i].micros
                                  : outcome == HelperEcho::Outcome::NotSent ? kEchoNotSent
                                                                            : -1;
            }
            return round;
        }
        const IcmpSocketKind kind =
            way == EchoWay::Datagram ? IcmpSocketKind::Datagram : IcmpSocketKind::Raw;
        const int fd = way == EchoWay::Unknown ? -1 : OpenIcmpSocket(kind, first.node.family);
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
