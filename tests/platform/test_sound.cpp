// The sound facility against a private PulseAudio server with a null sink whose
// monitor is recorded: what is played is measured as energy over time.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/sound.h"
#include "support/pulse_server.h"
#include "support/temp_dir.h"

namespace sentrel {
namespace {

using testing::PulseRecorder;
using testing::PulseServer;
using testing::TempDir;

constexpr int kRecordRate = 16000;
constexpr int kWindowMs = 20;
constexpr int kWindow = kRecordRate * kWindowMs / 1000;
constexpr double kLoudRms = 1000.0;  // the test tones have an RMS of about 11000
// Qt's sound effect ends its audio stream up to about 150 ms before the end of a
// file played once; the lengths measured below allow for that.
constexpr int kTailCutMs = 170;

PulseServer* g_server = nullptr;

// Writes a 16-bit PCM mono WAV file holding a sine tone.
void WriteToneWav(const std::string& path, double hz, double seconds) {
    const int rate = 22050;
    const auto frames = static_cast<std::uint32_t>(rate * seconds);
    std::string data;
    for (std::uint32_t n = 0; n < frames; ++n) {
        auto s = static_cast<std::int16_t>(16000.0 * std::sin(2 * M_PI * hz * n / rate));
        data.push_back(static_cast<char>(s & 0xff));
        data.push_back(static_cast<char>((s >> 8) & 0xff));
    }
    auto u32 = [](std::uint32_t v) {
        std::string b;
        for (int i = 0; i < 4; ++i) {
            b.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
        }
        return b;
    };
    auto u16 = [](std::uint16_t v) {
        return std::string{static_cast<char>(v & 0xff), static_cast<char>(v >> 8)};
    };
    std::string wav = "RIFF" + u32(36 + static_cast<std::uint32_t>(data.size())) + "WAVE" + "fmt " +
                      u32(16) + u16(1) + u16(1) + u32(rate) + u32(rate * 2) + u16(2) + u16(16) +
                      "data" + u32(static_cast<std::uint32_t>(data.size())) + data;
    ASSERT_TRUE(testing::WriteFileBytes(path, wav));
}

// Lets queued calls and the audio machinery run for a while.
void Spin(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
}

// Calls from a plain thread, as the scan pass does.
template <typename F>
void FromScanThread(F&& f) {
    std::thread t(std::forward<F>(f));
    t.join();
}

// Per-window loudness of a stretch of the recording.
struct Loudness {
    std::vector<double> rms;  // one per kWindowMs window

    int FirstLoud(int from = 0) const {
        for (int i = std::max(from, 0); i < static_cast<int>(rms.size()); ++i) {
            if (rms[static_cast<std::size_t>(i)] > kLoudRms) {
                return i;
            }
        }
        return -1;
    }
    int LastLoud() const {
        for (int i = static_cast<int>(rms.size()) - 1; i >= 0; --i) {
            if (rms[static_cast<std::size_t>(i)] > kLoudRms) {
                return i;
            }
        }
        return -1;
    }
    // Share of loud windows within [from, to).
    double LoudShare(int from, int to) const {
        int loud = 0;
        int all = 0;
        for (int i = std::max(from, 0); i < std::min(to, static_cast<int>(rms.size())); ++i) {
            ++all;
            loud += rms[static_cast<std::size_t>(i)] > kLoudRms ? 1 : 0;
        }
        return all == 0 ? 0.0 : static_cast<double>(loud) / all;
    }
};

class SoundTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (g_server == nullptr || !g_server->ok()) {
            GTEST_SKIP() << "no PulseAudio server: "
                         << (g_server ? g_server->error() : std::string("not started"));
        }
        recorder_ = std::make_unique<PulseRecorder>(*g_server, kRecordRate);
        ASSERT_TRUE(recorder_->ok()) << recorder_->error();
        tone440_ = dir_.File("tone440.wav");
        tone1000_ = dir_.File("tone1000.wav");
        WriteToneWav(tone440_, 440, 0.5);
        WriteToneWav(tone1000_, 1000, 0.4);
        notWave_ = dir_.File("not-a-wave.wav");
        ASSERT_TRUE(testing::WriteFileBytes(notWave_, "this is not a sound at all\r\n"));
    }
    void TearDown() override {
        StopSound();
        Spin(300);
        recorder_.reset();
    }

