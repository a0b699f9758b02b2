// Monitoring without a window: the interval scheduler started at once, SIGTERM
// and SIGINT ending it in order, SIGHUP reading tarn.ini again between passes;
// or a single pass (--once) whose outcome becomes the exit code.
#pragma once

#include <QObject>

#include <memory>

#include "engine/scan_scheduler.h"
#include "monitor/console_output.h"
#include "monitor/monitor_args.h"
#include "startup/program_run.h"

namespace sentrel::monitor {

// Exit codes of --once, after the monitoring plugins: every node answered, or
// not; or nothing could be judged (no nodes, or the pass ended early).
inline constexpr int kExitAllAnswered = 0;
inline constexpr int kExitSomeFailed = 2;
inline constexpr int kExitUnknown = 3;

class HeadlessMonitor : public QObject {
    Q_OBJECT

  public:
    // The run's signals end it (SIGTERM, SIGINT) and reload it (SIGHUP).
    // Its console lines are a listener for the run to add at its start (Lines).
    HeadlessMonitor(const MonitorArgs& args, startup::ProgramRun* run);

    std::shared_ptr<ProbeLines> Lines() const { return lines_; }

    // Runs the event loop until the end; returns the exit code. The pass has
    // ended, or was given its time and left running (then ScanPassRunning()).
    int Run();

  private:
    int RunOnce();
    void OnTermination();
    void OnHangup();
    void ReloadWhenIdle();
    void WaitForPassEnd();

    MonitorArgs args_;
    ScanScheduler scheduler_;
    startup::ProgramRun* run_;
    std::shared_ptr<ProbeLines> lines_;
    bool stopping_ = false;
    bool reloadPending_ = false;
};

}  // namespace sentrel::monitor
