// What a TCP, HTTPS or DNS probe found: the figure the pass stores and, for a
// failure with a cause of its own, the status text that names it.
#pragma once

#include <cstdint>
#include <string>

namespace sentrel {

struct ServiceVerdict {
    std::int32_t result = 0;             // whole ms (at least 1) for a success; 0 for a failure
    std::string failureText;             // empty: the usual "*ERROR* count: n"
    std::int32_t httpStatus = 0;         // HTTPS: the answer's status code; 0 without one
    std::int64_t certExpirySeconds = 0;  // HTTPS: the chain's earliest end, Unix time; 0 unknown
};

// A failure with a cause of its own: "*ERROR* " and the cause.
inline ServiceVerdict FailedBecause(const std::string& cause) {
    return {0, "*ERROR* " + cause, 0, 0};
}

}  // namespace sentrel
