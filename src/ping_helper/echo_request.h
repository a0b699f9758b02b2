// One request line of the ping helper's protocol, read strictly:
//
//   <a.b.c.d> <identifier> <sequence> <time-out in ms>
//
// Single blanks between the fields, no newline (the reader strips it), decimal
// numbers without sign or leading zeros. The address is a unicast IPv4 address
// in dotted-quad form; the identifier and sequence are 0 to 65535; the time-out
// is 1 to kMaxEchoTimeoutMs. Anything else is refused.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace sentrel {

inline constexpr std::size_t kMaxRequestLine = 64;  // without the newline
inline constexpr int kMaxEchoTimeoutMs = 10000;

struct EchoRequest {
    in_addr node{};
    std::uint16_t id = 0;
    std::uint16_t seq = 0;
    int timeoutMs = 0;
};

// True when line is a well-formed request; out is then filled.
bool ParseEchoRequest(std::string_view line, EchoRequest* out);

}  // namespace sentrel
