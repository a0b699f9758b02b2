// Address texts and name lookups.
#include "platform/net_names.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace sentrel {

namespace {
constexpr std::size_t kHostNameMax = 49;
}

bool LookupHostIPv4(const std::string& name, std::string* dotted) {
    if (name.empty()) {
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* answer = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &answer) != 0 || answer == nullptr) {
        return false;
    }
    bool found = false;
    for (const addrinfo* a = answer; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr != nullptr) {
            char text[INET_ADDRSTRLEN] = {};
            const auto* sin = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
            if (::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) != nullptr) {
                if (dotted != nullptr) {
                    *dotted = text;
                }
                found = true;
            }
            break;  // only the first address counts
        }
    }
    ::freeaddrinfo(answer);
    return found;
}

bool LookupHostIPv6(const std::string& name, std::string* text) {
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* answer = nullptr;
    if (name.empty() || ::getaddrinfo(name.c_str(), nullptr, &hints, &answer) != 0) {
        return false;
    }
    char literal[INET6_ADDRSTRLEN] = {};
    const auto* first = answer != nullptr && answer->ai_family == AF_INET6
                            ? reinterpret_cast<const sockaddr_in6*>(answer->ai_addr)
                            : nullptr;
    const bool found =
        first != nullptr && ::inet_ntop(AF_INET6, &first->sin6_addr, literal, sizeof literal);
    if (found) {
        *text = std::string(literal) +
                (first->sin6_scope_id != 0 ? "%" + std::to_string(first->sin6_scope_id) : "");
    }
    ::freeaddrinfo(answer);
    return found;
}

bool IsAddressText(const std::string& text) {
    return LooksLikeIPv6(text) || (!text.empty() && text[0] >= '0' && text[0] <= '9');
}

bool NodeAddressText(const std::string& name, std::string* text) {
    if (name.empty()) {
        return false;
    }
    if (IsAddressText(name)) {
        *text = name;
        return true;
    }
    return LookupHostIPv4(name, text) || LookupHostIPv6(name, text);
}

bool LocalHostName(std::string* name) {
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0) {
        return false;
    }
    std::string text(buffer);
    if (text.empty()) {
        return false;
    }
    if (text.size() > kHostNameMax) {
        text.resize(kHostNameMax);
    }
    if (name != nullptr) {
        *name = text;
    }
    return true;
}

}  // namespace sentrel
