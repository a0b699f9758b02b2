// Turns SIGTERM and SIGINT (and, when asked, SIGHUP) into Qt signals on the
// thread that owns the watch, so the program ends or reloads the orderly way
// (self-pipe and socket notifier).
#pragma once

#include <QObject>

class QSocketNotifier;

namespace sentrel {

class TerminationWatch : public QObject {
    Q_OBJECT

  public:
    // With watchHangup, SIGHUP is caught too and reported as hangupReceived.
    explicit TerminationWatch(bool watchHangup = false, QObject* parent = nullptr);
    ~TerminationWatch() override;

    // False when the pipe or the handlers could not be set up.
    bool Active() const { return notifier_ != nullptr; }

  signals:
    void terminationRequested();
    void hangupReceived();

  private:
    void OnReadable();

    QSocketNotifier* notifier_ = nullptr;
    bool hangup_ = false;
};

}  // namespace sentrel
