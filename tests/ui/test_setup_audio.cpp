// The Alerts page's audio test, heard through a private PulseAudio server: it
// plays the file once, plays nothing for a file it cannot play, and stops when
// the page is left.
#include <QApplication>
#include <QPushButton>
#include <QtTest>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "platform/sound.h"
#include "setup_test_util.h"
#include "support/pulse_server.h"
#include "support/temp_dir.h"
#include "ui/dialogs.h"
#include "ui/setup_sheet.h"

using namespace sentrel;
using namespace sentrel::testing;
using sentrel::ui::CSetup;

namespace {

constexpr int kRate = 44100;
constexpr int kLoud = 3000;  // the tone peaks at 12000; silence stays near 0

void PutLe(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

// A mono 16-bit PCM wave file holding a 440 Hz tone.
std::string ToneWave(double seconds) {
    const auto samples = static_cast<std::uint32_t>(seconds * kRate);
    std::string wav = "RIFF";
    PutLe(wav, 36 + samples * 2, 4);
    wav += "WAVEfmt ";
    PutLe(wav, 16, 4);
    PutLe(wav, 1, 2);  // PCM
    PutLe(wav, 1, 2);  // mono
    PutLe(wav, kRate, 4);
    PutLe(wav, kRate * 2, 4);
    PutLe(wav, 2, 2);
    PutLe(wav, 16, 2);
    wav += "data";
    PutLe(wav, samples * 2, 4);
    for (std::uint32_t i = 0; i < samples; ++i) {
        const double v = 12000.0 * std::sin(2.0 * M_PI * 440.0 * i / kRate);
        PutLe(wav, static_cast<std::uint16_t>(static_cast<std::int16_t>(v)), 2);
    }
    return wav;
}

int Peak(const std::vector<std::int16_t>& samples, std::size_t from, std::size_t to) {
    int peak = 0;
    for (std::size_t i = from; i < to && i < samples.size(); ++i) {
        peak = std::max(peak, std::abs(static_cast<int>(samples[i])));
    }
    return peak;
}

PulseServer* g_server = nullptr;

}  // namespace

class AudioTestTest : public QObject {
    Q_OBJECT

  private:
    // Waits until the sink carries sound after sample `from`; the offset where it was heard.
    long HeardAfter(const PulseRecorder& recorder, std::size_t from, int limitMs) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < limitMs) {
            QTest::qWait(50);
            const auto samples = recorder.Samples();
            for (std::size_t i = from; i < samples.size(); ++i) {
                if (std::abs(static_cast<int>(samples[i])) > kLoud) {
                    return static_cast<long>(i);
                }
            }
        }
        return -1;
    }

    std::unique_ptr<PulseRecorder> recorder_;
    std::unique_ptr<TempDir> dir_;

  private slots:
    void initTestCase() {
        if (!g_server || !g_server->ok()) {
            QSKIP(g_server ? g_server->error().c_str() : "no PulseAudio server");
        }
        recorder_ = std::make_unique<PulseRecorder>(*g_server, kRate);
        if (!recorder_->ok()) {
            QSKIP(recorder_->error().c_str());
        }
        dir_ = std::make_unique<TempDir>();
        QVERIFY(WriteFileBytes(dir_->File("tone.wav"), ToneWave(4.0)));
        ui::SetDialogTestModeForTesting(true);
    }
    void cleanupTestCase() { recorder_.reset(); }
    void init() { ui::ClearDialogTestStateForTesting(); }
    void cleanup() {
        QCOMPARE(CancelPendingScripts(), 0);
        QCOMPARE(ui::UnansweredDialogsForTesting(), 0);
    }

    void testPlaysAndLeavingThePageStopsIt() {
        MonitorSettings s;
        s.Wave_File = dir_->File("tone.wav");
        s.Loop_Flag = true;  // does not matter to the test
        CSetup sheet(nullptr, s);
        sheet.show();
        sheet.Tabs()->setCurrentIndex(3);
        const std::size_t before = recorder_->SampleCount();
        Click(Find<QPushButton>(&sheet, "audioTestButton"));
        const long heard = HeardAfter(*recorder_, before, 5000);
        QVERIFY2(heard >= 0, "the test sound was not heard");

        QTest::qWait(300);
        sheet.Tabs()->setCurrentIndex(0);  // the tone has about 3 s left
        QTest::qWait(500);
        const std::size_t settled = recorder_->SampleCount();
        QTest::qWait(1000);
        const auto samples = recorder_->Samples();
        QVERIFY(samples.size() > settled + kRate / 2);
        QCOMPARE(Peak(samples, settled, samples.size()), 0);
        QVERIFY(Find<QCheckBox>(&sheet, "loopFlagCheck")->isChecked());
        QVERIFY(!Find<QCheckBox>(&sheet, "audioFlagCheck")->isChecked());
        sheet.reject();
    }

    void cancelLetsTheSoundPlayOn() {
        MonitorSettings s;
        s.Wave_File = dir_->File("tone.wav");
        CSetup sheet(nullptr, s);
        sheet.show();
        sheet.Tabs()->setCurrentIndex(3);
        const std::size_t before = recorder_->SampleCount();
        Click(Find<QPushButton>(&sheet, "audioTestButton"));
        QVERIFY(HeardAfter(*recorder_, before, 5000) >= 0);
        Click(Find<QPushButton>(&sheet, "cancelButton"));
        QVERIFY(!sheet.isVisible());
        QTest::qWait(300);
        const std::size_t afterCancel = recorder_->SampleCount();
        QVERIFY(HeardAfter(*recorder_, afterCancel, 1000) >= 0);
        // End it here so the next test starts in silence.
        StopSound();
        QTest::qWait(500);
    }

    void unplayableFilePlaysNothing() {
        MonitorSettings s;
        s.Wave_File = dir_->File("missing.wav");
        CSetup sheet(nullptr, s);
        sheet.show();
        sheet.Tabs()->setCurrentIndex(3);
        QTest::qWait(300);
        const std::size_t before = recorder_->SampleCount();
        Click(Find<QPushButton>(&sheet, "audioTestButton"));
        QCOMPARE(HeardAfter(*recorder_, before, 1500), -1L);
        QVERIFY(ui::ShownMessagesForTesting().isEmpty());
        sheet.reject();
    }
};

int main(int argc, char** argv) {
    // The server must be known before the application's audio starts.
    PulseServer server;
    g_server = &server;
    if (server.ok()) {
        setenv("PULSE_SERVER", server.address().c_str(), 1);
    }
    QApplication app(argc, argv);
    AudioTestTest test;
    const int result = QTest::qExec(&test, argc, argv);
    g_server = nullptr;
    return result;
}

#include "test_setup_audio.moc"
