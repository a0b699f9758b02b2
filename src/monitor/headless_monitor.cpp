#include "monitor/headless_monitor.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <chrono>

#include "config/node_table.h"
#include "config/profile_file.h"
#include "config/settings.h"
#include "engine/httpd_probe.h"
#include "engine/pass_events.h"
#include "engine/ping_probe.h"
#include "engine/scan_pass.h"
#include "platform/service_notify.h"

namespace sentrel::monitor {

namespace {

constexpr int kReloadRetryMs = 100;
// A stop lets the current node finish: its probe ends within its time-out and
// a second (an HTTPD probe's MAXSecs, 60 s when 0; a ping's 5 s), and the
// node's lines and the alarms after it take a little more.
constexpr int kStopMarginSecs = 10;
// The end after the wait: history flushed, the metrics server stopped.
constexpr std::chrono::seconds kExitMargin{5};

std::chrono::seconds StopWait(const MonitorSettings& settings) {
    const int probe = std::max(HttpdTimeoutSeconds(settings.MAXSecs), kPingTimeoutMs / 1000) + 1;
    return std::chrono::seconds(probe + kStopMarginSecs);
}

// Called on the pass thread. Posted by name: no functor object is shared with
// the main thread, whose release would be hidden from ThreadSanitizer inside Qt.
void QuitSoon() {
    QMetaObject::invokeMethod(QCoreApplication::instance(), "quit", Qt::QueuedConnection);
}

int ConfiguredNodes(const MonitorSettings& settings) {
    return static_cast<int>(std::count_if(settings.NodeList.begin(), settings.NodeList.end(),
                                          [](const NodeEntry& n) { return !n.address.empty(); }));
}

}  // namespace

HeadlessMonitor::HeadlessMonitor(const MonitorArgs& args, startup::ProgramRun* run)
    : args_(args), scheduler_(nullptr, run->Host()), run_(run) {
    lines_ = std::make_shared<ProbeLines>(
        run->Host(), args_.once ? std::function<void()>(QuitSoon) : std::function<void()>());
    connect(run_, &startup::ProgramRun::terminationRequested, this,
            &HeadlessMonitor::OnTermination);
    connect(run_, &startup::ProgramRun::hangupReceived, this, &HeadlessMonitor::OnHangup);
}

int HeadlessMonitor::Run() {
    if (args_.once) {
        return RunOnce();
    }
    // Monitoring starts at once, whatever AutoStart says.
    if (IntervalMilliseconds(ToInt(CurrentSettings().Secs)) == 0) {
        SayLine("Secs in tarn.ini is not above 0: no pass will start");
    }
    scheduler_.OnRunStop();
    QCoreApplication::exec();
    WaitForPassEnd();
    return 0;
}

int HeadlessMonitor::RunOnce() {
    const MonitorSettings settings = CurrentSettings();
    const int nodes = ConfiguredNodes(settings);
    if (nodes == 0) {
        SayLine("no nodes in " + SettingsFilePath() + ": nothing was checked");
        return kExitUnknown;
    }
    if (!StartScanPass(run_->Host())) {
        SayLine("the pass could not be started");
        return kExitSomeFailed;
    }
    QCoreApplication::exec();
    WaitForPassEnd();
    if (!ScanPassRunning() && !run_->Host().LastFailure().empty()) {
        return kExitUnknown;  // said by the probe lines
    }
    const bool all = lines_->Failed() == 0 && lines_->Answered() == nodes;
    return all ? kExitAllAnswered : kExitSomeFailed;
}

void HeadlessMonitor::OnTermination() {
    if (stopping_) {
        return;
    }
    stopping_ = true;
    SayLine("stopping after the current node");
    // Under systemd, its stop time-out (TimeoutStopSec) covers the usual wait;
    // a longer probe bound extends it, so the node is never cut off.
    ExtendServiceStop(StopWait(CurrentSettings()) + kExitMargin);
    // Timer killed, sound stopped, the running pass asked to stop after its node.
    scheduler_.Shutdown();
    MonitorRunning.store(0);
    QuitSoon();  // after the sound's stop, already queued
}

void HeadlessMonitor::WaitForPassEnd() {
    if (!WaitForScanPass(StopWait(CurrentSettings()))) {
        SayLine("the pass did not end in time; leaving it");
    }
}

void HeadlessMonitor::OnHangup() {
    if (reloadPending_ || stopping_) {
        return;
    }
    reloadPending_ = true;
    ReloadWhenIdle();
}

void HeadlessMonitor::ReloadWhenIdle() {
    // Passes start on this thread only, so no pass can begin between this
    // check and the reload below.
    if (ScanBusy.load() != 0) {
        QTimer::singleShot(kReloadRetryMs, this, &HeadlessMonitor::ReloadWhenIdle);
        return;
    }
    reloadPending_ = false;
    ProfileFile probe;
    if (probe.Load(SettingsFilePath()) != ProfileFile::LoadResult::Loaded) {
        SayLine("cannot read " + SettingsFilePath() + "; the settings in use stay");
        return;
    }
    // Nodes that stay as they were keep their counts: an outage that goes on
    // across a reload raises no second alarm.
    run_->Reload();
    SayLine("read " + SettingsFilePath() + " again");
}

}  // namespace sentrel::monitor
