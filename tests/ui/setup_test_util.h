// Helpers for the setup sheet's widget tests: finding controls by name, acting
// inside modal dialogs, and a main window stand-in that shows messages through
// the dialog seam.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "config/settings.h"
#include "engine/window_port.h"
#include "ui/dialogs.h"

namespace sentrel::testing {

// The main window as far as the alerts need it: messages go through the dialog
// seam (recorded, answered from the test queue), the rest goes nowhere.
class SeamWindow : public ScanWindow {
  public:
    SeamWindow() { SetMainWindowHandle(this); }
    ~SeamWindow() override {
        if (MainWindowHandle() == this) {
            SetMainWindowHandle(nullptr);
        }
    }
    void SetTitle(const std::string&) override {}
    void RedrawNow() override {}
    MessageAnswer ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon,
                              MessageButtons buttons) override {
        return ui::ShowMessageBox(nullptr, QString::fromStdString(text),
                                  QString::fromStdString(caption), icon, buttons);
    }
    void BeginWaitCursor() override {}
    void EndWaitCursor() override {}
};

// A page as the sheet shows it: loaded, shown and made the active one.
template <typename Page>
std::unique_ptr<Page> ShownPage(const MonitorSettings& s) {
    auto page = std::make_unique<Page>();
    page->Load(s);
    page->show();
    page->OnSetActive();
    return page;
}

template <typename T = QWidget>
T* Find(QWidget* root, const char* name) {
    T* widget = root->findChild<T*>(QString::fromLatin1(name));
    if (!widget) {
        qWarning("no widget named %s", name);
    }
    return widget;
}

// Replaces a field's text as typing would (select all, then keys).
inline void TypeInto(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    edit->del();
    QTest::keyClicks(edit, text);
}

// Clicks near the left edge: a check box stretched across its page takes clicks
// only on its box and its text.
inline void Click(QAbstractButton* button) {
    const QPoint at(std::min(8, button->width() / 2), button->height() / 2);
    QTest::mouseClick(button, Qt::LeftButton, {}, at);
}

// Scripts waiting for their dialog.
inline QList<QPointer<QTimer>>& PendingScriptTimers() {
    static QList<QPointer<QTimer>> timers;
    return timers;
}

// Drops every script still waiting; gives how many there were (a test expects 0:
// a script that never ran means its dialog never came).
inline int CancelPendingScripts() {
    int pending = 0;
    for (const QPointer<QTimer>& timer : PendingScriptTimers()) {
        if (timer && timer->isActive()) {
            ++pending;
            timer->stop();
            timer->deleteLater();
        }
    }
    PendingScriptTimers().clear();
    return pending;
}

// What every setup test checks after each test: no script still waiting for its
// dialog, no dialog left unanswered and no queued answer left unused.
inline void CheckDialogsSettled() {
    QCOMPARE(CancelPendingScripts(), 0);
    QCOMPARE(ui::UnansweredDialogsForTesting(), 0);
    QVERIFY(!ui::DialogAnswersPendingForTesting());
}

// Calls `script` with the first visible top-level widget of type T (from inside
// its modal loop) once it appears; gives up after `limitMs`.
template <typename T>
void WhenShown(std::function<void(T*)> script, int limitMs = 10000) {
    auto* timer = new QTimer;
    PendingScriptTimers().append(timer);
    auto waited = std::make_shared<int>(0);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, waited, script, limitMs] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            T* target = qobject_cast<T*>(widget);
            if (target && target->isVisible()) {
                timer->stop();
                timer->deleteLater();
                script(target);
                return;
            }
        }
        *waited += 10;
        if (*waited > limitMs) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}

// Closes every modal dialog still open after the bound, so a failed script ends
// the test instead of hanging it. Reports whether it had to.
class ModalWatchdog {
  public:
    explicit ModalWatchdog(int limitMs = 30000) {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            while (QWidget* modal = QApplication::activeModalWidget()) {
                fired_ = true;
                if (auto* dialog = qobject_cast<QDialog*>(modal)) {
                    dialog->reject();
                } else {
                    modal->close();
                }
                QApplication::processEvents();
            }
        });
        timer_.start(limitMs);
    }
    bool fired() const { return fired_; }

  private:
    QTimer timer_;
    bool fired_ = false;
};

}  // namespace sentrel::testing
