// The DNS probe: one question (A or AAAA) to the node as a DNS server, through
// c-ares.
#pragma once

#include <string>

#include "engine/ping_probe.h"
#include "engine/service_verdict.h"

namespace sentrel {

struct DnsTarget {
    std::string ipText;  // the server: an IPv4 or IPv6 literal
    std::string port;    // empty: 53
    std::string query;   // the name asked for (required)
    std::string qtype;   // "A" (also when empty) or "AAAA", in any case
    std::string expect;  // empty, or an address the answer must hold
};

// Over UDP with one retry, over TCP when the answer comes truncated, within
// `timeoutMs` in all. Success: at least one record of the type for the name
// asked (and the expected address among them); the time to the answer is the
// measure. NXDOMAIN, SERVFAIL, an answer without such a record, an answer
// to another question, and silence fail.
ServiceVerdict DnsProbe(const DnsTarget& target, int timeoutMs = kPingTimeoutMs);

}  // namespace sentrel
