// The metrics of a PING round in the units their names give: seconds.
#include <gtest/gtest.h>

#include <map>

#include "metrics/metrics_listener.h"

namespace sentrel {
namespace {

TEST(Metrics, RoundTripAndJitterGaugesInSeconds) {
    MetricsListener metrics;
    ProbeEvent event;
    event.probeType = PING;
    event.result = 3;  // ms
    event.echoes = {.sent = 3, .received = 3, .medianMicros = 3000, .jitterMicros = 2500};
    metrics.ProbeDone(event);
    std::map<std::string, double> gauges;
    for (const auto& family : metrics.Collect()) {
        if (family.metric.size() == 1) {
            gauges[family.name] = family.metric[0].gauge.value;
        }
    }
    EXPECT_DOUBLE_EQ(gauges["sentrel_node_round_trip_seconds"], 0.003);
    EXPECT_DOUBLE_EQ(gauges["sentrel_node_round_trip_jitter_seconds"], 0.0025);
}

}  // namespace
}  // namespace sentrel
