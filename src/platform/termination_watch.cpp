#include "platform/termination_watch.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <cerrno>

namespace sentrel {

namespace {

int g_pipe[2] = {-1, -1};

// The pipe carries the signal number, one byte per signal.
extern "C" void OnWatchedSignal(int signo) {
    const int saved = errno;
    const char byte = static_cast<char>(signo);
    // A full pipe already holds a pending request; nothing more is needed.
    [[maybe_unused]] ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

void SetHandler(int signo, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signo, &action, nullptr);
}

}  // namespace

TerminationWatch::TerminationWatch(bool watchHangup, QObject* parent)
    : QObject(parent), hangup_(watchHangup) {
    if (g_pipe[0] >= 0) {
        return;  // one watch per process
    }
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_pipe[0] = g_pipe[1] = -1;
        return;
    }
    SetHandler(SIGTERM, OnWatchedSignal);
    SetHandler(SIGINT, OnWatchedSignal);
    if (hangup_) {
        SetHandler(SIGHUP, OnWatchedSignal);
    }
    notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationWatch::OnReadable);
}

TerminationWatch::~TerminationWatch() {
    if (notifier_ == nullptr) {
        return;
    }
    SetHandler(SIGTERM, SIG_DFL);
    SetHandler(SIGINT, SIG_DFL);
    if (hangup_) {
        SetHandler(SIGHUP, SIG_DFL);
    }
    delete notifier_;
    notifier_ = nullptr;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void TerminationWatch::OnReadable() {
    char buffer[64];
    bool terminate = false;
    bool hangup = false;
    ssize_t n = 0;
    while ((n = ::read(g_pipe[0], buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            (buffer[i] == SIGHUP ? hangup : terminate) = true;
        }
    }
    if (hangup) {
        emit hangupReceived();
    }
    if (terminate) {
        emit terminationRequested();
    }
}

}  // namespace sentrel
