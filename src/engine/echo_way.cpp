#include "engine/echo_way.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "engine/echo_round.h"
#include "engine/ping_helper_client.h"
#include "platform/ping_helper_protocol.h"

namespace sentrel {

namespace {

class FdCloser {
  public:
    explicit FdCloser(int fd) : fd_(fd) {}
    ~FdCloser() { ::close(fd_); }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;

  private:
    int fd_;
};

bool CanOpen(IcmpSocketKind kind, int family) {
    const int fd = OpenIcmpSocket(kind, family);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

SocketEchoWay gDatagram{IcmpSocketKind::Datagram};
HelperEchoWay gHelper;
SocketEchoWay gRaw{IcmpSocketKind::Raw};

struct WayChoice {
    std::atomic<EchoWay*> way{nullptr};
    std::atomic<std::uint64_t> stops{0};  // PingHelperStops() when it was chosen
};
WayChoice gWays[2];  // IPv4, IPv6

}  // namespace

std::optional<std::vector<std::int64_t>> SocketEchoWay::Round(const EchoSend& first, int count) {
    const int fd = OpenIcmpSocket(kind_, first.node.family);
    if (fd < 0) {
        return std::nullopt;
    }
    FdCloser closer(fd);
    std::vector<std::int64_t> micros;
    for (const EchoResult& result : ExchangeEchoRound(fd, kind_, first, count)) {
        micros.push_back(result.outcome == EchoResult::Outcome::Answered ? result.micros
                         : result.outcome == EchoResult::Outcome::Unsent ? kEchoNotSent
                                                                         : -1);
    }
    return micros;
}

std::optional<std::vector<std::int64_t>> HelperEchoWay::Round(const EchoSend& first, int count) {
    const std::vector<HelperEcho> answers =
        PingRoundThroughHelper(IpAddressText(first.node), first.id, first.seq,
                               std::clamp(first.timeoutMs, 1, kMaxEchoTimeoutMs), count);
    if (answers.front().outcome == HelperEcho::Outcome::Unavailable) {
        return std::nullopt;
    }
    std::vector<std::int64_t> micros;
    for (const HelperEcho& answer : answers) {
        micros.push_back(answer.outcome == HelperEcho::Outcome::Answered  ? answer.micros
                         : answer.outcome == HelperEcho::Outcome::NotSent ? kEchoNotSent
                                                                          : -1);
    }
    return micros;
}

EchoWay* EchoWayFor(int family, bool again) {
    WayChoice& choice = gWays[family == AF_INET6 ? 1 : 0];
    const std::uint64_t stops = PingHelperStops();
    if (EchoWay* kept = choice.way.load(); !again && kept != nullptr && choice.stops == stops) {
        return kept;
    }
    EchoWay* const way = CanOpen(IcmpSocketKind::Datagram, family) ? &gDatagram
                         : PingHelperStart()                       ? &gHelper
                         : CanOpen(IcmpSocketKind::Raw, family)    ? static_cast<EchoWay*>(&gRaw)
                                                                   : nullptr;
    choice.way.store(way);
    choice.stops.store(stops);
    return way;
}

}  // namespace sentrel
