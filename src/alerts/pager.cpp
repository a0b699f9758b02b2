// The numeric page: a write-only Hayes dialogue timed by fixed pauses. It runs on
// the scan thread (no event loop) or on the GUI thread (the Alerts page's Test
// button, which holds that thread), so the port is driven with the blocking
// waitFor* calls only and every wait is bounded.
#include "alerts/pager.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <QByteArray>
#include <QDeadlineTimer>
#include <QSerialPort>
#include <QString>
#include <QThread>
#include <atomic>
#include <cassert>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/window_port.h"

namespace sentrel {

namespace {

constexpr const char* kPortErrorText = "Comm Port could not be used.";
constexpr const char* kSendErrorText = "Could not send data to Comm Port..";
constexpr const char* kPagingCaption = "Paging Error";
// Longest wait for one write to leave our buffer for the device.
constexpr int kWriteBoundMs = 3000;
// Slack on top of the transmission time when waiting for the line to drain.
constexpr int kDrainSlackMs = 2000;
constexpr int kLineBitsPerSecond = 2400;

std::atomic<int> g_pauseUnitMs{1000};

std::mutex g_hookMutex;
std::function<void()> g_afterOpenHook;

void Pause(int units) {
    std::this_thread::sleep_for(
        std::chrono::milliseconds(static_cast<long long>(units) * g_pauseUnitMs.load()));
}

// Hands the bytes to the device: written through to the kernel within the bound.
bool WriteThrough(QSerialPort& port, const QByteArray& bytes) {
    if (!port.isOpen()) {
        return false;
    }
    if (port.write(bytes) != bytes.size()) {
        return false;
    }
    QDeadlineTimer deadline(kWriteBoundMs);
    while (port.bytesToWrite() > 0) {
        if (deadline.hasExpired() || !port.isOpen()) {
            return false;
        }
        if (!port.waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) {
            return false;
        }
    }
    return true;
}

// Waits until the line has sent what was written since the last drain: the
// kernel's queue empty, and no sooner than those bytes need on the line at 2400
// bit/s, since an adapter's own buffer (a USB converter's) is counted nowhere.
// Closing the port restores its old settings at once, so it must come after.
void DrainOutput(QSerialPort& port, qsizetype written) {
    QDeadlineTimer onTheLine(
        static_cast<qint64>((written * 10 * 1000 + kLineBitsPerSecond - 1) / kLineBitsPerSecond));
    if (!port.isOpen()) {
        return;
    }
    const int fd = static_cast<int>(port.handle());
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) == 0) {
        const int transmitMs = queued * 10 * 1000 / kLineBitsPerSecond;
        QDeadlineTimer deadline(transmitMs + kDrainSlackMs);
        while (queued > 0 && !deadline.hasExpired() && ioctl(fd, TIOCOUTQ, &queued) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    std::this_thread::sleep_for(onTheLine.remainingTimeAsDuration());
}

void DrainAndClose(QSerialPort& port, qsizetype written) {
    DrainOutput(port, written);
    port.close();
}

// The serial device named by the chosen port, empty when none is chosen:
// COM1 when com1 is set, then COM2 instead when com2 is set.
std::string ChosenDevice(const PageRequest& request) {
    std::string device;
    bool chosen = false;
    if (request.com1) {
        device = request.com1Device;
        chosen = true;
    }
    if (request.com2) {
        device = request.com2Device;
        chosen = true;
    }
    return chosen ? device : std::string();
}

PageOutcome RunDialogue(const PageRequest& request, bool testForm) {
    const std::string device = ChosenDevice(request);
    if (device.empty()) {
        WindowMessage(kPortErrorText, kPagingCaption, MessageIcon::Stop);
        return request.com1 || request.com2 ? PageOutcome::PortUnusable : PageOutcome::NoPort;
    }

    QSerialPort port;
    port.setPortName(QString::fromLocal8Bit(device.data(), static_cast<qsizetype>(device.size())));
    // Exclusive use: QSerialPort takes the device's lock file and sets TIOCEXCL.
    if (!port.open(QIODevice::ReadWrite)) {
        WindowMessage(kPortErrorText, kPagingCaption, MessageIcon::Stop);
        return PageOutcome::PortUnusable;
    }

    {
        std::function<void()> hook;
        {
            std::lock_guard lock(g_hookMutex);
            hook = g_afterOpenHook;
        }
        if (hook) {
            hook();
        }
    }

    // Line settings: their results are not examined.
    port.setBaudRate(kLineBitsPerSecond);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
    // A device without modem control lines (a pseudo-terminal) refuses these;
    // the page goes on regardless.
    port.setDataTerminalReady(true);
    port.setRequestToSend(true);
    port.clearError();

    if (testForm) {
        port.clear(QSerialPort::Output);
        port.clear(QSerialPort::Input);
        port.clearError();
    }

    const int delay = request.delay;
    assert(delay >= keys::Pager_Delay.min && delay <= keys::Pager_Delay.max);

    const QByteArray reset("atz\r");
    const bool firstWritten = WriteThrough(port, reset);
    if (testForm && !firstWritten) {
        WindowMessage(kSendErrorText, kPagingCaption, MessageIcon::Stop);
        DrainAndClose(port, reset.size());
        return PageOutcome::WriteFailed;
    }
    Pause(1);

    QByteArray dial("atd");
    dial.append(request.phone.data(), static_cast<qsizetype>(request.phone.size()));
    dial.append(QByteArray(delay + 1, ','));
    dial.append(request.message.data(), static_cast<qsizetype>(request.message.size()));
    dial.append('\r');
    WriteThrough(port, dial);
    DrainOutput(port, dial.size());
    Pause(15 + delay);

    qsizetype written = 0;
    for (const QByteArray& bytes : {QByteArray("\r"), QByteArray("ath0\r"), reset}) {
        WriteThrough(port, bytes);
        written += bytes.size();
    }
    DrainAndClose(port, written);
    return PageOutcome::Sent;
}

}  // namespace

PageOutcome SendPage(const PageRequest& request, bool testForm) {
    // The port's notifiers need a thread with an event dispatcher. A thread that
    // Qt did not start (the scan thread) has none: there the dialogue runs on a
    // Qt thread of its own, and this one waits for it as it would for the page.
    if (QThread::currentThread()->eventDispatcher() != nullptr) {
        return RunDialogue(request, testForm);
    }
    std::atomic<PageOutcome> outcome{PageOutcome::PortUnusable};
    std::unique_ptr<QThread> worker(QThread::create([&outcome, request, testForm] {
        outcome.store(RunDialogue(request, testForm), std::memory_order_release);
    }));
    worker->start();
    worker->wait();
    return outcome.load(std::memory_order_acquire);
}

PageRequest PageRequestFromSettings(const MonitorSettings& settings) {
    PageRequest request;
    request.com1 = settings.Com_1;
    request.com2 = settings.Com_2;
    if (!settings.Com_1_Device.empty()) {
        request.com1Device = settings.Com_1_Device;
    }
    if (!settings.Com_2_Device.empty()) {
        request.com2Device = settings.Com_2_Device;
    }
    request.phone = settings.Pager_Phone;
    request.message = settings.Pager_Message;
    request.delay = settings.Pager_Delay;
    return request;
}

void SetPagerPauseUnitForTesting(int millisecondsPerSecond) {
    g_pauseUnitMs.store(millisecondsPerSecond);
}

void SetPagerAfterOpenHookForTesting(std::function<void()> hook) {
    std::lock_guard lock(g_hookMutex);
    g_afterOpenHook = std::move(hook);
}

}  // namespace sentrel
