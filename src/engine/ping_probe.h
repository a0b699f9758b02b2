// The PING probe: one ICMP (IPv4) or ICMPv6 (IPv6) echo of 120 data bytes, 5000 ms
// time-out; or a round of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/echo_round.h"
#include "platform/icmp_echo.h"

namespace sentrel {

inline constexpr int kPingTimeoutMs = 5000;
inline constexpr std::size_t kPingDataSize = 120;
// Said at start-up when PingLibraryLoad fails; the program then ends.
inline constexpr const char* kMsgNoPing = "*ERROR* Missing required file: ICMP.DLL";

// "Loading the library": checks at start-up that an unprivileged ICMP datagram
// socket can be opened, or else that the helper sentrel-ping starts and holds its
// raw socket, or else that a raw ICMP socket of our own can be opened. True when
// one of them works.
bool PingLibraryLoad();
// Releases what loading kept: ends the helper when it runs.
void PingLibraryRelease();

// The 120 request data bytes: six copies of "Brightfen Sentrel" padded with blanks to 20.
std::string PingRequestData();

// Round-trip time in whole milliseconds (at least 1) when an echo reply from the
// node came within the time-out; 0 otherwise (no socket, an address that is neither
// dotted IPv4 nor an IPv6 literal,
// no reply, or an ICMP error about the request, which ends the probe at once). A round
// of one echo: see PingProbeRound.
std::int32_t PingProbe(const std::string& ipText, int timeoutMs = kPingTimeoutMs);

// The same probe over one socket kind only: -1 when a socket of that kind cannot be
// opened, otherwise as PingProbe.
std::int32_t PingProbeUsing(IcmpSocketKind kind, const std::string& ipText,
                            int timeoutMs = kPingTimeoutMs);

// A round of echoes to one node: the round trip of each echo in microseconds,
// in the order they were sent, -1 for one that was not answered in time (lost,
// refused by an ICMP error, or its reply came after the round's time-out),
// kEchoNotSent for one that never went out. Duplicate replies never count twice.
struct PingRound {
    std::vector<std::int64_t> micros;
};

// `echoes` (1 to kMaxEchoesInRound) echo requests to the node, kEchoGapMs apart,
// waiting for the answers until timeoutMs after the last request. They go the way
// chosen for the address's family (EchoWayFor in engine/echo_way.h: an ICMP
// datagram socket, else the helper, else a raw socket), chosen again once when
// it cannot serve. Nothing sent, when no way serves, is a round of echoes never
// sent. A single echo is a round of one.
PingRound PingProbeRound(const IpAddress& node, int echoes, int timeoutMs = kPingTimeoutMs);
// A round of `echoes` echoes none of which went out.
PingRound UnsentRound(int echoes);
// The same for an address literal; an invalid one gives a round of echoes never sent.
PingRound PingProbeRound(const std::string& ipText, int echoes, int timeoutMs = kPingTimeoutMs);

}  // namespace sentrel
