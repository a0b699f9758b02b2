#include "ui/alarm_notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QMetaObject>
#include <QStringList>
#include <QVariantMap>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "config/settings.h"
#include "platform/sound.h"

namespace sentrel::ui {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
// The installed icon's name, as the desktop entry's Icon= gives it.
constexpr const char* kIconName = "sentrel";

QString Text(const std::string& s) {
    return QString::fromStdString(s);
}

// The node as the operator named it; a node without a title by its address.
QString NodeName(const NodeAlarmEvent& event) {
    return Text(event.title.empty() ? event.address : event.title);
}

}  // namespace

QString OutageText(std::int64_t ms) {
    const std::int64_t s = std::max<std::int64_t>(0, ms) / 1000;
    const auto two = [](std::int64_t big, const char* bigUnit, std::int64_t small,
                        const char* smallUnit) {
        QString text = QStringLiteral("%1 %2").arg(big).arg(QLatin1String(bigUnit));
        return small == 0 ? text : text + QStringLiteral(" %1 %2").arg(small).arg(smallUnit);
    };
    if (s < 60) {
        return QStringLiteral("%1 s").arg(s);
    }
    if (s < 3600) {
        return two(s / 60, "min", s % 60, "s");
    }
    if (s < 86400) {
        return two(s / 3600, "h", s / 60 % 60, "min");
    }
    return two(s / 86400, "d", s / 3600 % 24, "h");
}

void DesktopNotifier::Show(const QString& node, const QString& summary, const QString& body,
                           int urgency) {
    Shown& shown = nodes_[node];
    shown.next = Note{summary, body, urgency};
    if (!shown.waiting) {
        SendNext(node);
    }
}

void DesktopNotifier::SendNext(const QString& node) {
    Shown& shown = nodes_[node];
    if (!shown.next) {
        return;
    }
    const Note note = *std::exchange(shown.next, std::nullopt);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        SayAbsent(bus.lastError().message());
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                       QLatin1String(kService), QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("urgency"), QVariant::fromValue(uchar(note.urgency))}};
    call << QStringLiteral("Sentrel") << shown.id << QLatin1String(kIconName) << note.summary
         << note.body << QStringList() << hints << qint32(-1);
    shown.waiting = true;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, node](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                const QDBusPendingReply<uint> reply = *w;
                Shown& s = nodes_[node];
                s.waiting = false;
                if (reply.isError()) {
                    SayAbsent(reply.error().message());
                } else {
                    s.id = reply.value();
                }
                SendNext(node);
            });
}

void DesktopNotifier::SayAbsent(const QString& why) {
    if (!std::exchange(saidAbsent_, true) && say_) {
        say_("no desktop notifications: " + why.toStdString());
    }
}

void AlarmNotifyListener::NodeAlarmed(const NodeAlarmEvent& event) {
    if (event.alarmCount == 1) {
        EndAlarmSilence();
    }
    Post(event, NodeName(event) + QStringLiteral(" is down"),
         QStringLiteral("%1 (%2 failure%3 in a row)")
             .arg(Text(event.statusText).trimmed(), QString::number(event.failCount),
                  QLatin1String(event.failCount == 1 ? "" : "s")),
         2);
}

void AlarmNotifyListener::NodeRecovered(const NodeAlarmEvent& event) {
    Post(
        event, NodeName(event) + QStringLiteral(" is up again"),
        QStringLiteral("Answering again after %1: %2")
            .arg(OutageText(event.timeMs - event.failingSinceMs), Text(event.statusText).trimmed()),
        1);
}

void AlarmNotifyListener::Post(const NodeAlarmEvent& event, const QString& summary,
                               const QString& body, int urgency) {
    if (!CurrentSettings().Notify_Flag) {
        return;
    }
    // Keyed by the node (its slot and address): two nodes on one host are two notifications.
    const QString node = QString::number(event.index) + QLatin1Char(' ') + Text(event.address);
    QMetaObject::invokeMethod(notifier_, "Show", Qt::QueuedConnection, Q_ARG(QString, node),
                              Q_ARG(QString, summary), Q_ARG(QString, body), Q_ARG(int, urgency));
}

}  // namespace sentrel::ui
