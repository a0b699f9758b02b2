// What both programs do from start to end, in one place: the ping facility
// found, the settings read, history and metrics listening before monitoring can
// start, the sound player chosen, the termination signals watched, settings
// followed when they are read again, and an end that never waits beyond its
// bound for a pass stuck in a launched command or a page. Each program's main
// keeps only what is its own: the window, or the console.
#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/pass_host.h"
#include "platform/sound.h"
#include "platform/termination_watch.h"

namespace sentrel {
class MetricsEndpoint;
class MetricsListener;
namespace history {
class HistoryWriter;
}
namespace webhook {
class WebhookSender;
}
namespace status {
class StatusBoard;
}
}  // namespace sentrel

namespace sentrel::startup {

struct RunOptions {
    bool metrics = true;                          // serve [Metrics] Listen
    bool webhook = true;                          // post alarms to [Alerts] Webhook_URL
    bool watchHangup = false;                     // SIGHUP asks for a reload
    bool alarms = true;                           // passes raise alarms (the host's policy)
    std::shared_ptr<SoundPlayer> sound;           // how alarms sound; null: silence
    std::function<void(const std::string&)> say;  // one line for the operator
};

class ProgramRun : public QObject {
    Q_OBJECT

  public:
    explicit ProgramRun(RunOptions options);
    ~ProgramRun() override;

    // The ping facility, found in its order (ICMP datagram socket, the helper,
    // a raw socket). False when there is none: the program says so and ends.
    bool FindPing();

    // The node table cleared and the settings read; history and metrics then
    // listen, so they see every pass and every change of monitoring from the
    // first one on, as do the program's own listeners `own` (its window's
    // notifier, its console lines) until Finish.
    void Start(std::vector<std::shared_ptr<PassListener>> own = {});

    // What every pass of this run is started with. Only the run adds and
    // removes its listeners.
    PassHost& Host() { return host_; }

    // tarn.ini again between passes: nodes that stay as they were keep their
    // counts; history (Keep_Days) and metrics (Listen) follow.
    void Reload();

    // History, metrics and the webhook follow the settings now in use (after
    // the setup sheet has read them again, or a reload).
    void FollowSettings();

    // The end: history written out, the webhook's notices sent (within
    // kWebhookEndLimit), metrics stopped, the ping facility
    // released; returns code. A pass still running (stuck beyond its bound in
    // a command or a page) ends the process here with code instead, without
    // tearing down what that pass may still use. Call while the window the
    // pass talks to still exists.
    int Finish(int code);

  signals:
    void terminationRequested();
    void hangupReceived();

  private:
    void StartHistory();
    void StopHistory();
    void StartMetrics();
    void FollowWebhook();

    RunOptions options_;
    PassHost host_;
    std::vector<std::shared_ptr<PassListener>> own_;
    TerminationWatch watch_;
    std::shared_ptr<PassListener> voice_;  // the pass's operator lines, to `say`
    std::shared_ptr<history::HistoryWriter> history_;
    std::shared_ptr<status::StatusBoard> status_;       // the status page's board, beside metrics
    std::shared_ptr<MetricsListener> metricsListener_;  // one for the run: a reload keeps it
    std::unique_ptr<MetricsEndpoint> metrics_;
    std::shared_ptr<webhook::WebhookSender> webhook_;
    std::string metricsListen_;
    int keepDays_ = 0;
    bool pingFound_ = false;
    bool finished_ = false;
};

}  // namespace sentrel::startup
