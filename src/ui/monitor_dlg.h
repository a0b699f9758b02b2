// The main window: status list, last scan time, Setup.../RUN/Exit, the animated
// icon, the about box and help, window placement and the orderly close.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QMargins>
#include <QPoint>
#include <QTimer>

#include <array>
#include <chrono>
#include <memory>
#include <optional>

#include "engine/scan_pass.h"
#include "engine/scan_scheduler.h"

class QAction;
class QLabel;
class QListWidget;
class QMenuBar;
class QPushButton;
class QToolButton;

namespace sentrel::ui {

class QtScanWindow;

inline constexpr int kIconPeriodMs = 150;
// The close waits for a running pass as long as the program's end does.
inline constexpr std::chrono::milliseconds kCloseWaitLimit = kPassEndLimit;

class CMonitorDlg : public QDialog, public SchedulerWindow {
    Q_OBJECT

  public:
    enum class StartResult {
        Ready,      // settings read (and monitoring switched on when asked)
        NoNetwork,  // no host name: the window opens without settings
    };

    // The passes run with `host`, which outlives the window.
    explicit CMonitorDlg(PassHost& host, QWidget* parent = nullptr);
    ~CMonitorDlg() override;

    // Start-up, once the program has found its ping facility: icon timer, host
    // name, node table, settings, AutoStart. Shows the start-up messages itself.
    StartResult Initialise();

    // Rebuilds the list, the button caption and the last-scan time from the node
    // table and the flags; records the window for the scan pass; applies the
    // saved placement at the first redraw of a window that is not minimized.
    void Redraw();

    // SchedulerWindow
    void SetRunCaption(const std::string& caption) override;
    void SetSetupEnabled(bool enabled) override;
    void RedrawWhole() override;

    ScanScheduler& Scheduler() { return scheduler_; }
    QtScanWindow* ScanWindowPort() const { return scanWindow_.get(); }
    // Frame shown last by the icon animation (0..5), -1 before the first one.
    int IconFrame() const { return shownFrame_; }
    bool Closing() const { return closing_; }
    // How the last close ended: true when no pass was left running.
    bool ClosedCleanly() const { return closedCleanly_; }

  signals:
    // The setup sheet's OK has saved the settings and read them again.
    void settingsRead();

  public slots:
    void OnRunStop();
    void OnSetup();
    void OnAbout();
    void OnHelp();
    void OnIconTimer();
    // Silences the looping alarm sound until a new outage (Ctrl+M).
    void OnSilence();
    // Holds every alarm for an hour, or ends that hold (the hold file).
    void OnHoldHour();
    void OnEndHold();
    // The close: Exit, Esc, the close box and termination signals come here.
    void reject() override;

  protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildControls();
    void LayoutClient(int cx, int cy);
    void SavePlacement();
    void RestorePlacement();
    // The window is on screen: notes its frame in the normal state and settles
    // the restored placement.
    void OnExposed();
    void ShowSilence();
    void ShowHold();

    ScanScheduler scheduler_;
    std::unique_ptr<QtScanWindow> scanWindow_;

    QMenuBar* menuBar_ = nullptr;
    QAction* aboutAction_ = nullptr;
    QAction* helpAction_ = nullptr;
    QAction* silenceAction_ = nullptr;  // shown while the looping alarm sound plays
    QAction* holdHourAction_ = nullptr;
    QAction* endHoldAction_ = nullptr;  // enabled while the hold file holds
    QToolButton* helpGlyph_ = nullptr;
    QWidget* client_ = nullptr;
    QLabel* logo_ = nullptr;
    QLabel* lastScanLabel_ = nullptr;
    QLabel* lastScanValue_ = nullptr;
    QLabel* silencedLabel_ = nullptr;  // shown while the alarm sound is silenced
    QLabel* heldLabel_ = nullptr;      // shown while every alarm is held
    QLabel* serversLabel_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    QListWidget* statusList_ = nullptr;
    QPushButton* setupButton_ = nullptr;
    QPushButton* runButton_ = nullptr;
    QPushButton* exitButton_ = nullptr;

    QTimer iconTimer_;
    bool framesLoaded_ = false;
    std::array<QIcon, 6> frames_;
    int frameCounter_ = 0;
    int shownFrame_ = -1;
    int holdTicks_ = 0;  // icon ticks since the hold was last shown

    bool watchingExposure_ = false;
    std::optional<QMargins> normalFrame_;  // the frame last seen in the normal state
    std::optional<QPoint> placedAt_;       // restored frame corner, until settled

    bool closing_ = false;
    bool closedCleanly_ = false;
};

}  // namespace sentrel::ui
