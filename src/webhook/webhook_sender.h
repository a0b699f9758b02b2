// The webhook alarm channel: a pass listener that hands each alarm and each
// recovery to one worker thread, which posts it with libcurl. The pass never
// waits: a notice that finds the queue full is dropped (counted as failed,
// with one line). Every outcome reaches the listeners as AlarmDone on channel
// webhook; every failure also writes one line on standard error that shows
// neither the token nor more of the URL than its scheme, host and port.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "engine/pass_events.h"
#include "platform/operator_voice.h"
#include "webhook/webhook_form.h"

namespace sentrel::webhook {

// One request's whole limit, connection and TLS included.
inline constexpr std::chrono::milliseconds kRequestLimit{10000};
// Notices waiting beyond this many are dropped.
inline constexpr std::size_t kQueueLimit = 64;
// The most bytes of an answer read; the rest is not read, and the status code
// alone decides.
inline constexpr std::size_t kAnswerLimit = 64 * 1024;
// Alertmanager resolves an alert that is not posted again before it ends. While
// a node keeps failing its alert is posted again (all such alerts in one
// request, when no notice waits) at most this often, each time the node failed
// a probe since, and ends four times its node's probe interval later, one
// minute at least: later than the next renewal, yet it lapses should the
// program stop watching the node.
inline constexpr std::chrono::seconds kAlertRenewal{30};
inline constexpr std::chrono::minutes kAlertHoldMin{1};

class WebhookSender : public PassListener {
  public:
    // Each notice not sent is one line said with `say`; each notice's outcome
    // goes to `outcomes` (the pass host) as AlarmDone, from the sender's thread.
    WebhookSender(OperatorVoice say, PassListener& outcomes);
    ~WebhookSender() override;
    WebhookSender(const WebhookSender&) = delete;
    WebhookSender& operator=(const WebhookSender&) = delete;

    // Notices queued from now on go where these settings say (what is queued
    // already keeps its target). Empty, or the one line refusing the keys.
    std::string Follow(const MonitorSettings& settings);

    // The queue worked off, then the worker ended: a request still running
    // after `limit` is cut off and what is left is dropped, each as a failure.
    void Finish(std::chrono::milliseconds limit);

    void ProbeDone(const ProbeEvent& event) override;
    void NodeAlarmed(const NodeAlarmEvent& event) override { Queue(event, false); }
    void NodeRecovered(const NodeAlarmEvent& event) override { Queue(event, true); }

  private:
    struct Notice {
        std::shared_ptr<const Config> config;
        NodeAlarmEvent event;
        bool up = false;
        std::int64_t endsAtMs = 0;  // alertmanager, down: when the alert ends
    };
    struct Probed {
        std::int64_t lastMs = 0;
        std::int64_t intervalMs = 0;  // between its latest two probes
    };
    struct Firing {            // an alertmanager alert kept firing
        NodeAlarmEvent event;  // as of the node's latest failure
        bool renew = false;    // failed again since its latest post
    };

    void Queue(const NodeAlarmEvent& event, bool up);
    void Work();
    struct Renewal {
        std::shared_ptr<const Config> config;
        std::string body;  // the alerts' array
        std::size_t count = 0;
    };
    // The alerts due for renewal, in one request; none when none is due. Under mutex_.
    std::optional<Renewal> TakeRenewal();
    std::int64_t EndsAtMs(const NodeAlarmEvent& event) const;  // under mutex_
    // True when delivered; a failure says its line, naming `what`.
    bool Post(const Config& config, const Request& request, const std::string& what);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Notice> queue_;
    std::shared_ptr<const Config> config_;
    std::map<int, Probed> probed_;  // by node slot
    std::map<int, Firing> firing_;  // by node slot; alertmanager only
    std::chrono::steady_clock::time_point renewAt_;
    bool closing_ = false;
    std::chrono::steady_clock::time_point deadline_;  // set with closing_
    void Outcome(bool ok);

    const OperatorVoice say_;
    PassListener& outcomes_;
    std::thread worker_;
};

}  // namespace sentrel::webhook
