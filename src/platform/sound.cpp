// The calls of the sound facility, handed to the chosen player on the
// application's thread. Every call is posted there as a queued call by name,
// also from that thread itself, so that calls from different threads take
// effect in the order they were made. Only plain arguments cross threads: no
// function object is shared with the application's thread, whose release would
// happen inside Qt, out of ThreadSanitizer's sight.
#include "platform/sound.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>
#include <QString>
#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

static void InitSoundResources() {
    Q_INIT_RESOURCE(sound);
}

namespace sentrel {

namespace {

std::mutex g_playerMutex;
std::shared_ptr<SoundPlayer> g_player;  // under g_playerMutex
int g_generation = 0;                   // under g_playerMutex; one more at each SetSoundPlayer
std::atomic<bool> g_silenced{false};    // set by the operator, cleared by a new outage
std::atomic<bool> g_looping{false};     // written on the application's thread

int Generation() {
    std::lock_guard lock(g_playerMutex);
    return g_generation;
}

// The player of a call made in `generation`: none once it was replaced, so a
// call never reaches a player chosen after it was made.
std::shared_ptr<SoundPlayer> PlayerOf(int generation) {
    std::lock_guard lock(g_playerMutex);
    return generation == g_generation ? g_player : nullptr;
}

// Lives on the application's thread and runs the calls posted to it.
class SoundCourier : public QObject {
    Q_OBJECT

  public:
    Q_INVOKABLE void Play(int generation, const QString& file, bool loop, bool fallBack) {
        if (const auto player = PlayerOf(generation)) {
            g_looping = false;
            player->Play(file.toLocal8Bit().toStdString(), loop, fallBack);
        }
    }
    // The silence is looked at here, where SilenceAlarmSound's stop runs too: an
    // alarm posted just before the silence cannot start the sound after it.
    Q_INVOKABLE void PlayAlarm(int generation, const QString& file, bool loop) {
        if (const auto player = PlayerOf(generation); player && !g_silenced) {
            player->Play(file.toLocal8Bit().toStdString(), loop, true);
            g_looping = loop;
        }
    }
    Q_INVOKABLE void Stop(int generation) {
        if (const auto player = PlayerOf(generation)) {
            g_looping = false;
            player->Stop();
        }
    }
    // The player replaced by SetSoundPlayer, stopped where it plays.
    Q_INVOKABLE void StopRetired(int) {
        std::vector<std::shared_ptr<SoundPlayer>> retired;
        {
            std::lock_guard lock(g_playerMutex);
            retired.swap(retired_);
        }
        g_looping = false;
        for (const auto& player : retired) {
            player->Stop();
        }
    }

    std::vector<std::shared_ptr<SoundPlayer>> retired_;  // under g_playerMutex
};

// The courier, made on first use and moved to the application's thread; null
// without an application object.
SoundCourier* Courier() {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        return nullptr;
    }
    static SoundCourier* courier = [app] {
        auto* c = new SoundCourier;
        c->moveToThread(app->thread());
        return c;
    }();
    return courier;
}

// A file the player can be asked to load: an existing, readable file. Anything
// else cannot be played, which is known without trying; empty then.
QString PlayablePath(const std::string& path) {
    if (path.empty()) {
        return {};
    }
    const QFileInfo info(QString::fromLocal8Bit(path.data(), static_cast<qsizetype>(path.size())));
    return info.isFile() && info.isReadable() ? info.absoluteFilePath() : QString();
}

template <typename... Args>
void Post(const char* method, Args&&... args) {
    if (SoundCourier* courier = Courier()) {
        QMetaObject::invokeMethod(courier, method, Qt::QueuedConnection, Q_ARG(int, Generation()),
                                  std::forward<Args>(args)...);
    }
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
    SoundCourier* courier = Courier();
    {
        std::lock_guard lock(g_playerMutex);
        std::shared_ptr<SoundPlayer> old = std::exchange(g_player, std::move(player));
        ++g_generation;
        if (courier != nullptr && old) {
            courier->retired_.push_back(std::move(old));
        }
    }
    Post("StopRetired");
}

bool PlayAlarmSound(const std::string& path, bool loop) {
    {
        std::lock_guard lock(g_playerMutex);
        if (!g_player) {
            return false;
        }
    }
    // A file that cannot be played gives the chime (an empty name).
    Post("PlayAlarm", Q_ARG(QString, PlayablePath(path)), Q_ARG(bool, loop));
    return true;
}

void PlayTestSound(const std::string& path) {
    const QString file = PlayablePath(path);
    if (file.isEmpty()) {
        Post("Stop");
    } else {
        Post("Play", Q_ARG(QString, file), Q_ARG(bool, false), Q_ARG(bool, false));
    }
}

void StopSound() {
    Post("Stop");
}

void SilenceAlarmSound() {
    g_silenced = true;
    Post("Stop");
}

void EndAlarmSilence() {
    g_silenced = false;
}

bool AlarmSoundSilenced() {
    return g_silenced;
}

bool AlarmSoundLooping() {
    return g_looping;
}

}  // namespace sentrel

#include "sound.moc"
