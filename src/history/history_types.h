// The values the history keeps and computes with: no SQLite, no Qt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/echo_round.h"

namespace sentrel::history {

// A node as the history knows it: the same address, port and probe type are the
// same node, whatever its title.
struct NodeKey {
    std::string address;
    std::string port;            // "80" for an HTTPD node without a port; empty for PING
    std::int32_t probeType = 0;  // the kind (ProbeKind)
};

// The key of a node as configured or as probed: its kind (ProbeKind), and its
// port except for PING.
NodeKey MakeNodeKey(const std::string& address, const std::string& port, std::int32_t probeType);

// Which text a failed probe's row showed: the count's, or a threshold's (its
// number comes from the figures). Stored as its number.
enum class FailureText : std::uint8_t { Count = 0, Loss = 1, Slow = 2 };

// One probe result.
struct Sample {
    std::int64_t timeMs = 0;
    std::int32_t value = 0;      // bytes (HTTPD) or ms (the others); 0 or less is a failure
    std::int32_t failCount = 0;  // consecutive failures after this probe
    EchoFigures echoes{};        // PING's echoes; all 0 for HTTPD and results before version 3
    FailureText failure = FailureText::Count;  // Count for results before version 4
    std::uint8_t held = 0;  // its alarms held: 0 no, 1 behind a parent, 2 in maintenance
    // The row's status text where the figures cannot give it again (the causes
    // and the HTTP status of the TCP, HTTPS and DNS kinds); empty otherwise.
    std::string text{};
    bool Answered() const { return value > 0; }
};

// A stretch of time during which a program was monitoring the node.
struct Watched {
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
};

// A node's results over a span, oldest first, with the monitoring around them.
struct NodeSeries {
    std::vector<Sample> samples;
    std::vector<Watched> watched;  // merged, in time order
    std::int64_t lastSeq = 0;      // the file's latest stored batch when read
};

}  // namespace sentrel::history
