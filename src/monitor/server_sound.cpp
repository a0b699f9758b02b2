#include "monitor/server_sound.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QPointer>
#include <QProcess>

#include <atomic>
#include <utility>

#include "platform/sound.h"

static void InitMonitorSoundResources() {
    Q_INIT_RESOURCE(sound);
}

namespace sentrel {

namespace {

constexpr const char* kDefaultSound = ":/sentrel/sound/default_alarm.wav";
constexpr int kServerCheckMs = 3000;

std::atomic<bool> g_skip{false};
// The application thread only.
QPointer<QProcess> g_player;

void StopCurrent() {
    if (g_player) {
        QProcess* player = g_player;
        g_player = nullptr;
        player->disconnect();
        player->kill();
        player->waitForFinished(1000);
        player->deleteLater();
    }
}

// Plays `file` (the bundled default when empty), again and again with `loop`.
void Start(const QString& file, bool loop) {
    StopCurrent();
    auto* player = new QProcess(QCoreApplication::instance());
    g_player = player;
    player->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(player, &QProcess::finished, player, [player, file, loop](int code) {
        if (g_player == player && loop && code == 0) {
            Start(file, loop);
        }
    });
    if (!file.isEmpty()) {
        player->start(QStringLiteral("paplay"), {file});
        return;
    }
    InitMonitorSoundResources();
    QFile wave(QString::fromLatin1(kDefaultSound));
    player->start(QStringLiteral("paplay"), {});  // reads the wave from its input
    if (wave.open(QIODevice::ReadOnly)) {
        player->write(wave.readAll());
    }
    player->closeWriteChannel();
}

QString PlayablePath(const std::string& path) {
    const QFileInfo info(QString::fromLocal8Bit(path.data(), static_cast<qsizetype>(path.size())));
    return info.isFile() && info.isReadable() ? info.absoluteFilePath() : QString();
}

template <typename F>
void OnAppThread(F&& action) {
    if (QCoreApplication* app = QCoreApplication::instance(); app != nullptr && !g_skip.load()) {
        QMetaObject::invokeMethod(app, std::forward<F>(action), Qt::QueuedConnection);
    }
}

}  // namespace

void PlayAlarmSound(const std::string& path, bool loop) {
    OnAppThread([file = PlayablePath(path), loop] { Start(file, loop); });
}

void PlayTestSound(const std::string& path) {
    OnAppThread([file = PlayablePath(path)] {
        if (file.isEmpty()) {
            StopCurrent();
        } else {
            Start(file, false);
        }
    });
}

void StopSound() {
    OnAppThread([] { StopCurrent(); });
}

namespace monitor {

bool SoundServerAnswers() {
    QProcess pactl;
    pactl.setProcessChannelMode(QProcess::MergedChannels);
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("info")});
    return pactl.waitForFinished(kServerCheckMs) && pactl.exitStatus() == QProcess::NormalExit &&
           pactl.exitCode() == 0;
}

void SkipSounds() {
    g_skip.store(true);
}

}  // namespace monitor

}  // namespace sentrel
