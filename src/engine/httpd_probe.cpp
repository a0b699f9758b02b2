// The HTTPD probe, run on the calling thread: every socket call waits against one
// deadline for the whole probe, so an unanswered probe ends by itself at the
// time-out and nothing has to be stopped from outside.
#include "engine/httpd_probe.h"

#include <cerrno>
#include <chrono>
#include <memory>

#include "config/settings.h"
#include "platform/net_names.h"
#include "platform/xsocket.h"

namespace sentrel {

namespace {

constexpr int kDefaultTimeoutSeconds = 60;
constexpr int kDefaultPort = 80;
// The time-out counts whole seconds; the probe gives up half a second after
// MAXSecs, inside the window [MAXSecs, MAXSecs + 1] that the scan pass relies on.
constexpr auto kTimeoutMargin = std::chrono::milliseconds(500);
constexpr char kRequest[] = "GET /\n";

}  // namespace

int HttpdTimeoutSeconds(const std::string& maxSecsText) {
    const int seconds = ToInt(maxSecsText);
    return seconds == 0 ? kDefaultTimeoutSeconds : seconds;
}

int HttpdPortNumber(const std::string& portText) {
    const int port = ToInt(portText);
    return port == 0 ? kDefaultPort : port;
}

std::int32_t HttpdProbe(const std::string& ipText, const std::string& port,
                        const std::string& maxSecsText) {
    const auto start = SteadyClock::now();
    const int timeoutSeconds = HttpdTimeoutSeconds(maxSecsText);
    if (timeoutSeconds < 0 || ipText.empty() || port.empty()) {
        return 0;
    }
    const int portNumber = HttpdPortNumber(port);
    if (portNumber < 1 || portNumber > 65535) {
        return 0;  // not a TCP port: never probe some other port by truncation
    }
    // A dotted IPv4 text, or an IPv6 literal (a zone may follow '%').
    IpAddress target;
    if (!ParseIpAddress(ipText, &target)) {
        return 0;
    }
    const Deadline deadline = start + std::chrono::seconds(timeoutSeconds) + kTimeoutMargin;

    xSocket socket;
    if (!socket.Create(target.family) ||
        !socket.Connect(target, static_cast<std::uint16_t>(portNumber), deadline) ||
        !socket.SendAll(kRequest, sizeof kRequest - 1, deadline)) {
        return 0;
    }
    // Only the size of the first read counts; its content is not looked at.
    const auto buffer = std::make_unique_for_overwrite<char[]>(kHttpdReceiveSize);
    const ssize_t got = socket.Receive(buffer.get(), kHttpdReceiveSize, deadline);
    if (got < 0) {
        return socket.LastError() == ETIMEDOUT ? 0 : -1;
    }
    return static_cast<std::int32_t>(got);
}

}  // namespace sentrel
