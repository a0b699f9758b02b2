// A word to the service manager (systemd's notification socket, $NOTIFY_SOCKET),
// for a program run as a service. Nothing happens when it is not one.
#pragma once

#include <chrono>
#include <string>

namespace sentrel {

// Sends one notification (for example "EXTEND_TIMEOUT_USEC=71000000"); false
// when there is no notification socket or it cannot be reached.
bool NotifyServiceManager(const std::string& state);

// Asks the service manager to wait `wait` longer than now for the stop to end.
bool ExtendServiceStop(std::chrono::seconds wait);

}  // namespace sentrel
