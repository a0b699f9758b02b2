// Runs on the calling thread with its own deadline and no shared state, so any
// number of them may run at once.
#include "engine/tcp_probe.h"

#include <chrono>

#include "config/settings.h"
#include "engine/echo_round.h"
#include "engine/httpd_probe.h"
#include "platform/ip_address.h"
#include "platform/xsocket.h"

namespace sentrel {

int ServicePortNumber(const std::string& portText, int fallback) {
    if (portText.find_first_not_of(" \t") == std::string::npos) {
        return fallback;
    }
    const int port = ToInt(portText);
    return port >= 1 && port <= 65535 ? port : 0;
}

ServiceVerdict TcpProbe(const std::string& ipText, const std::string& portText,
                        const std::string& maxSecsText) {
    const auto start = SteadyClock::now();
    const int port = ServicePortNumber(portText, 0);
    if (port == 0) {
        return {0, kMsgNoPort, 0, 0};
    }
    const int seconds = HttpdTimeoutSeconds(maxSecsText);
    IpAddress target;
    if (seconds < 0 || !ParseIpAddress(ipText, &target)) {
        return {};
    }
    xSocket socket;
    if (!socket.Create(target.family) || !socket.Connect(target, static_cast<std::uint16_t>(port),
                                                         start + std::chrono::seconds(seconds))) {
        return {};
    }
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - start);
    return {WholeMs(micros.count()), {}, 0, 0};
}

}  // namespace sentrel
