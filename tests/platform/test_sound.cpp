// The sound facility against a private PulseAudio server, heard through its null sink.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <numeric>

#include "platform/qt_sound.h"
#include "platform/server_sound.h"
#include "support/pulse_server.h"

namespace sentrel {
namespace {

testing::PulseServer* g_pulse = nullptr;
constexpr int kWindow = 16000 / 50;  // 20 ms of the recording

// A 16-bit mono WAV file of a 440 Hz tone (this machine is little-endian, as WAV is).
std::string Tone(double seconds) {
    std::vector<std::int16_t> pcm(static_cast<std::size_t>(22050 * seconds));
    for (std::size_t n = 0; n < pcm.size(); ++n) {
        pcm[n] = static_cast<std::int16_t>(16000 * std::sin(2 * M_PI * 440 * n / 22050));
    }
    const std::uint32_t size = pcm.size() * 2,
                        head[] = {0x46464952, 36 + size, 0x45564157, 0x20746d66, 16,  0x10001,
                                  22050,      44100,     0x100002,   0x61746164, size};
    return std::string(reinterpret_cast<const char*>(head), sizeof head) +
           std::string(reinterpret_cast<const char*>(pcm.data()), size);
}

// Runs the call, lets it play for ms, and returns each 20 ms since: '#' loud, '.' quiet.
std::string Heard(const std::function<void()>& call, int ms) {
    const std::size_t mark = g_pulse->Samples().size();
    call();
    QEventLoop playing;
    QTimer::singleShot(ms, &playing, &QEventLoop::quit);
    playing.exec();
    const std::vector<std::int16_t> s = g_pulse->Samples();
    std::string heard;
    for (std::size_t at = mark; at + kWindow <= s.size(); at += kWindow) {
        const double power = std::inner_product(&s[at], &s[at] + kWindow, &s[at], 0.0) / kWindow;
        heard += power > 1000 * 1000 ? '#' : '.';
    }
    return heard;
}

// Both players a program can choose, heard the same way. A loop through the sound server
// restarts paplay (a short gap each time); a starved machine may drop a window or two.
class Sound : public ::testing::TestWithParam<std::pair<const char*, int>> {};

TEST_P(Sound, PlaysLoopsStopsAndFallsBackToTheChime) {
    ASSERT_NE(g_pulse, nullptr) << "the PulseAudio server did not start";
    const auto [player, gaps] = GetParam();
#if defined(__SANITIZE_THREAD__)
    if (player == std::string("server")) {
        GTEST_SKIP() << "paplay is started by fork, which ThreadSanitizer refuses once threads run";
    }
#endif
    SetSoundPlayer(player == std::string("qt") ? MakeQtSoundPlayer() : MakeServerSoundPlayer());
    testing::TempDir dir;
    ASSERT_TRUE(testing::WriteFile(dir.file("t.wav"), Tone(1.0)));
    ASSERT_TRUE(testing::WriteFile(dir.file("bad.wav"), "not a sound\r\n"));
    const auto onScanThread = [](auto call) { return [call] { std::thread(call).join(); }; };
    // From the first loud window to the last: the least and the most of them, and
    // the longest quiet run allowed between (Qt ends a sound played once up to 150 ms early).
    for (const auto& [name, call, least, most, quiet] :
         std::vector<std::tuple<const char*, std::function<void()>, int, int, int>>{
             {"once", onScanThread([&] { PlayAlarmSound(dir.file("t.wav"), false); }), 41, 54, 2},
             {"chime", onScanThread([&] { PlayAlarmSound(dir.file("bad.wav"), false); }), 22, 35,
              2},
             {"chime", onScanThread([&] { PlayAlarmSound(dir.file("none.wav"), false); }), 22, 35,
              2},
             {"test, unplayable", [&] { PlayTestSound(dir.file("bad.wav")); }, 0, 0, 0},
             // A late wake-up records more than 2.5 s; a loop is loud throughout.
             {"loop", onScanThread([&] { PlayAlarmSound(dir.file("t.wav"), true); }), 90, 1000,
              gaps}}) {
        const std::string heard = Heard(call, 2500);
        const std::size_t first = heard.find('#'), last = heard.find_last_of('#');
        const int loud = first == std::string::npos ? 0 : static_cast<int>(last - first + 1);
        int gap = 0;  // the longest quiet run between
        for (int run = 0, i = static_cast<int>(first); loud > 0 && i < static_cast<int>(last);
             ++i) {
            gap = std::max(gap, run = heard[static_cast<std::size_t>(i)] == '.' ? run + 1 : 0);
        }
        EXPECT_TRUE(loud >= least && loud <= most && gap <= quiet)
            << player << " " << name << heard;
    }
    // The looping sound ends at StopSound (what was buffered may still drain).
    EXPECT_EQ(Heard(StopSound, 1500).find('#', 25), std::string::npos) << player;
}

INSTANTIATE_TEST_SUITE_P(Players, Sound,
                         ::testing::Values(std::pair{"qt", 2}, std::pair{"server", 15}));

}  // namespace
}  // namespace sentrel

#if defined(__SANITIZE_THREAD__)
// Qt's, Qt Multimedia's and PulseAudio's threads meet in libraries not instrumented.
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
