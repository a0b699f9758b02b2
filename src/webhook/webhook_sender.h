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
#include <deque>
#include <memory>
#include <mutex>
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
// The most bytes of an answer read; a longer answer fails the request.
inline constexpr std::size_t kAnswerLimit = 64 * 1024;

class WebhookSender : public PassListener {
  public:
    // Each notice not sent is one line said with `say`.
    explicit WebhookSender(OperatorVoice say);
    ~WebhookSender() override;
    WebhookSender(const WebhookSender&) = delete;
    WebhookSender& operator=(const WebhookSender&) = delete;

    // Notices queued from now on go where these settings say (what is queued
    // already keeps its target). Empty, or the one line refusing the keys.
    std::string Follow(const MonitorSettings& settings);

    // The queue worked off, then the worker ended: a request still running
    // after `limit` is cut off and what is left is dropped, each as a failure.
    void Finish(std::chrono::milliseconds limit);

    void NodeAlarmed(const NodeAlarmEvent& event) override { Queue(event, false); }
    void NodeRecovered(const NodeAlarmEvent& event) override { Queue(event, true); }

  private:
    struct Notice {
        std::shared_ptr<const Config> config;
        NodeAlarmEvent event;
        bool up = false;
    };

    void Queue(const NodeAlarmEvent& event, bool up);
    void Work();
    bool Send(const Notice& notice);  // true when delivered; a failure says its line

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Notice> queue_;
    std::shared_ptr<const Config> config_;
    bool closing_ = false;
    std::chrono::steady_clock::time_point deadline_;  // set with closing_
    const OperatorVoice say_;
    std::thread worker_;
};

}  // namespace sentrel::webhook
