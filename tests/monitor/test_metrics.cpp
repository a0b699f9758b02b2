// The gauges of a PING round and of an HTTPS probe in the units their names give
// (seconds), the one-pass lines' performance data, and a status board read mid-probe.
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "config/settings.h"
#include "metrics/metrics_listener.h"
#include "monitor/console_output.h"
#include "status/status_board.h"

namespace sentrel {
namespace {

ProbeEvent Https() {
    ProbeEvent event;
    event.probeType = HTTPS;
    event.result = 41;  // ms
    event.timeMs = 1'700'000'000'000;
    event.certExpirySeconds = 1'700'000'000 + 9 * 86400 + 3600;  // 9 whole days left
    event.statusText = "HTTPS: 200, 41 ms. ";
    return event;
}

TEST(Metrics, GaugesInTheUnitsOfTheirNames) {
    ProbeEvent ping;
    ping.probeType = PING;
    ping.result = 3;  // ms
    ping.echoes = {.sent = 3, .received = 3, .medianMicros = 3000, .jitterMicros = 2500};
    for (const auto& [event, name, value] :
         {std::tuple(ping, "sentrel_node_round_trip_seconds", 0.003),
          std::tuple(ping, "sentrel_node_round_trip_jitter_seconds", 0.0025),
          std::tuple(Https(), "sentrel_node_round_trip_seconds", 0.041),
          std::tuple(Https(), "sentrel_node_cert_expiry_timestamp_seconds", 1700781200.0)}) {
        MetricsListener metrics;
        metrics.ProbeDone(event);
        std::map<std::string, double> gauges;
        for (const auto& family : metrics.Collect()) {
            if (family.metric.size() == 1) {
                gauges[family.name] = family.metric[0].gauge.value;
            }
        }
        EXPECT_DOUBLE_EQ(gauges[name], value) << name;
    }
}

TEST(OncePerfData, TimeAndForHttpsTheDaysItsCertificatesHaveLeft) {
    ProbeEvent tcp = Https(), failed = Https();
    tcp.probeType = TCP, tcp.statusText = "TCP: 41 ms. ";
    failed.result = 0, failed.statusText = "*ERROR* HTTP 503.";
    const PassHost host;
    monitor::ProbeLines lines(host);
    ::testing::internal::CaptureStdout();
    for (const ProbeEvent& event : {Https(), tcp, failed})
        lines.ProbeDone(event);
    lines.PassEnded(0, 0);
    const std::string row(41, ' ');
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              row + "HTTPS: 200, 41 ms. | time=41ms;;;0 cert_days=9;;;\n" + row +
                  "TCP: 41 ms. | time=41ms;;;0\n" + row +
                  "*ERROR* HTTP 503. | time=U;;;0 cert_days=9;;;\n");
}

TEST(StatusBoard, ANodesStateAndStatusComeFromOneProbe) {
    NodeSlot slot;  // the table still holds the probe before the board's event
    slot.node.address = "127.0.0.1", slot.status.statusText = "HTTP: 9 bytes. ";
    NodeTable::Instance().Set(0, slot);
    ProbeEvent e = Https();
    e.address = "127.0.0.1", e.probeType = HTTPD, e.result = 0, e.statusText = "*ERROR* count: 1 ";
    status::StatusBoard board("");
    board.ProbeDone(e);
    const status::NodeView n = board.View().nodes.at(0);
    EXPECT_EQ(std::pair(n.up.value(), n.slot.status.statusText), std::pair(false, e.statusText));
}

}  // namespace
}  // namespace sentrel
