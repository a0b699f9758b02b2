// The HTTPD probe: connect, send "GET /\n", count the bytes of one read.
#pragma once

#include <cstdint>
#include <string>

namespace sentrel {

inline constexpr std::size_t kHttpdReceiveSize = 30000;

// Time-out in seconds from the MAXSecs text: 0, empty or not a number gives 60;
// a negative value gives up at once.
int HttpdTimeoutSeconds(const std::string& maxSecsText);

// Port number from the port text: not a number (or 0) gives 80.
int HttpdPortNumber(const std::string& portText);

// Bytes received by the single read (1..30000) for a success; 0 or -1 for a
// failure. An unanswered probe is given up between MAXSecs and MAXSecs + 1
// seconds after it began. Empty address or port gives 0 at once. The address is
// a dotted IPv4 text or an IPv6 literal; anything else gives 0 at once.
std::int32_t HttpdProbe(const std::string& ipText, const std::string& port,
                        const std::string& maxSecsText);

}  // namespace sentrel
