// The TCP probe: a connection to the node's port, closed at once without a byte.
#pragma once

#include <string>

#include "engine/service_verdict.h"

namespace sentrel {

// Said when a TCP node has no port (never port 80 by surprise).
inline constexpr const char* kMsgNoPort = "*ERROR* Port missing.";

// The port number of a port text, or 0 when it is not 1..65535.
int ServicePortNumber(const std::string& portText, int fallback);

// The time the connection took to complete; a refusal or no answer within
// MAXSecs (as the HTTPD probe reads it) fails. The address is an IPv4 or IPv6
// literal; anything else fails at once.
ServiceVerdict TcpProbe(const std::string& ipText, const std::string& portText,
                        const std::string& maxSecsText);

}  // namespace sentrel
