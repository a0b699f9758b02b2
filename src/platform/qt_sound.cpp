#include "platform/qt_sound.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSoundEffect>
#include <QString>
#include <QUrl>

namespace sentrel {

namespace {

// One QSoundEffect at a time, owned by the application object.
class QtSoundPlayer : public SoundPlayer {
  public:
    void Play(const std::string& file, bool loop, bool fallBack) override {
        Start(file.empty() ? QUrl(QString::fromLatin1(DefaultSoundUrl()))
                           : QUrl::fromLocalFile(QString::fromLocal8Bit(file.c_str())),
              loop, fallBack && !file.empty());
    }

    void Stop() override {
        if (current_) {
            QSoundEffect* effect = current_;
            current_ = nullptr;
            effect->disconnect();
            effect->stop();
            // It may be the sender of the signal being handled right now.
            effect->deleteLater();
        }
    }

  private:
    // Replaces the playing sound. With fallBack, a source that fails to load or
    // decode gives way to the bundled chime.
    void Start(const QUrl& source, bool loop, bool fallBack) {
        Stop();
        auto* effect = new QSoundEffect(QCoreApplication::instance());
        current_ = effect;
        effect->setLoopCount(loop ? QSoundEffect::Infinite : 1);
        QObject::connect(effect, &QSoundEffect::statusChanged, effect,
                         [this, effect, loop, fallBack]() {
                             if (effect->status() != QSoundEffect::Error || current_ != effect) {
                                 return;
                             }
                             if (fallBack) {
                                 Play({}, loop, false);
                             } else {
                                 Stop();
                             }
                         });
        effect->setSource(source);
        if (current_ == effect) {
            effect->play();
        }
    }

    QPointer<QSoundEffect> current_;
};

}  // namespace

std::shared_ptr<SoundPlayer> MakeQtSoundPlayer() {
    return std::make_shared<QtSoundPlayer>();
}

}  // namespace sentrel
