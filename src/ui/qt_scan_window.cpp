#include "ui/qt_scan_window.h"

#include <QApplication>
#include <QCursor>
#include <QMetaObject>
#include <QThread>

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

void QtScanWindow::RunOnGui(const std::function<void()>& job) {
    if (OnGuiThread()) {
        job();
        return;
    }
    if (!serving_.load()) {
        return;
    }
    // A blocking queued call: the event is handled by the user-interface thread's
    // event loop (or any nested loop, such as a modal dialog's); when this object
    // is destroyed first, the pending call is dropped and the caller released.
    QMetaObject::invokeMethod(this, job, Qt::BlockingQueuedConnection);
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
    MessageAnswer answer = MessageAnswer::Ok;
    const QString qtext = QString::fromStdString(text);
    const QString qcaption = QString::fromStdString(caption);
    RunOnGui([&] { answer = ShowMessageBox(window_.data(), qtext, qcaption, icon, buttons); });
    return answer;
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

}  // namespace sentrel::ui
