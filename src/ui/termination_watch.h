// Turns SIGTERM and SIGINT into a signal on the user-interface thread, so the
// program closes the orderly way (self-pipe and socket notifier).
#pragma once

#include <QObject>

class QSocketNotifier;

namespace sentrel::ui {

class TerminationWatch : public QObject {
    Q_OBJECT

  public:
    explicit TerminationWatch(QObject* parent = nullptr);
    ~TerminationWatch() override;

    // False when the pipe or the handlers could not be set up.
    bool Active() const { return notifier_ != nullptr; }

  signals:
    void terminationRequested();

  private:
    void OnReadable();

    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace sentrel::ui
