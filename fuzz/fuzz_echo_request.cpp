// The ping helper's request parser on arbitrary lines. It must accept exactly the
// canonical lines: whatever it accepts, written back in canonical form, gives the
// input again, so no sloppy variant (leading zeros, signs, odd blanks, short
// addresses) ever gets through, and every accepted field is within its bounds.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/ping_helper_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    sentrel::EchoRequest request;
    if (!sentrel::ParseEchoRequest(line, &request)) {
        return 0;
    }
    char address[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &request.node.v4, address, sizeof address);
    const unsigned first = ntohl(request.node.v4.s_addr) >> 24;
    const std::string canonical = std::string(address) + " " + std::to_string(request.id) + " " +
                                  std::to_string(request.seq) + " " +
                                  std::to_string(request.timeoutMs);
    if (canonical != line || first == 0 || first >= 224 || request.timeoutMs < 1 ||
        request.timeoutMs > sentrel::kMaxEchoTimeoutMs) {
        std::abort();
    }
    return 0;
}
