// /metrics over HTTP for Prometheus, switched on by the hand-edited key Listen
// in section [Metrics] of tarn.ini (never written by the program). Served by
// prometheus-cpp's pull exposer (civetweb) with bounds on request size, time
// and workers; only GET /metrics answers, every other path gives 404.
#pragma once

#include <memory>
#include <string>

namespace prometheus {
class Exposer;
}

namespace sentrel {

class MetricsListener;

// The listening address for a Listen value: "address:port" (IPv4, numeric), or
// a port alone (":port" too), which binds the loopback address 127.0.0.1. A wildcard or
// other non-loopback address is served only when written out. Empty on a value
// that is not such an address (the reason in *error).
std::string ListenAddress(const std::string& listen, std::string* error);

class MetricsEndpoint {
  public:
    // Takes Listen from the settings in use and, when set, serves the metrics of
    // the passes from now on. Null when off; null with *message set when the
    // value is bad or the address cannot be bound. On success *message says
    // where it serves.
    static std::unique_ptr<MetricsEndpoint> Start(std::string* message);
    ~MetricsEndpoint();

    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  private:
    MetricsEndpoint() = default;

    std::shared_ptr<MetricsListener> listener_;
    std::unique_ptr<prometheus::Exposer> exposer_;
};

}  // namespace sentrel
