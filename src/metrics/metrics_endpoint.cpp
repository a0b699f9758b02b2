#include "metrics/metrics_endpoint.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <prometheus/text_serializer.h>

#include <cerrno>
#include <cstring>

#include "config/settings.h"
#include "metrics/metrics_listener.h"

namespace sentrel {

namespace {

// Bounds of the server. A connection silent for two seconds is closed, so a
// slow client cannot hold one for long; a request must fit, headers and all, in
// the 8 KiB a connection may use. The workers poll their connections without
// blocking, so a slow client holds up none of them, and the connections they
// take on at once are limited.
constexpr unsigned kConnectionTimeoutSeconds = 2;
constexpr std::size_t kMaxRequestBytes = 8192;
constexpr unsigned kWorkers = 2;
constexpr unsigned kMaxConnections = 64;
constexpr char kMetricsPath[] = "/metrics";
constexpr char kTextFormat[] = "text/plain; version=0.0.4; charset=utf-8";

bool ValidPort(const std::string& text) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const int port = std::stoi(text);
    return port >= 1 && port <= 65535;
}

// The path is matched as it came, so no escape (%73 for 's') reaches /metrics.
size_t KeepEscapes(void*, MHD_Connection*, char* text) {
    return std::strlen(text);
}

// Every answer closes its connection: one request per connection.
MHD_Result Reply(MHD_Connection* connection, unsigned status, const std::string& body,
                 const ServedPage* page = nullptr) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                            page != nullptr ? page->contentType.c_str()
                                            : (status == MHD_HTTP_OK ? kTextFormat : "text/plain"));
    if (page != nullptr) {
        for (const auto& [name, value] : page->headers) {
            MHD_add_response_header(response, name.c_str(), value.c_str());
        }
    }
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, MHD_HTTP_METHOD_GET);
    }
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

}  // namespace

// The path without its query: exactly /metrics or a path of the page source, or
// 404; then GET only. Answered at the first call, before any body is read,
// with the connection closed after.
struct EndpointAnswer {
    static MHD_Result Answer(void* served, MHD_Connection* connection, const char* url,
                             const char* method, const char*, const char*, size_t*, void**) {
        const auto* endpoint = static_cast<const MetricsEndpoint*>(served);
        const bool metrics = std::strcmp(url, kMetricsPath) == 0;
        const std::optional<ServedPage> page =
            metrics || !endpoint->pages_ ? std::nullopt : endpoint->pages_(url);
        if (!metrics && !page) {
            return Reply(connection, MHD_HTTP_NOT_FOUND, "Not Found\n");
        }
        if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0) {
            return Reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Method Not Allowed\n");
        }
        if (page) {
            return Reply(connection, MHD_HTTP_OK, page->body, &*page);
        }
        return Reply(connection, MHD_HTTP_OK,
                     prometheus::TextSerializer().Serialize(endpoint->listener_->Collect()));
    }
};

std::optional<ListenTarget> ListenAddress(const std::string& listen, std::string* error) {
    std::string host;
    std::string port = listen;
    const std::size_t colon = listen.rfind(':');
    if (colon != std::string::npos) {
        host = listen.substr(0, colon);
        port = listen.substr(colon + 1);
    }
    if (!ValidPort(port)) {
        *error = "no valid port in Listen=" + listen;
        return std::nullopt;
    }
    ListenTarget target;
    target.port = static_cast<std::uint16_t>(std::stoi(port));
    if (host.empty()) {
        host = "127.0.0.1";
    }
    if (host.front() == '[') {
        const std::string inner =
            host.size() > 2 && host.back() == ']' ? host.substr(1, host.size() - 2) : "";
        if (!LooksLikeIPv6(inner) || !ParseIpAddress(inner, &target.address)) {
            *error = "Listen=" + listen + " is not an [IPv6 address]:port";
            return std::nullopt;
        }
        target.text = "[" + inner + "]:" + port;
        return target;
    }
    if (inet_pton(AF_INET, host.c_str(), &target.address.v4) != 1) {
        *error = "Listen=" + listen + " is not an IPv4 address and port";
        return std::nullopt;
    }
    target.address.family = AF_INET;
    target.text = host + ":" + port;
    return target;
}

std::unique_ptr<MetricsEndpoint> MetricsEndpoint::Start(std::shared_ptr<MetricsListener> listener,
                                                        std::string* message, PageSource pages) {
    message->clear();
    const std::string listen = CurrentSettings().Metrics_Listen;
    if (listen.empty()) {
        return nullptr;
    }
    const std::optional<ListenTarget> target = ListenAddress(listen, message);
    if (!target) {
        *message = "metrics off: " + *message;
        return nullptr;
    }
    sockaddr_storage address{};
    ToSocketAddress(target->address, target->port, &address);
    // An IPv6 socket is opened with IPV6_V6ONLY off, so "[::]" answers IPv4 too.
    unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD;
    if (target->address.family == AF_INET6) {
        flags |= MHD_USE_DUAL_STACK;
    }
    std::unique_ptr<MetricsEndpoint> endpoint(new MetricsEndpoint);
    endpoint->listener_ = std::move(listener);
    endpoint->pages_ = std::move(pages);
    errno = 0;
    endpoint->daemon_ = MHD_start_daemon(
        flags, target->port, nullptr, nullptr, &EndpointAnswer::Answer, endpoint.get(),
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&address), MHD_OPTION_THREAD_POOL_SIZE,
        kWorkers, MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, MHD_OPTION_CONNECTION_TIMEOUT,
        kConnectionTimeoutSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, kMaxRequestBytes,
        MHD_OPTION_UNESCAPE_CALLBACK, &KeepEscapes, nullptr, MHD_OPTION_END);
    if (endpoint->daemon_ == nullptr) {
        const int error = errno;
        *message = "metrics off: cannot serve on " + target->text + ": " +
                   (error != 0 ? std::strerror(error) : "the server did not start");
        return nullptr;
    }
    *message = "metrics: serving http://" + target->text + "/metrics";
    return endpoint;
}

MetricsEndpoint::~MetricsEndpoint() {
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_);
    }
}

}  // namespace sentrel
