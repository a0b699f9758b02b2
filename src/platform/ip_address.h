// An address of either family as the program holds it, from its literal text.
// Libc only: the helper links it.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace sentrel {

struct IpAddress {
    int family = AF_INET;  // AF_INET or AF_INET6
    in_addr v4{};
    in6_addr v6{};
    std::uint32_t scope = 0;  // IPv6 zone (interface index), 0 for none
};

// Strict dotted-decimal IPv4 text to address (network order). False for anything else.
bool ParseDottedIPv4(const std::string& text, in_addr* out);

// A literal of either family: strict dotted-decimal IPv4, or IPv6 text (no
// brackets) with an optional zone after '%' (an interface name or index). False
// for anything else, a zone that names no interface included.
bool ParseIpAddress(const std::string& text, IpAddress* out);

// A node's address literal as a user writes it: what ParseIpAddress takes, an IPv6
// literal also in square brackets ("[::1]", "[fe80::1%eth0]"), and an IPv4-mapped
// IPv6 address (::ffff:a.b.c.d) read as the IPv4 address it maps. On failure why
// (when given) says in a few words what is wrong with the text.
bool ParseNodeAddress(const std::string& text, IpAddress* out, std::string* why = nullptr);

// The address's own text: dotted IPv4, or IPv6 as inet_ntop writes it with
// "%<interface index>" for a zone; ParseIpAddress reads it back to the same address.
std::string IpAddressText(const IpAddress& address);

// True when text holds a ':' and so can only be meant as an IPv6 literal.
bool LooksLikeIPv6(const std::string& text);

// The address with its port as a socket address; the length used.
socklen_t ToSocketAddress(const IpAddress& address, std::uint16_t port, sockaddr_storage* out);

}  // namespace sentrel
