#include "engine/scan_scheduler.h"

#include <climits>
#include <cstdint>

#include "config/node_table.h"
#include "config/settings.h"
#include "engine/pass_host.h"
#include "engine/scan_pass.h"
#include "platform/sound.h"
#include "reporting/line_timestamp.h"

namespace sentrel {

namespace {

int CurrentIntervalSecs() {
    return ToInt(CurrentSettings().Secs);
}

}  // namespace

int IntervalMilliseconds(int secs) {
    if (secs <= 0) {
        return 0;
    }
    const std::int64_t ms = static_cast<std::int64_t>(secs) * 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

ScanScheduler::ScanScheduler(SchedulerWindow* window, PassHost& host, QObject* parent)
    : QObject(parent), window_(window), host_(host) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &ScanScheduler::OnScanTimer);
}

ScanScheduler::~ScanScheduler() {
    timer_.stop();
}

void ScanScheduler::Arm(int ms) {
    timer_.start(ms);
}

void ScanScheduler::OnScanTimer() {
    timer_.stop();
    ++ticks_;
    if (ScanBusy.load() == 0) {
        // StartScanPass clears ScanAbort itself and refuses while a pass runs.
        if (StartScanPass(host_)) {
            SetLastScanText(AsctimeText());
            ++passesStarted_;
            emit passStarted();
        }
    }
    const int ms = IntervalMilliseconds(CurrentIntervalSecs());
    if (ms <= 0) {
        return;
    }
    Arm(ms);
    if (MonitorRunning.exchange(1) == 0) {
        host_.MonitoringChanged(true, NowUtcMs());
    }
}

void ScanScheduler::OnRunStop() {
    if (MonitorRunning.load() == 1) {
        if (ScanBusy.load() == 1) {
            ScanAbort.store(1);
        }
        timer_.stop();
        StopSound();
        NodeTable::Instance().ResetStatusTexts();
        if (window_ != nullptr) {
            window_->SetRunCaption(kRunCaption);
            window_->SetSetupEnabled(true);
        }
        MonitorRunning.store(0);
        host_.MonitoringChanged(false, NowUtcMs());
        if (window_ != nullptr) {
            window_->RedrawWhole();
        }
        return;
    }
    StopSound();
    if (window_ != nullptr) {
        window_->SetSetupEnabled(false);
        window_->SetRunCaption(kStopCaption);
    }
    if (IntervalMilliseconds(CurrentIntervalSecs()) > 0) {
        Arm(kFirstTickMs);
    }
    MonitorRunning.store(1);
    host_.MonitoringChanged(true, NowUtcMs());
}

void ScanScheduler::Shutdown() {
    timer_.stop();
    if (MonitorRunning.load() == 1) {
        host_.MonitoringChanged(false, NowUtcMs());
    }
    StopSound();
    if (ScanBusy.load() == 1) {
        ScanAbort.store(1);
    }
}

}  // namespace sentrel
