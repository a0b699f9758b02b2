// The calls of the sound facility, handed to the chosen player on the
// application's thread. Every call is posted there as a queued call, also from
// that thread itself, so that calls from different threads take effect in the
// order they were made.
#include "platform/sound.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMetaObject>
#include <QString>
#include <mutex>
#include <utility>

static void InitSoundResources() {
    Q_INIT_RESOURCE(sound);
}

namespace sentrel {

namespace {

std::mutex g_playerMutex;
std::shared_ptr<SoundPlayer> g_player;  // under g_playerMutex

std::shared_ptr<SoundPlayer> Player() {
    std::lock_guard lock(g_playerMutex);
    return g_player;
}

// A file the player can be asked to load: an existing, readable file. Anything
// else cannot be played, which is known without trying; empty then.
std::string PlayablePath(const std::string& path) {
    if (path.empty()) {
        return {};
    }
    const QFileInfo info(QString::fromLocal8Bit(path.data(), static_cast<qsizetype>(path.size())));
    if (!info.isFile() || !info.isReadable()) {
        return {};
    }
    return info.absoluteFilePath().toLocal8Bit().toStdString();
}

template <typename F>
void OnAppThread(std::shared_ptr<SoundPlayer> player, F&& action) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || !player) {
        return;
    }
    QMetaObject::invokeMethod(
        app, [player = std::move(player), action = std::forward<F>(action)] { action(*player); },
        Qt::QueuedConnection);
}

}  // namespace

const char* DefaultSoundResource() {
    static std::once_flag resourcesReady;
    std::call_once(resourcesReady, InitSoundResources);
    return ":/sentrel/sound/default_alarm.wav";
}

const char* DefaultSoundUrl() {
    DefaultSoundResource();
    return "qrc:/sentrel/sound/default_alarm.wav";
}

void SetSoundPlayer(std::shared_ptr<SoundPlayer> player) {
    std::shared_ptr<SoundPlayer> old;
    {
        std::lock_guard lock(g_playerMutex);
        old = std::exchange(g_player, std::move(player));
    }
    OnAppThread(std::move(old), [](SoundPlayer& p) { p.Stop(); });
}

void PlayAlarmSound(const std::string& path, bool loop) {
    // A file that cannot be played gives the chime (an empty name).
    OnAppThread(Player(),
                [file = PlayablePath(path), loop](SoundPlayer& p) { p.Play(file, loop, true); });
}

void PlayTestSound(const std::string& path) {
    OnAppThread(Player(), [file = PlayablePath(path)](SoundPlayer& p) {
        if (file.empty()) {
            p.Stop();
        } else {
            p.Play(file, false, false);
        }
    });
}

void StopSound() {
    OnAppThread(Player(), [](SoundPlayer& p) { p.Stop(); });
}

}  // namespace sentrel
