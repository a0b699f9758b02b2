// One scrape of /metrics with 100 nodes, side by side with reading the node
// table alone: the server's work per scrape (snapshot of the metrics state,
// families, text format), median of 100 scrapes each. Goal: 2 ms or less.
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "config/node_table.h"
#include "metrics/metrics_listener.h"

namespace {

constexpr int kNodes = 100;
constexpr int kRounds = 100;

double MedianMicros(const std::function<std::size_t()>& work) {
    std::vector<double> times;
    std::size_t sink = 0;
    for (int i = 0; i < kRounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        sink += work();
        times.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(times.begin(), times.end());
    if (sink == 0) {
        std::puts("nothing was produced");
    }
    return times[times.size() / 2];
}

}  // namespace

int main() {
    using namespace sentrel;
    MetricsListener listener;
    listener.MonitoringChanged(true, NowUtcMs());
    listener.PassStarted(NowUtcMs());
    NodeTable& table = NodeTable::Instance();
    for (int i = 0; i < kNodes; ++i) {
        NodeEntry node{"10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250), "8080",
                       "node number " + std::to_string(i), i % 2 == 0 ? HTTPD : PING};
        table.SetNode(i, node);
        const NodeStatus status = table.ApplyProbeResult(i, i % 7 == 0 ? 0 : 100 + i);
        ProbeEvent event{NowUtcMs(),
                         i,
                         node.address,
                         node.port,
                         node.title,
                         node.probeType,
                         i % 7 == 0 ? 0 : 100 + i,
                         status.failCount,
                         status.statusText,
                         0.01};
        listener.ProbeDone(event);
    }
    listener.PassEnded(NowUtcMs(), 1.5);

    std::size_t bytes = 0;
    const double scrape = MedianMicros([&] {
        std::ostringstream out;
        prometheus::TextSerializer().Serialize(out, listener.Collect());
        bytes = out.str().size();
        return bytes;
    });
    const double table_read = MedianMicros([&] { return table.Snapshot().size(); });
    std::printf("scrape of %d nodes (%zu bytes): median %.1f us (goal <= 2000 us)\n", kNodes, bytes,
                scrape);
    std::printf("node table snapshot alone:     median %.1f us\n", table_read);
    std::printf("ratio scrape / table snapshot: %.1f\n", scrape / table_read);
    return scrape <= 2000.0 ? 0 : 1;
}
