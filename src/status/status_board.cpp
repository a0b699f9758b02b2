#include "status/status_board.h"

#include <filesystem>
#include <utility>

#include "history/history_store.h"
#include "history/history_types.h"

namespace sentrel::status {

namespace {

constexpr std::int64_t kDayMs = 24LL * 3600 * 1000;
constexpr std::int64_t kCountEveryMs = 60 * 1000;

std::string Identity(const std::string& address, const std::string& title, std::int32_t type) {
    return address + '\n' + title + '\n' + std::to_string(type);
}

std::string HistoryKeyText(const NodeEntry& node) {
    const history::NodeKey key = history::MakeNodeKey(node.address, node.port, node.probeType);
    return key.address + '\n' + key.port + '\n' + std::to_string(key.probeType);
}

std::optional<double> Percent(std::pair<std::int64_t, std::int64_t> counts) {
    if (counts.first <= 0) {
        return std::nullopt;
    }
    return 100.0 * static_cast<double>(counts.second) / static_cast<double>(counts.first);
}

// The configured nodes: table order up to the first empty address.
std::vector<std::pair<int, NodeSlot>> ConfiguredNodes() {
    const auto slots = NodeTable::Instance().Snapshot();
    std::vector<std::pair<int, NodeSlot>> nodes;
    for (int i = 0; i < kMaxNodes && !slots[i].node.address.empty(); ++i) {
        nodes.emplace_back(i, slots[i]);
    }
    return nodes;
}

}  // namespace

StatusBoard::StatusBoard(std::string historyPath) : historyPath_(std::move(historyPath)) {
    if (!historyPath_.empty()) {
        counter_ = std::thread(&StatusBoard::CountLoop, this);
    }
}

StatusBoard::~StatusBoard() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (counter_.joinable()) {
        counter_.join();
    }
}

void StatusBoard::MonitoringChanged(bool on, std::int64_t) {
    std::lock_guard lock(mutex_);
    monitoring_ = on;
    if (!on) {
        seen_.clear();  // STOP sets every status to unknown
    }
}

void StatusBoard::PassStarted(std::int64_t timeMs) {
    std::lock_guard lock(mutex_);
    lastPassMs_ = timeMs;
}

void StatusBoard::ProbeDone(const ProbeEvent& event) {
    const std::string identity = Identity(event.address, event.title, event.probeType);
    const bool up = event.result > 0;
    std::lock_guard lock(mutex_);
    Seen& seen = seen_[event.index];
    if (seen.identity != identity || seen.sinceMs == 0 || seen.up != up) {
        seen.identity = identity;
        seen.up = up;
        seen.sinceMs = event.timeMs;
    }
    seen.lastProbeMs = event.timeMs;
    seen.statusText = event.statusText;
}

void StatusBoard::PassEnded(std::int64_t timeMs, double) {
    {
        std::lock_guard lock(mutex_);
        if (timeMs - countedMs_ < kCountEveryMs && !uncounted_) {
            return;
        }
        countWanted_ = true;
    }
    wake_.notify_all();
}

BoardView StatusBoard::View() const {
    BoardView view;
    view.history = !historyPath_.empty() && CurrentSettings().Keep_Days > 0;
    auto configured = ConfiguredNodes();
    std::lock_guard lock(mutex_);
    view.monitoring = monitoring_;
    view.lastPassMs = lastPassMs_;
    for (auto& [index, slot] : configured) {
        NodeView node;
        node.index = index;
        node.held = slot.status.held != HoldReason::None;
        const auto seen = seen_.find(index);
        if (seen != seen_.end() &&
            seen->second.identity ==
                Identity(slot.node.address, slot.node.title, slot.node.probeType) &&
            slot.status.statusText != kUnknownStatus) {
            node.up = seen->second.up;
            node.sinceMs = seen->second.sinceMs;
            node.lastProbeMs = seen->second.lastProbeMs;
            // The table was read before the board: a probe may have ended in between.
            slot.status.statusText = seen->second.statusText;
        }
        if (const auto uptime = uptime_.find(HistoryKeyText(slot.node)); uptime != uptime_.end()) {
            node.uptime = uptime->second;
        }
        node.slot = std::move(slot);
        view.nodes.push_back(std::move(node));
    }
    return view;
}

void StatusBoard::CountUptimeNow() {
    if (!historyPath_.empty()) {
        Count();
    }
}

void StatusBoard::CountLoop() {
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stop_ || countWanted_; });
        if (stop_) {
            return;
        }
        countWanted_ = false;
        lock.unlock();
        Count();
        lock.lock();
    }
}

// Reads the file as another program would: a file not there yet, or of a
// schema not yet written, gives no uptime.
void StatusBoard::Count() {
    const std::int64_t now = NowUtcMs();
    std::map<std::string, NodeUptime> counted;
    bool whole = false;  // every node has results stored
    std::error_code ec;
    history::HistoryStore store;
    if (CurrentSettings().Keep_Days <= 0) {
        whole = true;  // nothing to count
    } else if (std::filesystem::exists(historyPath_, ec) &&
               store.OpenForReading(historyPath_) == 0) {
        whole = true;
        for (const auto& [index, slot] : ConfiguredNodes()) {
            const history::NodeKey key =
                history::MakeNodeKey(slot.node.address, slot.node.port, slot.node.probeType);
            const NodeUptime uptime{Percent(store.CountAnswered(key, now - kDayMs, now + 1)),
                                    Percent(store.CountAnswered(key, now - 7 * kDayMs, now + 1))};
            whole = whole && uptime.day.has_value();
            counted[HistoryKeyText(slot.node)] = uptime;
        }
    }
    std::lock_guard lock(mutex_);
    uncounted_ = !whole;
    uptime_ = std::move(counted);
    countedMs_ = now;
}

}  // namespace sentrel::status
