// ICMP echo, the one way both the PING probe and the helper sentrel-ping do it, over
// IPv4 (ICMP) and IPv6 (ICMPv6): sockets of either kind, the request on the wire,
// and an exchange that waits for the reply carrying the request's identifier,
// sequence and data, and ends at once when an ICMP error about the request comes
// back; one echo or a round of them. Libc only: the helper links it.
#pragma once

#include <netinet/in.h>

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ip_address.h"

namespace sentrel {

enum class IcmpSocketKind {
    Datagram,  // unprivileged ping socket; the kernel sets the identifier
    Raw,       // needs CAP_NET_RAW; receives every ICMP packet with its IP header
};

// A node's address: IPv4 or IPv6.
using IcmpAddress = IpAddress;

// The most echoes in one round.
inline constexpr int kMaxEchoesInRound = 20;
// The spacing of a round's echo requests. Long enough that no router's ICMP rate
// limit (typically one per 100 ms with a burst of several) drops them and that a
// round never looks like a flood; short enough that a round of 20 costs about a
// second of sending.
inline constexpr int kEchoGapMs = 50;

// Pacing across rounds that run at once: while an interval above 0 is set, each
// echo request of any round in the process waits for a slot of its own, an
// interval after the slot before it, and goes out once its slot has come (a round
// holds its next request back and keeps reading answers meanwhile). 0, the start,
// paces nothing beyond each round's own gap.
void SetEchoPacing(std::chrono::milliseconds interval);
// Waits for the pacer's next slot (at once while no pacing is set): for a request
// that goes out through another process, such as the helper's.
void WaitForSendSlot();

// A non-blocking, close-on-exec ICMP (AF_INET) or ICMPv6 (AF_INET6) socket of that
// kind; -1 when it cannot be opened (always for another family). An unprivileged
// ICMPv6 datagram socket is governed by net.ipv4.ping_group_range too. A raw socket
// takes only echo replies and the errors that may answer a request; a datagram
// socket gets the ICMP errors about its requests on its error queue (IP_RECVERR,
// IPV6_RECVERR).
int OpenIcmpSocket(IcmpSocketKind kind, int family = AF_INET);

// RFC 1071 checksum of size bytes.
std::uint16_t InternetChecksum(const void* data, std::size_t size);

// The 120 data bytes of every echo request Sentrel sends: six copies of
// "Brightfen Sentrel" padded with blanks to 20.
std::string EchoRequestData();

// An echo request (type 8, code 0) with its checksum; id and seq in host order.
// The ICMPv6 one differs in its type (128) and leaves the checksum, which covers
// the addresses, to the kernel.
std::string BuildEchoRequest(std::uint16_t id, std::uint16_t seq, const std::string& data,
                             int family = AF_INET);

struct EchoSend {
    IcmpAddress node;
    std::uint16_t id = 0;  // a datagram socket sends its own instead
    std::uint16_t seq = 0;
    std::string data;
    int timeoutMs = 0;
};

struct EchoResult {
    enum class Outcome {
        Answered,   // the reply came in time; micros is the round trip
        TimedOut,   // nothing that counts came before the deadline
        IcmpError,  // an ICMP error quoting the request came first
        Unsent,     // the request could not be sent
        HungUp,     // the watched descriptor hung up while waiting
    };
    Outcome outcome = Outcome::TimedOut;
    std::int64_t micros = 0;
    int errorType = 0;  // of the ICMP error
    int errorCode = 0;
};

// Sends one echo request over fd (a socket of that kind from OpenIcmpSocket) and
// waits up to echo.timeoutMs for its answer. Only a reply from the node with the
// request's identifier, sequence and data counts; an ICMP error quoting the request
// (from the node's address, identifier and sequence) ends the echo at once; all
// else is passed over. On a raw socket the kernel first drops what was queued and
// from then on queues only what may answer this request. watchFd, when not -1, is
// watched for a hang-up, which ends the wait.
EchoResult ExchangeEcho(int fd, IcmpSocketKind kind, const EchoSend& echo, int watchFd = -1);

// A round: count (1 to kMaxEchoesInRound) echo requests like first, with sequence
// numbers first.seq, first.seq + 1, ..., sent gapMs apart; then waits until
// first.timeoutMs after the last one, or until every echo has its answer. One
// result per echo, in send order, each judged as ExchangeEcho judges one (micros
// from that echo's own send); a duplicate reply, or one to a sequence outside the
// round, never counts. A round of one is ExchangeEcho.
std::vector<EchoResult> ExchangeEchoRound(int fd, IcmpSocketKind kind, const EchoSend& first,
                                          int count, int gapMs = kEchoGapMs, int watchFd = -1);

// Both clocks read at one moment.
struct ClockReading {
    std::chrono::steady_clock::time_point steady;
    std::chrono::system_clock::time_point wall;
    static ClockReading Now();
};

// When the kernel took in a packet it stamped with stamp (its receive time, on the
// wall clock), on the steady clock: now.steady less the time it has waited since,
// so a late wake-up of a busy host's thread does not lengthen a round trip. Only
// when the wall clock ran with the steady clock since the request went out (sent):
// a wall clock stepped meanwhile leaves the stamp meaningless, and then now it is.
// Never before sent.
std::chrono::steady_clock::time_point ArrivalTime(const timespec& stamp, const ClockReading& sent,
                                                  const ClockReading& now);

// Copies a control message's data of size bytes to out; false when the message
// is shorter than that (the kernel's cmsg_len), leaving out alone.
bool ControlData(const cmsghdr* message, void* out, std::size_t size);

}  // namespace sentrel
