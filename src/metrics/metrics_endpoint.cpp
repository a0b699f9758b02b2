#include "metrics/metrics_endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <CivetServer.h>
#include <civetweb.h>
#include <prometheus/exposer.h>

#include <cstring>
#include <exception>
#include <vector>

#include "config/settings.h"
#include "metrics/metrics_listener.h"

namespace sentrel {

namespace {

// Bounds of the server: a request must arrive whole, headers within 8 KiB, in
// two seconds; a few workers, so a slow client holds up at most one of them.
constexpr const char* kRequestTimeoutMs = "2000";
constexpr const char* kMaxRequestBytes = "8192";
constexpr const char* kWorkers = "4";
constexpr const char* kMetricsPath = "/metrics";

// civetweb hands a request to the handler whose path is a prefix of the
// request's, so /metricsfoo and /metrics/x would be served too. Every request
// passes here first: anything but exactly /metrics (a query may follow) ends
// with 404 before a handler is looked up.
int OnlyMetricsPath(mg_connection* conn) {
    const mg_request_info* request = mg_get_request_info(conn);
    if (request != nullptr && request->local_uri_raw != nullptr &&
        std::strcmp(request->local_uri_raw, kMetricsPath) == 0) {
        return 0;
    }
    mg_send_http_error(conn, 404, "%s", "Not Found");
    return 404;
}

bool ValidPort(const std::string& text) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const int port = std::stoi(text);
    return port >= 1 && port <= 65535;
}

}  // namespace

std::string ListenAddress(const std::string& listen, std::string* error) {
    std::string host;
    std::string port = listen;
    const std::size_t colon = listen.rfind(':');
    if (colon != std::string::npos) {
        host = listen.substr(0, colon);
        port = listen.substr(colon + 1);
    }
    if (!ValidPort(port)) {
        *error = "no valid port in Listen=" + listen;
        return {};
    }
    if (host.empty()) {
        return "127.0.0.1:" + port;
    }
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) == 1) {
        return host + ":" + port;
    }
    // Debian's civetweb is built without IPv6, so only IPv4 addresses can be served.
    *error = "Listen=" + listen + " is not an IPv4 address and port";
    return {};
}

std::unique_ptr<MetricsEndpoint> MetricsEndpoint::Start(std::string* message) {
    message->clear();
    const std::string listen = CurrentSettings().Metrics_Listen;
    if (listen.empty()) {
        return nullptr;
    }
    const std::string address = ListenAddress(listen, message);
    if (address.empty()) {
        *message = "metrics off: " + *message;
        return nullptr;
    }
    std::unique_ptr<MetricsEndpoint> endpoint(new MetricsEndpoint);
    endpoint->listener_ = std::make_shared<MetricsListener>();
    static const CivetCallbacks callbacks = [] {
        CivetCallbacks c;
        c.begin_request = OnlyMetricsPath;
        return c;
    }();
    try {
        endpoint->exposer_ = std::make_unique<prometheus::Exposer>(
            std::vector<std::string>{"listening_ports", address, "num_threads", kWorkers,
                                     "request_timeout_ms", kRequestTimeoutMs, "max_request_size",
                                     kMaxRequestBytes, "enable_keep_alive", "no"},
            &callbacks);
    } catch (const std::exception& e) {
        *message = "metrics off: cannot serve on " + address + ": " + e.what();
        return nullptr;
    }
    endpoint->exposer_->RegisterCollectable(endpoint->listener_, kMetricsPath);
    AddPassListener(endpoint->listener_);
    *message = "metrics: serving http://" + address + "/metrics";
    return endpoint;
}

MetricsEndpoint::~MetricsEndpoint() {
    RemovePassListener(listener_);
    exposer_.reset();
}

}  // namespace sentrel
