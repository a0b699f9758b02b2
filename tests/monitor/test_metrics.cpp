// The gauges of a PING round and of an HTTPS probe in the units their names give
// (seconds), and the performance data of the one-pass lines of the service kinds.
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "config/settings.h"
#include "metrics/metrics_listener.h"
#include "monitor/console_output.h"

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

}  // namespace
}  // namespace sentrel
