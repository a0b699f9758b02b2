// What the status page shows beyond the node table: when each node entered
// the state it is in (up or down), when it was last probed, when the latest
// pass started, and its uptime over a day and a week as the history file
// counts it. A pass listener: events update a small state under a short lock,
// and a page copies it. The uptime is counted on a thread of its own after a
// pass, at most once a minute (after every pass while a node has
// no result stored yet), so a request never waits for SQLite.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/node_table.h"
#include "engine/pass_events.h"

namespace sentrel::status {

// Uptime in percent of the probes stored for the node; empty without any.
struct NodeUptime {
    std::optional<double> day;
    std::optional<double> week;
};

// One node of the page, in table order.
struct NodeView {
    int index = 0;
    NodeSlot slot;
    std::optional<bool> up;    // empty until probed since monitoring began
    std::int64_t sinceMs = 0;  // when it entered that state
    std::int64_t lastProbeMs = 0;
    NodeUptime uptime;
    bool held = false;
};

struct BoardView {
    bool monitoring = false;
    bool history = false;         // uptime is counted
    std::int64_t lastPassMs = 0;  // start of the latest pass; 0 before the first
    std::vector<NodeView> nodes;
};

class StatusBoard : public PassListener {
  public:
    // historyPath empty: no uptime is counted; nor while Keep_Days is 0.
    explicit StatusBoard(std::string historyPath);
    ~StatusBoard() override;
    StatusBoard(const StatusBoard&) = delete;
    StatusBoard& operator=(const StatusBoard&) = delete;

    void MonitoringChanged(bool on, std::int64_t timeMs) override;
    void PassStarted(std::int64_t timeMs) override;
    void ProbeDone(const ProbeEvent& event) override;
    void PassEnded(std::int64_t timeMs, double seconds) override;

    // Every configured node in table order with what the board knows of it.
    BoardView View() const;
    // Counts the uptime now and waits for it (tests and the benchmark).
    void CountUptimeNow();

  private:
    struct Seen {
        std::string identity;  // address, title and kind: a changed node starts afresh
        bool up = false;
        std::int64_t sinceMs = 0;
        std::int64_t lastProbeMs = 0;
        std::string statusText;  // of the same probe, so a page never mixes two probes
    };
    void CountLoop();
    void Count();

    const std::string historyPath_;
    mutable std::mutex mutex_;
    bool monitoring_ = false;
    std::int64_t lastPassMs_ = 0;
    std::map<int, Seen> seen_;
    std::map<std::string, NodeUptime> uptime_;  // by history key
    std::int64_t countedMs_ = 0;
    bool uncounted_ = false;  // a node had no result stored yet: count again after the next pass
    bool countWanted_ = false;
    bool stop_ = false;
    std::condition_variable wake_;
    std::thread counter_;
};

}  // namespace sentrel::status