    // The recording's sample index now: the reference for what follows.
    std::size_t Mark() const { return recorder_->SampleCount(); }

    Loudness LoudnessSince(std::size_t mark) const {
        std::vector<std::int16_t> s = recorder_->Samples();
        Loudness l;
        for (std::size_t at = mark; at + kWindow <= s.size(); at += kWindow) {
            double sum = 0;
            for (std::size_t i = at; i < at + kWindow; ++i) {
                sum += static_cast<double>(s[i]) * s[i];
            }
            l.rms.push_back(std::sqrt(sum / kWindow));
        }
        return l;
    }

    // Share of the signal's power at one frequency (Goertzel) over [from, to) windows.
    double PowerShareAt(std::size_t mark, int from, int to, double hz) const {
        std::vector<std::int16_t> s = recorder_->Samples();
        const std::size_t begin = mark + static_cast<std::size_t>(from) * kWindow;
        const std::size_t end = std::min(s.size(), mark + static_cast<std::size_t>(to) * kWindow);
        if (end <= begin) {
            return 0.0;
        }
        const double w = 2 * M_PI * hz / kRecordRate;
        double s1 = 0;
        double s2 = 0;
        double total = 0;
        for (std::size_t i = begin; i < end; ++i) {
            double x = s[i];
            double s0 = x + 2 * std::cos(w) * s1 - s2;
            s2 = s1;
            s1 = s0;
            total += x * x;
        }
        const double power = s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
        const auto n = static_cast<double>(end - begin);
        return total == 0 ? 0.0 : (2.0 * power / n) / total;
    }

    static int Windows(int ms) { return ms / kWindowMs; }

    TempDir dir_;
    std::unique_ptr<PulseRecorder> recorder_;
    std::string tone440_;
    std::string tone1000_;
    std::string notWave_;
};

TEST_F(SoundTest, AlarmPlaysTheFileOnce) {
    const std::size_t mark = Mark();
    FromScanThread([&] { PlayAlarmSound(tone440_, false); });
    Spin(1800);
    Loudness l = LoudnessSince(mark);
    const int on = l.FirstLoud();
    ASSERT_GE(on, 0) << "nothing arrived";
    EXPECT_LT(on, Windows(800));
    const int length = l.LastLoud() - on + 1;
    EXPECT_GE(length, Windows(500 - kTailCutMs));
    EXPECT_LE(length, Windows(580));
    EXPECT_GT(PowerShareAt(mark, on, on + length, 440), 0.5);
}

TEST_F(SoundTest, LoopingAlarmPlaysOnUntilStopped) {
    const std::size_t mark = Mark();
    FromScanThread([&] { PlayAlarmSound(tone440_, true); });
    Spin(2000);
    Loudness before = LoudnessSince(mark);
    const int on = before.FirstLoud();
    ASSERT_GE(on, 0) << "nothing arrived";
    const int now = static_cast<int>(before.rms.size());
    // Well past the file's 0.5 s the tone is still there, without gaps.
    ASSERT_GT(now - on, Windows(1000));
    EXPECT_GT(before.LoudShare(on, now), 0.95);
    EXPECT_GT(before.LoudShare(now - Windows(300), now), 0.95);

    // The GUI thread stops what the scan thread started.
    const std::size_t stopMark = Mark();
    StopSound();
    Spin(1200);
    Loudness after = LoudnessSince(stopMark);
    // Audio already buffered may still drain; then silence for good.
    const int quietFrom = Windows(500);
    EXPECT_EQ(after.FirstLoud(quietFrom), -1);
    EXPECT_GT(static_cast<int>(after.rms.size()), quietFrom + Windows(400));
}

TEST_F(SoundTest, UnplayableAlarmPlaysTheDefaultSound) {
    for (const std::string& path : {dir_.File("missing.wav"), notWave_}) {
        SCOPED_TRACE(path);
        const std::size_t mark = Mark();
        FromScanThread([&] { PlayAlarmSound(path, false); });
        Spin(2000);
        Loudness l = LoudnessSince(mark);
        const int on = l.FirstLoud();
        ASSERT_GE(on, 0) << "no default sound";
        const int length = l.LastLoud() - on + 1;
        // The bundled chime: about 0.6 s, high tone then low tone.
        EXPECT_GE(length, Windows(450));
        EXPECT_LE(length, Windows(700));
        EXPECT_GT(PowerShareAt(mark, on, on + Windows(200), 880), 0.3);
        EXPECT_GT(PowerShareAt(mark, on + Windows(330), on + Windows(500), 660), 0.3);
        EXPECT_LT(PowerShareAt(mark, on, on + length, 440), 0.05);
    }
}

