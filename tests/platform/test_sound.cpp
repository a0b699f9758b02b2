// The sound facility against a private PulseAudio server with a null sink: what
// plays is read back from the sink's monitor as loud or quiet 20 ms windows.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <cmath>

#include "platform/sound.h"
#include "support/pulse_server.h"

namespace sentrel {
namespace {

testing::PulseServer* g_pulse = nullptr;
constexpr int kWindow = testing::PulseServer::kRate / 50;

// A 16-bit mono WAV file holding a 440 Hz tone.
std::string Tone(double seconds) {
    const auto le = [](std::size_t v, int bytes) {
        std::string b;
        for (int i = 0; i < bytes; ++i) {
            b += static_cast<char>(v >> (8 * i));
        }
        return b;
    };
    std::string data;
    for (int n = 0; n < 22050 * seconds; ++n) {
        data += le(static_cast<std::uint16_t>(16000 * std::sin(2 * M_PI * 440 * n / 22050)), 2);
    }
    return "RIFF" + le(36 + data.size(), 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(1, 2) +
           le(22050, 4) + le(44100, 4) + le(2, 2) + le(16, 2) + "data" + le(data.size(), 4) + data;
}

// Runs the call, lets the audio play for ms, and returns a '#' for every loud
// window and a '.' for every quiet one since the call.
std::string Heard(const std::function<void()>& call, int ms) {
    const std::size_t mark = g_pulse->Samples().size();
    call();
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    const std::vector<std::int16_t> s = g_pulse->Samples();
    std::string heard;
    for (std::size_t at = mark; at + kWindow <= s.size(); at += kWindow) {
        double sum = 0;
        for (std::size_t i = at; i < at + kWindow; ++i) {
            sum += static_cast<double>(s[i]) * s[i];
        }
        heard += std::sqrt(sum / kWindow) > 1000 ? '#' : '.';
    }
    return heard;
}

TEST(Sound, PlaysLoopsStopsAndFallsBackToTheChime) {
    if (g_pulse == nullptr) {
        GTEST_SKIP() << "no PulseAudio server";
    }
    testing::TempDir dir;
    ASSERT_TRUE(testing::WriteFile(dir.file("tone.wav"), Tone(1.0)));
    ASSERT_TRUE(testing::WriteFile(dir.file("bad.wav"), "not a sound\r\n"));
    const auto onScanThread = [](auto call) { return [call] { std::thread(call).join(); }; };
    struct Row {
        const char* name;
        std::function<void()> call;
        int minLoud, maxLoud;  // windows from the first loud one to the last, all loud
    };
    for (const Row& row : std::vector<Row>{
             // Qt ends a sound played once up to 150 ms early.
             {"once", onScanThread([&] { PlayAlarmSound(dir.file("tone.wav"), false); }), 41, 54},
             {"chime", onScanThread([&] { PlayAlarmSound(dir.file("bad.wav"), false); }), 22, 35},
             {"test, unplayable", [&] { PlayTestSound(dir.file("bad.wav")); }, 0, 0},
             {"loop", onScanThread([&] { PlayAlarmSound(dir.file("tone.wav"), true); }), 90,
              125}}) {
        const std::string heard = Heard(row.call, 2500);
        const auto first = heard.find('#'), last = heard.rfind('#');
        const std::string loud =
            first == std::string::npos ? "" : heard.substr(first, last - first + 1);
        EXPECT_EQ(loud, std::string(loud.size(), '#')) << row.name << ": " << heard;
        EXPECT_GE(static_cast<int>(loud.size()), row.minLoud) << row.name << ": " << heard;
        EXPECT_LE(static_cast<int>(loud.size()), row.maxLoud) << row.name << ": " << heard;
    }
    // The looping sound ends at StopSound (what was buffered may still drain).
    EXPECT_EQ(Heard(StopSound, 1500).find('#', 25), std::string::npos);
}

}  // namespace
}  // namespace sentrel

#if defined(__SANITIZE_THREAD__)
// Qt's threads, Qt Multimedia's and PulseAudio's synchronise inside libraries
// ThreadSanitizer does not see; only races seen from our own code count.
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}
#endif

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    sentrel::testing::PulseServer pulse;  // known before the first sound makes its client
    setenv("PULSE_SERVER", pulse.address().c_str(), 1);
    sentrel::g_pulse = pulse.ok() ? &pulse : nullptr;
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
