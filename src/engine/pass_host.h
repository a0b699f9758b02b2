// What a pass is run with: who hears its events, whether its alarms go out,
// and why the latest pass ended early. The start-up owns one host for the
// program's life and alone adds and removes its listeners; the scheduler, the
// scan pass and the webhook's outcomes reach the listeners only through it.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/pass_events.h"

namespace sentrel {

// The host is itself a listener: each event goes on to every listener added,
// also to those after one that throws; the first exception is then passed on.
// Adding and removing is safe while a pass runs.
class PassHost final : public PassListener {
  public:
    PassHost() = default;
    PassHost(const PassHost&) = delete;
    PassHost& operator=(const PassHost&) = delete;

    void Add(std::shared_ptr<PassListener> listener);
    void Remove(const std::shared_ptr<PassListener>& listener);

    // The alarm policy. Off (a single check without --alarms), a pass still
    // counts failures and alarms as the rules say, but rings no sound, sends no
    // page or e-mail and launches no command. The settings are left as they are.
    void SetAlarms(bool on);
    bool Alarms() const;

    // Why the latest pass ended early: the text of the exception that ended it;
    // empty when it ended normally (or none ran). Set by the pass.
    std::string LastFailure() const;
    void SetLastFailure(std::string text);

    void MonitoringChanged(bool on, std::int64_t timeMs) override;
    void PassStarted(std::int64_t timeMs) override;
    void ProbeDone(const ProbeEvent& event) override;
    void PassEnded(std::int64_t timeMs, double seconds) override;
    void AlarmDone(AlarmChannel channel, bool ok) override;
    void NodeAlarmed(const NodeAlarmEvent& event) override;
    void NodeRecovered(const NodeAlarmEvent& event) override;
    void NodeHeld(const NodeHeldEvent& event) override;
    void OperatorLine(const std::string& line) override;

  private:
    using Listeners = std::vector<std::shared_ptr<PassListener>>;
    template <typename Call>
    void ForEach(Call call);

    mutable std::mutex mutex_;
    Listeners listeners_;  // under mutex_
    bool alarms_ = true;   // under mutex_
    std::string failure_;  // under mutex_
};

}  // namespace sentrel
