#include "engine/pass_events.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <mutex>
#include <vector>

namespace sentrel {

namespace {

using Listeners = std::vector<std::shared_ptr<PassListener>>;

std::mutex& ListenerMutex() {
    static std::mutex mutex;
    return mutex;
}

Listeners& ListenerList() {
    static Listeners list;
    return list;
}

// A copy taken under the lock, so a listener may be removed while an event is
// being delivered to it without invalidating the walk.
Listeners CurrentListeners() {
    std::lock_guard lock(ListenerMutex());
    return ListenerList();
}

// Every listener hears of the event even when one before it throws; the first
// exception is passed on to the caller afterwards.
template <typename Call>
void ForEach(Call call) {
    std::exception_ptr first;
    for (const auto& listener : CurrentListeners()) {
        try {
            call(*listener);
        } catch (...) {
            if (!first) {
                first = std::current_exception();
            }
        }
    }
    if (first) {
        std::rethrow_exception(first);
    }
}

}  // namespace

std::int64_t NowUtcMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void AddPassListener(std::shared_ptr<PassListener> listener) {
    std::lock_guard lock(ListenerMutex());
    ListenerList().push_back(std::move(listener));
}

void RemovePassListener(const std::shared_ptr<PassListener>& listener) {
    std::lock_guard lock(ListenerMutex());
    auto& list = ListenerList();
    list.erase(std::remove(list.begin(), list.end(), listener), list.end());
}

void NotifyMonitoringChanged(bool on) {
    const std::int64_t now = NowUtcMs();
    ForEach([&](PassListener& l) { l.MonitoringChanged(on, now); });
}

void NotifyPassStarted(std::int64_t timeMs) {
    ForEach([&](PassListener& l) { l.PassStarted(timeMs); });
}

void NotifyProbeDone(const ProbeEvent& event) {
    ForEach([&](PassListener& l) { l.ProbeDone(event); });
}

void NotifyPassEnded(std::int64_t timeMs, double seconds) {
    ForEach([&](PassListener& l) { l.PassEnded(timeMs, seconds); });
}

void NotifyAlarmDone(AlarmChannel channel, bool ok) {
    ForEach([&](PassListener& l) { l.AlarmDone(channel, ok); });
}

void NotifyNodeAlarmed(const NodeAlarmEvent& event) {
    ForEach([&](PassListener& l) { l.NodeAlarmed(event); });
}

void NotifyNodeRecovered(const NodeAlarmEvent& event) {
    ForEach([&](PassListener& l) { l.NodeRecovered(event); });
}

void NotifyNodeHeld(const NodeHeldEvent& event) {
    ForEach([&](PassListener& l) { l.NodeHeld(event); });
}

void NotifyOperatorLine(const std::string& line) {
    ForEach([&](PassListener& l) { l.OperatorLine(line); });
}

}  // namespace sentrel
