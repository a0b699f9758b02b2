// The PING probe, by the first way that works: an unprivileged ICMP datagram socket
// (net.ipv4.ping_group_range), else the privileged helper sentrel-ping, else a raw
// socket of the program's own (started by root or given CAP_NET_RAW).
#include "engine/ping_probe.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>

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
// probe is never taken for the answer to a later one.
std::uint16_t NextSequence() {
    static std::atomic<std::uint16_t> next{RandomWord()};
    return next.fetch_add(1, std::memory_order_relaxed);
}

std::int32_t RoundTripMs(SteadyClock::duration elapsed) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
    const auto millis = (micros + 500) / 1000;  // nearest whole millisecond
    return millis < 1 ? 1 : static_cast<std::int32_t>(millis);
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
    if (!ParseDottedIPv4(ipText, &echo.node.v4)) {
        return 0;
    }
    const int fd = OpenIcmpSocket(kind);
    if (fd < 0) {
        return -1;
    }
    FdCloser closer(fd);
    echo.id = RandomWord();
    echo.seq = NextSequence();
    echo.data = PingRequestData();
    echo.timeoutMs = timeoutMs;
    const EchoResult result = ExchangeEcho(fd, kind, echo);
    return result.outcome == EchoResult::Outcome::Answered
               ? RoundTripMs(std::chrono::microseconds(result.micros))
               : 0;
}

std::int32_t PingProbe(const std::string& ipText, int timeoutMs) {
    in_addr node{};
    if (!ParseDottedIPv4(ipText, &node)) {
        return 0;
    }
    std::int32_t result = PingProbeUsing(IcmpSocketKind::Datagram, ipText, timeoutMs);
    if (result >= 0) {
        return result;
    }
    char dotted[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &node, dotted, sizeof dotted);
    const HelperEcho echo = PingThroughHelper(dotted, RandomWord(), NextSequence(),
                                              std::clamp(timeoutMs, 1, kMaxEchoTimeoutMs));
    if (echo.outcome != HelperEcho::Outcome::Unavailable) {
        return echo.outcome == HelperEcho::Outcome::Answered
                   ? RoundTripMs(std::chrono::microseconds(echo.micros))
                   : 0;
    }
    result = PingProbeUsing(IcmpSocketKind::Raw, ipText, timeoutMs);
    return result > 0 ? result : 0;
}

// For now one echo after another; each answer's round trip is known only to
// the millisecond.
PingRound PingProbeRound(const std::string& ipText, int echoes, int timeoutMs) {
    PingRound round;
    for (int i = 0; i < std::clamp(echoes, 1, kMaxRoundEchoes); ++i) {
        const std::int32_t ms = PingProbe(ipText, timeoutMs);
        round.micros.push_back(ms > 0 ? std::int64_t{ms} * 1000 : -1);
    }
    return round;
}

}  // namespace sentrel
