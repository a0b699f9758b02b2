// The window program's part in a node's alarm and recovery: desktop
// notifications through the freedesktop notification service on the session
// bus, and the end of the operator's silence of the alarm sound at a new outage.
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>

#include "engine/pass_events.h"
#include "platform/operator_voice.h"

namespace sentrel::ui {

// "45 s", "3 min 20 s", "2 h 5 min", "1 d 3 h": an outage's length as people say it.
QString OutageText(std::int64_t ms);

// Lives on the user-interface thread; the listener posts to it by name. One
// notification per node, replaced in place: the id the server gave for the node
// goes with the next one as replaces_id. The calls are asynchronous; without a
// notification service nothing is shown and one line says so.
class DesktopNotifier : public QObject {
    Q_OBJECT

  public:
    // `say` tells the operator once that no notification service answers.
    explicit DesktopNotifier(OperatorVoice say = {}) : say_(std::move(say)) {}
    // urgency: 0 low, 1 normal, 2 critical.
    Q_INVOKABLE void Show(const QString& node, const QString& summary, const QString& body,
                          int urgency);

  private:
    struct Note {
        QString summary, body;
        int urgency = 1;
    };
    struct Shown {
        uint id = 0;               // the server's id of the node's notification; 0: none yet
        bool waiting = false;      // a call is out; the next one waits for its id
        std::optional<Note> next;  // the newest note not yet sent
    };
    void SendNext(const QString& node);
    void SayAbsent(const QString& why);

    OperatorVoice say_;
    std::map<QString, Shown> nodes_;
    bool saidAbsent_ = false;
};

// The listener the window program adds: on NodeAlarmed a new outage (the first
// alarm of a node's run of failures, alarmCount 1) ends the silence before the
// pass sounds its alarm; with Notify_Flag both events become notifications.
// Returns at once: the notifications are posted to `notifier`.
class AlarmNotifyListener : public PassListener {
  public:
    explicit AlarmNotifyListener(DesktopNotifier* notifier) : notifier_(notifier) {}
    void NodeAlarmed(const NodeAlarmEvent& event) override;
    void NodeRecovered(const NodeAlarmEvent& event) override;

  private:
    void Post(const NodeAlarmEvent& event, const QString& summary, const QString& body,
              int urgency);
    DesktopNotifier* notifier_;
};

}  // namespace sentrel::ui
