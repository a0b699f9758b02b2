// The metrics of the passes, kept from the pass events and handed out as
// Prometheus metric families. Events update a small state under a short lock;
// a scrape copies that state under the same lock and builds its answer from the
// copy, so it sees one consistent moment and never holds a pass up for longer
// than the copy takes.
#pragma once

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "engine/pass_events.h"

namespace sentrel {

class MetricsListener : public PassListener, public prometheus::Collectable {
  public:
    // PassListener
    void MonitoringChanged(bool on, std::int64_t timeMs) override;
    void PassStarted(std::int64_t timeMs) override;
    void ProbeDone(const ProbeEvent& event) override;
    void PassEnded(std::int64_t timeMs, double seconds) override;
    void AlarmDone(AlarmChannel channel, bool ok) override;
    void NodeHeld(const NodeHeldEvent& event) override;

    // prometheus::Collectable: the families of one consistent snapshot.
    std::vector<prometheus::MetricFamily> Collect() const override;

  private:
    // A node is known by its slot in the node table (its number in tarn.ini)
    // and its labels: address, port, type, title. The slot keeps two equal
    // entries apart; the labels start a new series when a slot's node changes.
    using NodeKey = std::tuple<int, std::string, std::string, std::string, std::string>;
    static NodeKey KeyOf(int index, const std::string& address, const std::string& port,
                         std::int32_t probeType, const std::string& title);
    struct NodeState {
        bool up = false;
        bool ping = false;  // timed in ms: every kind but HTTPD
        double value =
            0;  // round-trip seconds (timed kinds) or bytes (HTTPD) of the latest success
        bool hasValue = false;
        // PING: the latest round's loss (0..1) and jitter, and echoes ever sent
        // and answered. The round-trip value is the round's median in whole ms.
        double lossRatio = 0;
        double jitterSeconds = 0;
        std::uint64_t echoesSent = 0;
        std::uint64_t echoesReceived = 0;
        std::int32_t failures = 0;
        std::uint64_t successes = 0;
        std::uint64_t failed = 0;
        std::uint64_t pass = 0;        // the pass that probed it last
        double certExpirySeconds = 0;  // HTTPS: the chain's earliest end as last seen; 0 unknown
        HoldReason held = HoldReason::None;  // as the latest whole pass decided
        std::uint64_t heldPass = 0;          // the pass that last held it
    };
    struct State {
        bool monitoring = false;
        double passStartSeconds = 0;
        double passSeconds = 0;
        std::uint64_t pass = 0;
        std::map<NodeKey, NodeState> nodes;
        std::map<std::pair<AlarmChannel, bool>, std::uint64_t> alarms;
        std::uint64_t alarmsHeld = 0;
    };

    mutable std::mutex mutex_;
    State state_;
};

}  // namespace sentrel
