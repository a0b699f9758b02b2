// /metrics over HTTP for Prometheus, switched on by the hand-edited key Listen
// in section [Metrics] of tarn.ini (never written by the program). Served by
// libmicrohttpd on either address family with bounds on request size, time,
// connections and workers; only GET /metrics answers, every other path gives
// 404. The body is prometheus-cpp's text format. Other read-only pages (the
// status page) are served beside it through a PageSource given at start.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// A page served beside /metrics: its body, content type and further headers.
struct ServedPage {
    std::string contentType;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};
// The page for a path (without its query), or nothing for a path it does not
// serve. Called on the server's workers: it must only read, and return soon.
using PageSource = std::function<std::optional<ServedPage>(const std::string& path)>;

class MetricsEndpoint {
  public:
    // Takes Listen from the settings in use and, when set, serves the metrics
    // that `listener` keeps (a pass listener for the whole run, so an endpoint
    // a reload starts serves what is known already). Null when off; null with
    // *message set when the value is bad or the address cannot be bound. On
    // success *message says where it serves. `pages`, when given, answers GET
    // for the paths it knows.
    static std::unique_ptr<MetricsEndpoint> Start(std::shared_ptr<MetricsListener> listener,
                                                  std::string* message, PageSource pages = {});
    ~MetricsEndpoint();

    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  private:
    MetricsEndpoint() = default;

    friend struct EndpointAnswer;

    std::shared_ptr<MetricsListener> listener_;
    PageSource pages_;
    MHD_Daemon* daemon_ = nullptr;
};

}  // namespace sentrel
