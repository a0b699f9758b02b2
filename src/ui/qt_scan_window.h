// The main window as the scan pass sees it. Every request is carried out on the
// user-interface thread; a request from another thread waits until it is done
// there, while the user-interface thread itself never waits for the pass.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <functional>

#include "platform/window_port.h"

namespace sentrel::ui {

class QtScanWindow : public QObject, public ScanWindow {
    Q_OBJECT

  public:
    // `window` gets the title and owns the message boxes (a modal window open
    // over it owns them instead); `redraw` rebuilds it.
    // Must be created on the user-interface thread.
    QtScanWindow(QWidget* window, std::function<void()> redraw);
    ~QtScanWindow() override;

    void SetTitle(const std::string& title) override;
    void RedrawNow() override;
    MessageAnswer ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon,
                              MessageButtons buttons) override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;

    // Called when the user-interface thread will serve no more requests: pending
    // and later requests from other threads return at once (messages answer Ok,
    // or No to a question).
    void StopServing();
    // Undoes every wait cursor still shown.
    void RestoreCursors();
    int WaitCursorDepth() const { return cursorDepth_; }

  private:
    bool OnGuiThread() const;
    // False once StopServing or the program's end (EndWindowService) was called.
    bool Serving() const;
    // Runs `job` on the user-interface thread and returns when it has run (or
    // when that thread no longer serves requests).
    void RunOnGui(std::function<void()> job);

    QPointer<QWidget> window_;
    std::function<void()> redraw_;
    std::atomic<bool> serving_{true};
    int cursorDepth_ = 0;  // user-interface thread only
};

// Keeps the user-interface thread serving the pass until it has ended or the
// limit has passed; true when no pass runs any more.
bool WaitForPassWhileServing(std::chrono::milliseconds limit);

}  // namespace sentrel::ui
