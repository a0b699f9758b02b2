// The PING probe, by the first way that works: an unprivileged ICMP datagram socket
// (net.ipv4.ping_group_range), else the privileged helper sentrel-ping, else a raw
// socket of the program's own (started by root or given CAP_NET_RAW).
#include "engine/ping_probe.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <random>

#include "engine/ping_helper_client.h"
#include "platform/net_names.h"
#include "platform/xsocket.h"

namespace sentrel {

namespace {

std::atomic<bool> gPingLoaded{false};

// Room for the largest IPv4 header, the ICMP header, the echoed data and then some:
// a node may echo more than it was sent; the tail is cut and not needed.
constexpr std::size_t kReceiveSize = 2048;
// The longest time-out the helper takes.
constexpr int kMaxHelperTimeoutMs = 10000;

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
    const bool loaded =
        CanOpen(IcmpSocketKind::Datagram) || PingHelperStart() || CanOpen(IcmpSocketKind::Raw);
    gPingLoaded.store(loaded);
    return loaded;
}

void PingLibraryRelease() {
    PingHelperStop();
    gPingLoaded.store(false);
}

bool PingLibraryLoaded() {
    return gPingLoaded.load();
}

std::string PingRequestData() {
    return EchoRequestData();
}

std::int32_t PingProbeUsing(IcmpSocketKind kind, const std::string& ipText, int timeoutMs) {
    EchoExpectation expected;
    if (!ParseDottedIPv4(ipText, &expected.node)) {
        return 0;
    }
    const int fd = OpenIcmpSocket(kind);
    if (fd < 0) {
        return -1;
    }
    FdCloser closer(fd);

    expected.id = RandomWord();
    expected.seq = NextSequence();
    expected.data = PingRequestData();
    const std::string request = BuildEchoRequest(expected.id, expected.seq, expected.data);
    if (kind == IcmpSocketKind::Raw) {
        (void)QueueOnlyAnswersTo(fd, expected.id);  // refused: the reply test still decides
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr = expected.node;

    const auto start = SteadyClock::now();
    const Deadline deadline = start + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    ssize_t sent;
    do {
        sent = ::sendto(fd, request.data(), request.size(), 0,
                        reinterpret_cast<const sockaddr*>(&target), sizeof target);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(request.size())) {
        return 0;
    }
    if (kind == IcmpSocketKind::Datagram) {
        // The kernel replaced our identifier by the socket's own; it is the socket's
        // "port", and replies to it come back carrying it.
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
            return 0;
        }
        expected.id = ntohs(local.sin_port);
    }

    unsigned char packet[kReceiveSize];
    for (;;) {
        const int ready = WaitForSocket(fd, POLLIN, deadline);
        if (ready <= 0) {
            return 0;  // time-out (or a poll failure)
        }
        // Take everything queued; anything but our reply is passed over.
        for (;;) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t got = ::recvfrom(fd, packet, sizeof packet, 0,
                                           reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (got < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    break;
                }
                return 0;
            }
            const auto arrived = SteadyClock::now();
            if (IsEchoReplyFor(packet, static_cast<std::size_t>(got), kind == IcmpSocketKind::Raw,
                               from.sin_addr, expected)) {
                // A reply read only after the time-out came too late.
                return arrived <= deadline ? RoundTripMs(arrived - start) : 0;
            }
        }
        if (SteadyClock::now() >= deadline) {
            return 0;
        }
    }
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
                                              std::clamp(timeoutMs, 1, kMaxHelperTimeoutMs));
    if (echo.outcome != HelperEcho::Outcome::Unavailable) {
        return echo.outcome == HelperEcho::Outcome::Answered
                   ? RoundTripMs(std::chrono::microseconds(echo.micros))
                   : 0;
    }
    result = PingProbeUsing(IcmpSocketKind::Raw, ipText, timeoutMs);
    return result > 0 ? result : 0;
}

}  // namespace sentrel
