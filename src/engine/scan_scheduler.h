// The interval timer and RUN/STOP: starts one scan pass every Secs seconds while
// monitoring runs. Lives on the user-interface thread; never waits for a pass.
#pragma once

#include <QObject>
#include <QTimer>

#include <string>

namespace sentrel {

class PassHost;

inline constexpr const char* kRunCaption = "RUN";
inline constexpr const char* kStopCaption = "STOP";
inline constexpr int kFirstTickMs = 10;

// What the scheduler needs of the main window.
class SchedulerWindow {
  public:
    virtual ~SchedulerWindow() = default;
    // The RUN/STOP button's caption.
    virtual void SetRunCaption(const std::string& caption) = 0;
    // Enables or disables the "Setup..." button.
    virtual void SetSetupEnabled(bool enabled) = 0;
    // Rebuilds the whole window from the node table and the flags.
    virtual void RedrawWhole() = 0;
};

// The interval in milliseconds for a Secs value, or 0 when the timer stays
// unarmed (not above 0). Values too large for a timer are held at the longest
// interval the timer takes.
int IntervalMilliseconds(int secs);

class ScanScheduler : public QObject {
    Q_OBJECT

  public:
    // window: null where there is no window (the headless program). The
    // passes run with `host`, which outlives the scheduler.
    ScanScheduler(SchedulerWindow* window, PassHost& host, QObject* parent = nullptr);
    ~ScanScheduler() override;

    // The RUN/STOP button: switches monitoring on or off.
    void OnRunStop();
    // The interval timer's tick.
    void OnScanTimer();
    // The close path's share: timer killed, sound stopped, a running pass asked
    // to stop. Monitoring state is otherwise left alone.
    void Shutdown();

    bool TimerArmed() const { return timer_.isActive(); }
    int TimerIntervalMs() const { return timer_.interval(); }
    // Counters for observation: ticks seen and passes actually started.
    int TicksSeen() const { return ticks_; }
    int PassesStarted() const { return passesStarted_; }
    PassHost& Host() const { return host_; }

  signals:
    // Emitted after a tick has started a pass.
    void passStarted();

  private:
    void Arm(int ms);

    SchedulerWindow* window_;
    PassHost& host_;
    QTimer timer_;
    int ticks_ = 0;
    int passesStarted_ = 0;
};

}  // namespace sentrel
