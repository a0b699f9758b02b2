// The PING probe's way through sentrel-ping, the small helper that holds the
// raw-socket privilege so the program does not need it. A helper process, started
// at first use, answers one request (a round of echoes) at a time over a socket
// pair on its stdin and stdout, and ends when the program closes its end. Probes
// in flight at once (a parallel pass) each use a process of their own, up to 32.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sentrel {

// Where the helper is: $SENTREL_PING_HELPER when set, else
// <dir of the running program>/../libexec/sentrel/sentrel-ping when that exists,
// else, for a program that runs from inside the build tree it was built in, that
// tree's libexec/sentrel/sentrel-ping; else none (empty).
std::string PingHelperPath();

struct HelperEcho {
    enum class Outcome {
        Unavailable,  // no helper could be started (or it holds no raw socket)
        Failed,       // no reply in time, an ICMP error, a refused request, or the helper broke
        NotSent,      // the echo never went out (the kernel refused it, or the helper's cap)
        Answered,
    };
    Outcome outcome = Outcome::Unavailable;
    std::int64_t micros = 0;  // round trip when Answered
};

// Starts the helper when it does not run yet; true when it is ready for requests.
// A start that failed is not tried again until PingHelperStop.
bool PingHelperStart();

// One echo to the address literal ipText (dotted IPv4 or IPv6, no zone) with that
// identifier and sequence.
HelperEcho PingThroughHelper(const std::string& ipText, std::uint16_t id, std::uint16_t seq,
                             int timeoutMs);

// A round of count echoes (1 to kMaxEchoesInRound) with the sequences seq, seq + 1,
// ..., kEchoGapMs apart, answered until timeoutMs after the last: one result per
// echo, in send order.
std::vector<HelperEcho> PingRoundThroughHelper(const std::string& ipText, std::uint16_t id,
                                               std::uint16_t seq, int timeoutMs, int count);

// Ends the helper (closing its input makes it end) and forgets a failed start.
void PingHelperStop();
// How many times PingHelperStop ran: the ways of sending echoes are chosen again after it.
std::uint64_t PingHelperStops();

}  // namespace sentrel
