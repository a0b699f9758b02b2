// /metrics over HTTP for Prometheus, switched on by the hand-edited key Listen
// in section [Metrics] of tarn.ini (never written by the program). Served by
// libmicrohttpd on either address family with bounds on request size, time,
// connections and workers; only GET /metrics answers, every other path gives
// 404. The body is prometheus-cpp's text format.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/ip_address.h"

struct MHD_Daemon;

namespace sentrel {

class MetricsListener;

struct ListenTarget {
    IpAddress address;
    std::uint16_t port = 0;
    std::string text;  // "address:port" as shown, "[address]:port" for IPv6
};

// The listening address for a Listen value: "address:port" (IPv4, numeric),
// "[address]:port" (IPv6; "[::]" takes IPv4 too where the system allows), or a
// port alone (":port" too), which binds the loopback address 127.0.0.1. A
// wildcard or other non-loopback address is served only when written out.
// Empty on a value that is not such an address (the reason in *error).
std::optional<ListenTarget> ListenAddress(const std::string& listen, std::string* error);

class MetricsEndpoint {
  public:
    // Takes Listen from the settings in use and, when set, serves the metrics
    // that `listener` keeps (a pass listener for the whole run, so an endpoint
    // a reload starts serves what is known already). Null when off; null with
    // *message set when the value is bad or the address cannot be bound. On
    // success *message says where it serves.
    static std::unique_ptr<MetricsEndpoint> Start(std::shared_ptr<MetricsListener> listener,
                                                  std::string* message);
    ~MetricsEndpoint();

    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  private:
    MetricsEndpoint() = default;

    std::shared_ptr<MetricsListener> listener_;
    MHD_Daemon* daemon_ = nullptr;
};

}  // namespace sentrel
