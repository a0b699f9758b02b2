#include "startup/program_run.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "alerts/alarm_hold.h"
#include "config/node_table.h"
#include "config/settings.h"
#include "engine/pass_host.h"
#include "engine/ping_probe.h"
#include "engine/scan_pass.h"
#include "history/history_setup.h"
#include "metrics/metrics_endpoint.h"
#include "metrics/metrics_listener.h"
#include "status/status_board.h"
#include "status/status_page.h"
#include "webhook/webhook_sender.h"

namespace sentrel::startup {

namespace {

// At the end, the webhook's queue gets one request's limit and a little more;
// what is still waiting then is dropped, each notice with its line.
constexpr auto kWebhookEndLimit = webhook::kRequestLimit + std::chrono::seconds(2);

// The pass's lines for the operator, in the program's voice.
class VoiceListener : public PassListener {
  public:
    explicit VoiceListener(OperatorVoice say) : say_(std::move(say)) {}
    void OperatorLine(const std::string& line) override { say_(line); }

  private:
    OperatorVoice say_;
};

}  // namespace

ProgramRun::ProgramRun(RunOptions options)
    : options_(std::move(options)), watch_(options_.watchHangup) {
    if (!options_.say) {
        options_.say = [](const std::string&) {};
    }
    SetSoundPlayer(options_.sound);
    host_.SetAlarms(options_.alarms);
    voice_ = std::make_shared<VoiceListener>(options_.say);
    host_.Add(voice_);
    connect(&watch_, &TerminationWatch::terminationRequested, this,
            &ProgramRun::terminationRequested);
    connect(&watch_, &TerminationWatch::hangupReceived, this, &ProgramRun::hangupReceived);
}

ProgramRun::~ProgramRun() {
    if (!finished_) {
        Finish(0);
    }
}

bool ProgramRun::FindPing() {
    pingFound_ = PingLibraryLoad();
    return pingFound_;
}

void ProgramRun::Start(std::vector<std::shared_ptr<PassListener>> own) {
    own_ = std::move(own);
    for (const auto& listener : own_) {
        host_.Add(listener);
    }
    ResetNodeTable();
    LoadSettings();
    SayNewHoldProblems(CurrentSettings(), options_.say);
    StartHistory();
    StartMetrics();
    if (options_.webhook) {
        webhook_ = std::make_shared<webhook::WebhookSender>(options_.say, host_);
        host_.Add(webhook_);
        FollowWebhook();
    }
}

void ProgramRun::Reload() {
    ReloadSettingsKeepingNodeState();
    FollowSettings();
}

void ProgramRun::FollowSettings() {
    const MonitorSettings settings = CurrentSettings();
    SayNewHoldProblems(settings, options_.say);
    if (settings.Keep_Days != keepDays_) {
        StopHistory();
        StartHistory();
        if (history_ && MonitorRunning.load() != 0) {
            // The new writer's watched stretch begins now.
            history_->MonitoringChanged(true, NowUtcMs());
        }
    }
    // A listener that could not start (its port was taken) is tried again.
    const bool retry = !metrics_ && !settings.Metrics_Listen.empty();
    if (options_.metrics && (settings.Metrics_Listen != metricsListen_ || retry)) {
        metrics_.reset();  // the old address is given up before the new one is bound
        StartMetrics();
    }
    FollowWebhook();
}

void ProgramRun::FollowWebhook() {
    if (!webhook_) {
        return;
    }
    const std::string refusal = webhook_->Follow(CurrentSettings());
    if (!refusal.empty()) {
        options_.say(refusal);
    }
}

void ProgramRun::StartHistory() {
    const MonitorSettings settings = CurrentSettings();
    keepDays_ = settings.Keep_Days;
    history_ = history::StartHistory(settings, options_.say);
    if (history_) {
        host_.Add(history_);
    }
}

void ProgramRun::StopHistory() {
    if (history_) {
        host_.Remove(history_);
        history::StopHistory(history_);
    }
}

void ProgramRun::StartMetrics() {
    metricsListen_ = CurrentSettings().Metrics_Listen;
    if (!options_.metrics) {
        return;
    }
    if (!metricsListener_) {
        metricsListener_ = std::make_shared<MetricsListener>();
        host_.Add(metricsListener_);
    }
    if (!status_ && !metricsListen_.empty()) {  // the status page lives on the listener
        status_ = std::make_shared<status::StatusBoard>(history::HistoryFilePath());
        host_.Add(status_);
    }
    std::string message;
    metrics_ = MetricsEndpoint::Start(
        metricsListener_, &message,
        [board = status_](const std::string& path) { return status::ServeStatus(*board, path); });
    if (!message.empty()) {
        options_.say(message);
    }
}

int ProgramRun::Finish(int code) {
    if (finished_) {
        return code;
    }
    finished_ = true;
    StopHistory();
    if (webhook_) {
        host_.Remove(webhook_);
        webhook_->Finish(kWebhookEndLimit);
    }
    if (ScanPassRunning()) {
        // A pass stuck in a launched command or a page was not waited for:
        // end now, without tearing down what that thread may still use.
        std::fflush(nullptr);
        std::_Exit(code);
    }
    metrics_.reset();
    if (metricsListener_) {
        host_.Remove(metricsListener_);
    }
    if (status_) {
        host_.Remove(status_);
        status_.reset();
    }
    SetSoundPlayer(nullptr);
    host_.Remove(voice_);
    for (const auto& listener : own_) {
        host_.Remove(listener);
    }
    own_.clear();  // what they point to may go once the run has ended
    if (pingFound_) {
        PingLibraryRelease();
    }
    return code;
}

}  // namespace sentrel::startup
