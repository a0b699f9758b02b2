// The sound facility on Qt Multimedia. One QSoundEffect at a time, owned by the
// application object and touched only on its thread (the GUI thread). Every call
// is posted to that thread as a queued call, also from the GUI thread itself, so
// that calls from different threads take effect in the order they were made.
#include "platform/sound.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMetaObject>
#include <QPointer>
#include <QSoundEffect>
#include <QString>
#include <QUrl>
#include <mutex>
#include <utility>

static void InitSoundResources() {
    Q_INIT_RESOURCE(sound);
}

namespace sentrel {

namespace {

constexpr const char* kDefaultSoundUrl = "qrc:/sentrel/sound/default_alarm.wav";

// GUI thread only.
QPointer<QSoundEffect> g_current;

void StopCurrent() {
    if (g_current) {
        QSoundEffect* effect = g_current;
        g_current = nullptr;
        effect->disconnect();
        effect->stop();
        // It may be the sender of the signal being handled right now.
        effect->deleteLater();
    }
}

void StartEffect(const QUrl& source, bool loop, bool fallBackToDefault);

void StartDefault(bool loop) {
    static std::once_flag resourcesReady;
    std::call_once(resourcesReady, InitSoundResources);
    StartEffect(QUrl(QString::fromLatin1(kDefaultSoundUrl)), loop, false);
}

// Replaces the playing sound with a new one. With fallBackToDefault, a source
// that fails to load or decode gives way to the bundled default sound.
void StartEffect(const QUrl& source, bool loop, bool fallBackToDefault) {
    StopCurrent();
    auto* effect = new QSoundEffect(QCoreApplication::instance());
    g_current = effect;
    effect->setLoopCount(loop ? QSoundEffect::Infinite : 1);
    QObject::connect(effect, &QSoundEffect::statusChanged, effect,
                     [effect, loop, fallBackToDefault]() {
                         if (effect->status() != QSoundEffect::Error || g_current != effect) {
                             return;
                         }
                         if (fallBackToDefault) {
                             StartDefault(loop);
                         } else {
                             StopCurrent();
                         }
                     });
    effect->setSource(source);
    if (g_current == effect) {
        effect->play();
    }
}

// A path the sound effect can be asked to load: an existing, readable file.
// Anything else cannot be played, which is known without trying.
bool PlayableFile(const QString& path, QUrl* url) {
    if (path.isEmpty()) {
        return false;
    }
    QFileInfo info(path);
    if (!info.isFile() || !info.isReadable()) {
        return false;
    }
    *url = QUrl::fromLocalFile(info.absoluteFilePath());
    return true;
}

template <typename F>
void PostToGuiThread(F&& action) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(app, std::forward<F>(action), Qt::QueuedConnection);
}

}  // namespace

void PlayAlarmSound(const std::string& path, bool loop) {
    QString file = QString::fromLocal8Bit(path.data(), static_cast<qsizetype>(path.size()));
    PostToGuiThread([file, loop]() {
        QUrl url;
        if (PlayableFile(file, &url)) {
            StartEffect(url, loop, true);
        } else {
            StartDefault(loop);
        }
    });
}

void PlayTestSound(const std::string& path) {
    QString file = QString::fromLocal8Bit(path.data(), static_cast<qsizetype>(path.size()));
    PostToGuiThread([file]() {
        QUrl url;
        if (PlayableFile(file, &url)) {
            StartEffect(url, false, false);
        } else {
            StopCurrent();
        }
    });
}

void StopSound() {
    PostToGuiThread([]() { StopCurrent(); });
}

}  // namespace sentrel
