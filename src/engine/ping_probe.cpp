// The PING probe, by the way of sending echoes chosen for the address's family
// (engine/echo_way.h), for IPv4 and IPv6 alike.
#include "engine/ping_probe.h"

#include <atomic>
#include <cassert>
#include <chrono>
#include <random>

#include "engine/echo_round.h"
#include "engine/echo_way.h"
#include "engine/ping_helper_client.h"
#include "platform/xsocket.h"

namespace sentrel {

namespace {

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

}  // namespace

bool PingLibraryLoad() {
    return EchoWayFor(AF_INET, true) != nullptr;
}

void PingLibraryRelease() {
    PingHelperStop();
}

std::string PingRequestData() {
    return EchoRequestData();
}

namespace {

// The first echo of a round to `node`: the identifier and sequences its own.
EchoSend FirstEcho(const IpAddress& node, int count, int timeoutMs) {
    EchoSend first;
    first.node = node;
    first.id = NextIdentifier();
    first.seq = NextSequence(count);
    first.data = PingRequestData();
    first.timeoutMs = timeoutMs;
    return first;
}

}  // namespace

std::int32_t PingProbeUsing(IcmpSocketKind kind, const std::string& ipText, int timeoutMs) {
    IpAddress node;
    if (!ParseIpAddress(ipText, &node)) {
        return 0;
    }
    const auto micros = SocketEchoWay(kind).Round(FirstEcho(node, 1, timeoutMs), 1);
    return !micros ? -1 : micros->front() >= 0 ? WholeMs(micros->front()) : 0;
}

std::int32_t PingProbe(const std::string& ipText, int timeoutMs) {
    const std::int64_t micros = PingProbeRound(ipText, 1, timeoutMs).micros.front();
    return micros >= 0 ? WholeMs(micros) : 0;
}

PingRound UnsentRound(int echoes) {
    return {std::vector<std::int64_t>(static_cast<std::size_t>(echoes), kEchoNotSent)};
}

PingRound PingProbeRound(const std::string& ipText, int echoes, int timeoutMs) {
    IpAddress node;
    if (!ParseIpAddress(ipText, &node)) {
        return UnsentRound(echoes);
    }
    return PingProbeRound(node, echoes, timeoutMs);
}

// The way chosen for the address's family, chosen again once when it cannot
// serve. A round's sequences are taken together, so no other probe's overlap them.
PingRound PingProbeRound(const IpAddress& node, int echoes, int timeoutMs) {
    assert(echoes >= 1 && echoes <= kMaxEchoesInRound);  // as the settings read it
    const EchoSend first = FirstEcho(node, echoes, timeoutMs);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (EchoWay* way = EchoWayFor(node.family, attempt > 0)) {
            if (auto micros = way->Round(first, echoes)) {
                return {std::move(*micros)};
            }
        }
    }
    return UnsentRound(echoes);
}

}  // namespace sentrel
