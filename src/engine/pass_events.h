// What a pass tells those who keep or publish its results (history, metrics),
// through one small interface; the pass host (engine/pass_host.h) hands each
// event to its listeners. Listeners are called on the scan thread (and on the
// user-interface thread for monitoring on/off, on the webhook's thread for its
// outcomes); they must return at once: a listener hands the event on and never
// blocks the pass.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "alerts/alarm_dispatch.h"
#include "engine/echo_round.h"

namespace sentrel {

// Milliseconds since the epoch, UTC.
std::int64_t NowUtcMs();

struct ProbeEvent {
    std::int64_t timeMs = 0;  // when the probe ended
    int index = 0;            // slot in the node table
    std::string address;
    std::string port;  // "80" filled in for HTTPD; as configured for the others
    std::string title;
    std::int32_t probeType = 0;  // as stored; ProbeKind (config/settings.h) tells the kind
    std::int32_t result = 0;     // bytes (HTTPD) or ms (the others); 0 or less is a failure
    std::int32_t failCount = 0;  // consecutive failures after this probe
    std::string statusText;      // as the list shows it
    double probeSeconds = 0;     // time the probe took
    // The PING probe's echoes (one, or a round of Echoes); all 0 for HTTPD. The
    // figures are kept for a round that failed a threshold too.
    EchoFigures echoes{};
    std::int32_t httpStatus = 0;         // HTTPS: the answer's status code, 0 without one
    std::int64_t certExpirySeconds = 0;  // HTTPS: the chain's earliest end (Unix time), 0 unknown
};

// A node whose run of failures raised an alarm in this pass: once per alarm.
// Also the node when it answers again after such a run (NodeRecovered); then
// statusText is its success text and timeMs - failingSinceMs the outage's length.
struct NodeAlarmEvent {
    std::int64_t timeMs = 0;
    int index = 0;  // slot in the node table
    std::string address;
    std::string title;
    std::string statusText;
    std::int32_t failCount = 0;       // consecutive failures (at the alarm)
    std::int32_t alarmCount = 0;      // alarms of this run, this one included
    std::int64_t failingSinceMs = 0;  // the run's first failure, ms since the epoch
};

// A node whose alarms the pass held (after every probe of the pass, before its
// end): behind a parent that is down, or in maintenance. Once per held node and pass.
struct NodeHeldEvent {
    std::int64_t timeMs = 0;
    int index = 0;  // slot in the node table
    std::string address;
    std::string port;  // as in the pass's ProbeEvent for the node
    std::string title;
    std::int32_t probeType = 0;
    HoldReason reason = HoldReason::None;
    std::string parent;      // the parent's address when held by it
    bool failing = false;    // the node's latest result is a failure
    bool alarmHeld = false;  // an alarm was due and was held back
};

class PassListener {
  public:
    virtual ~PassListener() = default;
    // Monitoring switched on or off (RUN, STOP, close, setup changes, start-up).
    virtual void MonitoringChanged(bool on, std::int64_t timeMs) {}
    virtual void PassStarted(std::int64_t timeMs) {}
    virtual void ProbeDone(const ProbeEvent& event) {}
    virtual void PassEnded(std::int64_t timeMs, double seconds) {}
    virtual void AlarmDone(AlarmChannel channel, bool ok) {}
    virtual void NodeAlarmed(const NodeAlarmEvent& event) {}
    virtual void NodeRecovered(const NodeAlarmEvent& event) {}
    virtual void NodeHeld(const NodeHeldEvent& event) {}
    // A line for the operator from inside the pass (a node not probed, a mail not
    // sent): no name in front, no line break.
    virtual void OperatorLine(const std::string& line) {}
};

}  // namespace sentrel
