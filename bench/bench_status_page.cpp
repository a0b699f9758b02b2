// The status page against /metrics, side by side over HTTP on loopback, with
// 100 nodes and a history file of a week of results every minute for each
// (about a million rows): the median time of one whole request of each, and
// the time the board takes to count the uptime of all nodes (on its own
// thread, after a pass, at most once a minute; never in a request).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench_host.h"
#include "config/node_table.h"
#include "history/history_store.h"
#include "metrics/metrics_endpoint.h"
#include "metrics/metrics_listener.h"
#include "status/status_board.h"
#include "status/status_page.h"

namespace {

using namespace sentrel;
constexpr int kNodes = 100;
constexpr int kRounds = 200;
constexpr std::uint16_t kPort = 19731;

double MedianMicros(const std::function<std::size_t()>& work, int rounds = kRounds) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (work() == 0) {
            std::puts("an empty answer");
        }
        times.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// One GET over a new connection; the answer's size.
std::size_t Get(const char* path) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::size_t size = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        const std::string request = std::string("GET ") + path + " HTTP/1.0\r\n\r\n";
        if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buffer[65536];
            for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
                size += static_cast<std::size_t>(n);
            }
        }
    }
    close(fd);
    return size;
}

}  // namespace

int main() {
    const std::string folder = std::filesystem::temp_directory_path() / "sentrel-bench-status";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::string path = folder + "/history.sqlite";

    MonitorSettings settings;
    settings.Secs = "60";
    settings.Keep_Days = 30;
    settings.Metrics_Listen = "127.0.0.1:" + std::to_string(kPort);
    history::HistoryStore store;
    const std::int64_t now = NowUtcMs();
    store.OpenForWriting(path, 5000);
    store.BeginSession(now - 8 * 86400000LL);
    std::vector<NodeEntry> nodes;
    for (int i = 0; i < kNodes; ++i) {
        nodes.push_back({"10.0.0." + std::to_string(i), i % 2 == 0 ? "80" : "",
                         "node <" + std::to_string(i) + ">", i % 2 == 0 ? HTTPD : PING});
        settings.NodeList[i] = nodes.back();
        NodeTable::Instance().SetNode(i, nodes.back());
    }
    for (std::int64_t t = now - 7 * 86400000LL; t < now; t += 60000) {
        std::vector<history::ProbeRecord> records;
        for (int i = 0; i < kNodes; ++i) {
            const NodeEntry& n = nodes[i];
            records.push_back({history::MakeNodeKey(n.address, n.port, n.probeType), n.title,
                               history::Sample{t, (t / 60000 + i) % 50 == 0 ? 0 : 12 + i, 0, {}}});
        }
        store.AddResults(records, t);
    }
    SetCurrentSettings(settings);

    auto board = std::make_shared<status::StatusBoard>(path);
    bench::Host().Add(board);
    auto metrics = std::make_shared<MetricsListener>();
    bench::Host().Add(metrics);
    std::string message;
    auto endpoint = MetricsEndpoint::Start(metrics, &message, [board](const std::string& p) {
        return status::ServeStatus(*board, p);
    });
    if (!endpoint) {
        std::printf("%s\n", message.c_str());
        return 1;
    }
    bench::Host().MonitoringChanged(true, NowUtcMs());
    bench::Host().PassStarted(now);
    for (int i = 0; i < kNodes; ++i) {
        const NodeStatus status = NodeTable::Instance().ApplyProbeResult(i, 20 + i);
        bench::Host().ProbeDone(ProbeEvent{now, i, nodes[i].address, nodes[i].port, nodes[i].title,
                                           nodes[i].probeType, 20 + i, status.failCount,
                                           status.statusText, 0.01});
    }
    const double count = MedianMicros(
        [&] {
            board->CountUptimeNow();
            return std::size_t{1};
        },
        5);
    std::size_t metricsBytes = 0, pageBytes = 0, jsonBytes = 0;
    // Interleaved, so a change of the machine's load falls on all three alike.
    std::vector<double> m, p, j;
    for (int round = 0; round < 5; ++round) {
        m.push_back(MedianMicros([&] { return metricsBytes = Get("/metrics"); }, kRounds / 5));
        p.push_back(MedianMicros([&] { return pageBytes = Get("/"); }, kRounds / 5));
        j.push_back(MedianMicros([&] { return jsonBytes = Get("/api/v1/status"); }, kRounds / 5));
    }
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("%d nodes, a week of results each minute in the history file\n", kNodes);
    std::printf("GET /metrics        %7zu bytes  median %8.1f us\n", metricsBytes, median(m));
    std::printf("GET /               %7zu bytes  median %8.1f us  (%.2f x /metrics)\n", pageBytes,
                median(p), median(p) / median(m));
    std::printf("GET /api/v1/status  %7zu bytes  median %8.1f us  (%.2f x /metrics)\n", jsonBytes,
                median(j), median(j) / median(m));
    std::printf(
        "uptime count of all nodes (board thread, at most once a minute): median %.0f us "
        "(%.0f x /metrics)\n",
        count, count / median(m));
    endpoint.reset();
    bench::Host().Remove(board);
    std::filesystem::remove_all(folder);
    return 0;
}
