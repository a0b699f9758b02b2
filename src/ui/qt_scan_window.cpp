#include "ui/qt_scan_window.h"

#include <QApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "engine/scan_pass.h"
#include "ui/dialogs.h"

namespace sentrel::ui {

QtScanWindow::QtScanWindow(QWidget* window, std::function<void()> redraw)
    : window_(window), redraw_(std::move(redraw)) {}

QtScanWindow::~QtScanWindow() {
    if (MainWindowHandle() == this) {
        SetMainWindowHandle(nullptr);
    }
    RestoreCursors();
}

bool QtScanWindow::OnGuiThread() const {
    return QThread::currentThread() == thread();
}

bool QtScanWindow::Serving() const {
    return serving_.load() && !WindowServiceEnded();
}

void QtScanWindow::RunOnGui(std::function<void()> job) {
    if (OnGuiThread()) {
        job();
        return;
    }
    if (!Serving()) {
        return;
    }
    // A queued call handled by the user-interface thread's event loop (or any
    // nested loop, such as a modal dialog's). The caller waits in short slices,
    // so a thread that stops serving releases it even while the call is pending
    // or running; a call not yet started by then is dropped, as it is when this
    // object is destroyed first. The job owns what it touches: it may outlive
    // the caller's wait.
    struct Call {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
    };
    auto call = std::make_shared<Call>();
    QMetaObject::invokeMethod(
        this,
        [this, call, job = std::move(job)] {
            if (Serving()) {
                job();
            }
            std::lock_guard lock(call->mutex);
            call->done = true;
            call->finished.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(call->mutex);
    while (!call->done && Serving()) {
        call->finished.wait_for(lock, std::chrono::milliseconds(50));
    }
}

void QtScanWindow::SetTitle(const std::string& title) {
    const QString text = QString::fromStdString(title);
    RunOnGui([this, text] {
        if (window_) {
            window_->setWindowTitle(text);
        }
    });
}

void QtScanWindow::RedrawNow() {
    RunOnGui([this] {
        if (redraw_) {
            redraw_();
        }
    });
}

MessageAnswer QtScanWindow::ShowMessage(const std::string& text, const std::string& caption,
                                        MessageIcon icon, MessageButtons buttons) {
    // Answered like a window that serves no more unless the message is dismissed.
    auto answer = std::make_shared<std::atomic<MessageAnswer>>(
        buttons == MessageButtons::YesNo ? MessageAnswer::No : MessageAnswer::Ok);
    const QString qtext = QString::fromStdString(text);
    const QString qcaption = QString::fromStdString(caption);
    RunOnGui([this, answer, qtext, qcaption, icon, buttons] {
        // While a modal window such as the setup sheet is open, the message
        // belongs to it, so it can never open behind it.
        QWidget* modal = QApplication::activeModalWidget();
        answer->store(
            ShowMessageBox(modal ? modal : window_.data(), qtext, qcaption, icon, buttons));
    });
    return answer->load();
}

void QtScanWindow::BeginWaitCursor() {
    RunOnGui([this] {
        QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        ++cursorDepth_;
    });
}

void QtScanWindow::EndWaitCursor() {
    RunOnGui([this] {
        if (cursorDepth_ > 0) {
            QApplication::restoreOverrideCursor();
            --cursorDepth_;
        }
    });
}

void QtScanWindow::StopServing() {
    serving_.store(false);
}

void QtScanWindow::RestoreCursors() {
    while (cursorDepth_ > 0) {
        QApplication::restoreOverrideCursor();
        --cursorDepth_;
    }
}

bool WaitForPassWhileServing(std::chrono::milliseconds limit) {
    using namespace std::chrono_literals;
    if (WaitForScanPass(0ms)) {
        return true;
    }
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(10);
    bool ended = false;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (WaitForScanPass(0ms)) {
            ended = true;
            loop.quit();
        } else if (clock.elapsed() >= limit.count()) {
            loop.quit();
        }
    });
    poll.start();
    loop.exec();
    return ended || WaitForScanPass(0ms);
}

}  // namespace sentrel::ui
