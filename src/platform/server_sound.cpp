#include "platform/server_sound.h"

#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QString>

namespace sentrel {

namespace {

constexpr int kServerCheckMs = 3000;

// One paplay at a time, owned by the application object; a loop starts it again
// each time it ends well.
class ServerSoundPlayer : public SoundPlayer {
  public:
    void Play(const std::string& file, bool loop, bool fallBack) override {
        Stop();
        auto* player = new QProcess(QCoreApplication::instance());
        current_ = player;
        player->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(player, &QProcess::finished, player,
                         [this, player, file, loop, fallBack](int code) {
                             if (current_ != player) {
                                 return;
                             }
                             if (code != 0 && fallBack && !file.empty()) {
                                 Play({}, loop, false);  // not a sound paplay can decode
                             } else if (code == 0 && loop) {
                                 Play(file, loop, false);
                             }
                         });
        if (!file.empty()) {
            player->start(QStringLiteral("paplay"), {QString::fromLocal8Bit(file.c_str())});
            return;
        }
        QFile wave(QString::fromLatin1(DefaultSoundResource()));
        player->start(QStringLiteral("paplay"), {});  // reads the wave from its input
        if (wave.open(QIODevice::ReadOnly)) {
            player->write(wave.readAll());
        }
        player->closeWriteChannel();
    }

    void Stop() override {
        if (current_) {
            QProcess* player = current_;
            current_ = nullptr;
            player->disconnect();
            player->kill();
            player->waitForFinished(1000);
            player->deleteLater();
        }
    }

  private:
    QPointer<QProcess> current_;
};

}  // namespace

std::shared_ptr<SoundPlayer> MakeServerSoundPlayer() {
    return std::make_shared<ServerSoundPlayer>();
}

bool SoundServerAnswers() {
    QProcess pactl;
    pactl.setProcessChannelMode(QProcess::MergedChannels);
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("info")});
    return pactl.waitForFinished(kServerCheckMs) && pactl.exitStatus() == QProcess::NormalExit &&
           pactl.exitCode() == 0;
}

}  // namespace sentrel
