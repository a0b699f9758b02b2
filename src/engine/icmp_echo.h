// The pieces of the PING probe: ICMP sockets of either kind, the echo request on
// the wire and the test whether a received packet answers it.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace sentrel {

enum class IcmpSocketKind {
    Datagram,  // unprivileged ping socket; the kernel sets the identifier
    Raw,       // needs CAP_NET_RAW; receives every ICMP packet with its IP header
};

// A non-blocking, close-on-exec ICMP socket of that kind; -1 when it cannot be opened.
int OpenIcmpSocket(IcmpSocketKind kind);

// Before each request on a raw socket: from now on the kernel queues only what may
// answer an echo request with identifier id (echo replies carrying it, ICMP errors
// quoting an echo request carrying it), so the rest of the host's ICMP never fills
// the queue; then what was queued before goes. False when the filter was refused
// (the queue is emptied all the same).
bool QueueOnlyAnswersTo(int rawFd, std::uint16_t id);

// RFC 1071 checksum of size bytes.
std::uint16_t InternetChecksum(const void* data, std::size_t size);

// The 120 data bytes of every echo request Sentrel sends: six copies of
// "Brightfen Sentrel" padded with blanks to 20.
std::string EchoRequestData();

// An echo request (type 8, code 0) with its checksum; id and seq in host order.
std::string BuildEchoRequest(std::uint16_t id, std::uint16_t seq, const std::string& data);

// The reply the probe waits for: an echo reply (type 0, code 0) carrying id and seq
// (host order) and the request's data (more may follow), sent by node.
struct EchoExpectation {
    std::uint16_t id = 0;
    std::uint16_t seq = 0;
    in_addr node{};
    std::string data;
};

// Whether a received packet is that reply. withIpHeader: the packet starts with its
// IPv4 header (raw socket), else with the ICMP header (datagram socket). ICMP errors,
// other echoes and packets from other senders never match.
bool IsEchoReplyFor(const unsigned char* packet, std::size_t size, bool withIpHeader,
                    const in_addr& sender, const EchoExpectation& expected);

}  // namespace sentrel
