#include "engine/pass_host.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace sentrel {

void PassHost::Add(std::shared_ptr<PassListener> listener) {
    std::lock_guard lock(mutex_);
    listeners_.push_back(std::move(listener));
}

void PassHost::Remove(const std::shared_ptr<PassListener>& listener) {
    std::lock_guard lock(mutex_);
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
}

void PassHost::SetAlarms(bool on) {
    std::lock_guard lock(mutex_);
    alarms_ = on;
}

bool PassHost::Alarms() const {
    std::lock_guard lock(mutex_);
    return alarms_;
}

std::string PassHost::LastFailure() const {
    std::lock_guard lock(mutex_);
    return failure_;
}

void PassHost::SetLastFailure(std::string text) {
    std::lock_guard lock(mutex_);
    failure_ = std::move(text);
}

// The walk goes over a copy taken under the lock, so a listener may be removed
// while an event is being delivered to it.
template <typename Call>
void PassHost::ForEach(Call call) {
    Listeners listeners;
    {
        std::lock_guard lock(mutex_);
        listeners = listeners_;
    }
    std::exception_ptr first;
    for (const auto& listener : listeners) {
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

void PassHost::MonitoringChanged(bool on, std::int64_t timeMs) {
    ForEach([&](PassListener& l) { l.MonitoringChanged(on, timeMs); });
}

void PassHost::PassStarted(std::int64_t timeMs) {
    ForEach([&](PassListener& l) { l.PassStarted(timeMs); });
}

void PassHost::ProbeDone(const ProbeEvent& event) {
    ForEach([&](PassListener& l) { l.ProbeDone(event); });
}

void PassHost::PassEnded(std::int64_t timeMs, double seconds) {
    ForEach([&](PassListener& l) { l.PassEnded(timeMs, seconds); });
}

void PassHost::AlarmDone(AlarmChannel channel, bool ok) {
    ForEach([&](PassListener& l) { l.AlarmDone(channel, ok); });
}

void PassHost::NodeAlarmed(const NodeAlarmEvent& event) {
    ForEach([&](PassListener& l) { l.NodeAlarmed(event); });
}

void PassHost::NodeRecovered(const NodeAlarmEvent& event) {
    ForEach([&](PassListener& l) { l.NodeRecovered(event); });
}

void PassHost::NodeHeld(const NodeHeldEvent& event) {
    ForEach([&](PassListener& l) { l.NodeHeld(event); });
}

void PassHost::OperatorLine(const std::string& line) {
    ForEach([&](PassListener& l) { l.OperatorLine(line); });
}

}  // namespace sentrel