TEST_F(SoundTest, UnplayableLoopingAlarmLoopsTheDefaultSound) {
    const std::size_t mark = Mark();
    FromScanThread([&] { PlayAlarmSound(notWave_, true); });
    Spin(2200);
    Loudness l = LoudnessSince(mark);
    const int on = l.FirstLoud();
    ASSERT_GE(on, 0) << "no default sound";
    // The chime (0.6 s of sound in 0.85 s) comes again after its pause.
    ASSERT_GT(static_cast<int>(l.rms.size()), on + Windows(1500));
    EXPECT_LT(l.LoudShare(on + Windows(650), on + Windows(830)), 0.2);
    EXPECT_GT(l.LoudShare(on + Windows(900), on + Windows(1400)), 0.8);
    EXPECT_GT(PowerShareAt(mark, on + Windows(870), on + Windows(1050), 880), 0.3);
}

TEST_F(SoundTest, TestSoundPlaysOnceAndNothingWhenUnplayable) {
    std::size_t mark = Mark();
    PlayTestSound(tone1000_);  // from the GUI thread, as the Alerts page does
    Spin(1500);
    Loudness l = LoudnessSince(mark);
    const int on = l.FirstLoud();
    ASSERT_GE(on, 0) << "nothing arrived";
    const int length = l.LastLoud() - on + 1;
    EXPECT_GE(length, Windows(400 - kTailCutMs));
    EXPECT_LE(length, Windows(480));
    EXPECT_GT(PowerShareAt(mark, on, on + length, 1000), 0.5);

    for (const std::string& path : {dir_.File("missing.wav"), notWave_, std::string()}) {
        SCOPED_TRACE(path);
        mark = Mark();
        PlayTestSound(path);
        Spin(1500);
        Loudness quiet = LoudnessSince(mark);
        EXPECT_GT(static_cast<int>(quiet.rms.size()), Windows(1200));
        EXPECT_EQ(quiet.FirstLoud(), -1);
    }
}

TEST_F(SoundTest, NewSoundEndsThePlayingOne) {
    const std::size_t mark = Mark();
    PlayAlarmSound(tone440_, true);
    Spin(1200);
    const std::size_t switchMark = Mark();
    FromScanThread([&] { PlayTestSound(tone1000_); });
    Spin(1800);
    ASSERT_GE(LoudnessSince(mark).FirstLoud(), 0) << "the looping alarm never arrived";
    Loudness l = LoudnessSince(switchMark);
    const int on = l.FirstLoud();
    ASSERT_GE(on, 0);
    // After the test tone has ended, the looping alarm does not come back.
    const int end = l.LastLoud();
    EXPECT_LT(end, Windows(1100));
    EXPECT_GT(static_cast<int>(l.rms.size()) - end, Windows(500));
    // The last loud stretch is the new tone, not the old one.
    EXPECT_GT(PowerShareAt(switchMark, end - Windows(200), end, 1000), 0.5);
    EXPECT_LT(PowerShareAt(switchMark, end - Windows(200), end, 440), 0.05);
}

}  // namespace
}  // namespace sentrel

#if defined(__SANITIZE_THREAD__)
// Qt Multimedia and the PulseAudio client library run threads of their own that
// synchronise inside these uninstrumented libraries; only races seen from
// instrumented code (ours) are of interest here.
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}
#endif

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // The server must be known before the first sound creates the audio client.
    auto server = std::make_unique<sentrel::testing::PulseServer>();
    if (server->ok()) {
        setenv("PULSE_SERVER", server->address().c_str(), 1);
    }
    sentrel::g_server = server.get();
    int rc = 0;
    {
        QCoreApplication app(argc, argv);
        rc = RUN_ALL_TESTS();
    }
    sentrel::g_server = nullptr;
    server.reset();
    return rc;
}
