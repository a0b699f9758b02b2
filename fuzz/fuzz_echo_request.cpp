// The ping helper's request parser on arbitrary lines. It must accept only
// canonical lines: whatever it accepts, written back with the client's own
// formatter, gives the input again (a count of 1 may be written or left out), so
// no sloppy variant (leading zeros, signs, odd blanks, short addresses) gets
// through; an IPv4 address is dotted as inet_ntop writes it, an IPv6 one is the
// unicast address its text reads as; every accepted field is within its bounds.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/ping_helper_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    sentrel::EchoRequest request;
    if (!sentrel::ParseEchoRequest(line, &request)) {
        return 0;
    }
    std::string address(line.substr(0, line.find(' ')));
    bool sound = request.timeoutMs >= 1 && request.timeoutMs <= sentrel::kMaxEchoTimeoutMs &&
                 request.count >= 1 && request.count <= sentrel::kMaxEchoesInRound;
    if (request.node.family == AF_INET) {
        char dotted[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &request.node.v4, dotted, sizeof dotted);
        const unsigned first = ntohl(request.node.v4.s_addr) >> 24;
        sound = sound && address == dotted && first != 0 && first < 224;
    } else {
        in6_addr read{};
        const in6_addr& v6 = request.node.v6;
        sound = sound && request.node.family == AF_INET6 &&
                ::inet_pton(AF_INET6, address.c_str(), &read) == 1 &&
                std::memcmp(&read, &v6, sizeof read) == 0 && !IN6_IS_ADDR_MULTICAST(&v6) &&
                !IN6_IS_ADDR_UNSPECIFIED(&v6) && !IN6_IS_ADDR_V4MAPPED(&v6);
    }
    const std::string canonical = sentrel::FormatEchoRequest(address, request.id, request.seq,
                                                             request.timeoutMs, request.count);
    if (!sound || (canonical != line && (request.count != 1 || canonical + " 1" != line))) {
        std::abort();
    }
    return 0;
}
