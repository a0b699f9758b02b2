// Address literals of both families.
#include "platform/ip_address.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <cstring>

namespace sentrel {

bool ParseDottedIPv4(const std::string& text, in_addr* out) {
    std::uint32_t value = 0;
    int parts = 0;
    std::size_t i = 0;
    while (parts < 4) {
        if (parts > 0) {
            if (i >= text.size() || text[i] != '.') {
                return false;
            }
            ++i;
        }
        const std::size_t first = i;
        unsigned part = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - first < 3) {
            part = part * 10 + static_cast<unsigned>(text[i] - '0');
            ++i;
        }
        const std::size_t digits = i - first;
        // One to three digits, no leading zero (an old resolver would read it as octal).
        if (digits == 0 || part > 255 || (digits > 1 && text[first] == '0')) {
            return false;
        }
        value = (value << 8) | part;
        ++parts;
    }
    if (i != text.size()) {
        return false;
    }
    if (out != nullptr) {
        out->s_addr = htonl(value);
    }
    return true;
}

bool LooksLikeIPv6(const std::string& text) {
    return text.find(':') != std::string::npos;
}

bool ParseIpAddress(const std::string& text, IpAddress* out) {
    IpAddress address;
    if (!LooksLikeIPv6(text)) {
        address.family = AF_INET;
        if (!ParseDottedIPv4(text, &address.v4)) {
            return false;
        }
    } else {
        address.family = AF_INET6;
        const std::size_t percent = text.find('%');
        const std::string host = text.substr(0, percent);
        if (host.empty() || ::inet_pton(AF_INET6, host.c_str(), &address.v6) != 1) {
            return false;
        }
        if (percent != std::string::npos) {
            const std::string zone = text.substr(percent + 1);
            if (zone.empty() || zone.size() >= IF_NAMESIZE) {
                return false;
            }
            address.scope = ::if_nametoindex(zone.c_str());
            if (address.scope == 0 && zone.find_first_not_of("0123456789") == std::string::npos &&
                zone.size() <= 9) {
                address.scope = static_cast<std::uint32_t>(std::stoul(zone));
            }
            if (address.scope == 0) {
                return false;
            }
        }
    }
    if (out != nullptr) {
        *out = address;
    }
    return true;
}

bool ParseNodeAddress(const std::string& text, IpAddress* out, std::string* why) {
    auto refuse = [why](const char* reason) {
        if (why != nullptr) {
            *why = reason;
        }
        return false;
    };
    std::string literal = text;
    if (!literal.empty() && literal.front() == '[') {
        if (literal.size() < 3 || literal.back() != ']') {
            return refuse("a bracket left open");
        }
        literal = literal.substr(1, literal.size() - 2);
        if (!LooksLikeIPv6(literal)) {
            return refuse("only an IPv6 address goes in brackets");
        }
    }
    IpAddress address;
    if (!ParseIpAddress(literal, &address)) {
        if (!LooksLikeIPv6(literal)) {
            return refuse("not a dotted IPv4 address");
        }
        const std::size_t percent = literal.find('%');
        IpAddress host;
        if (percent != std::string::npos && ParseIpAddress(literal.substr(0, percent), &host)) {
            return refuse("its zone names no interface");
        }
        return refuse("not an IPv6 address");
    }
    if (address.family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&address.v6)) {
        address.family = AF_INET;
        std::memcpy(&address.v4.s_addr, address.v6.s6_addr + 12, 4);
        address.v6 = in6_addr{};
        address.scope = 0;
    }
    if (out != nullptr) {
        *out = address;
    }
    return true;
}

std::string IpAddressText(const IpAddress& address) {
    char text[INET6_ADDRSTRLEN] = {};
    const bool v6 = address.family == AF_INET6;
    if (::inet_ntop(address.family, v6 ? static_cast<const void*>(&address.v6) : &address.v4, text,
                    sizeof text) == nullptr) {
        return {};
    }
    return std::string(text) +
           (v6 && address.scope != 0 ? "%" + std::to_string(address.scope) : "");
}

socklen_t ToSocketAddress(const IpAddress& address, std::uint16_t port, sockaddr_storage* out) {
    std::memset(out, 0, sizeof *out);
    if (address.family == AF_INET6) {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(out);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(port);
        sin6->sin6_addr = address.v6;
        sin6->sin6_scope_id = address.scope;
        return sizeof(sockaddr_in6);
    }
    auto* sin = reinterpret_cast<sockaddr_in*>(out);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(port);
    sin->sin_addr = address.v4;
    return sizeof(sockaddr_in);
}

}  // namespace sentrel
