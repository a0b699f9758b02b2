// The numeric page against a pseudo-terminal standing in for the modem. The
// pager runs on a plain thread, as it does in the scan pass.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSerialPort>
#include <QTimer>
#include <chrono>
#include <string>
#include <thread>

#include "alerts/pager.h"
#include "support/pty_modem.h"
#include "support/recording_window.h"

namespace sentrel {
namespace {

using namespace std::chrono_literals;
using testing::PtyModem;
using testing::RecordingWindow;
using Clock = std::chrono::steady_clock;

constexpr int kFastUnitMs = 100;
// Arrival times are taken when the reader thread gets to the bytes, which on a
// loaded machine can be late by some tens of milliseconds: a measured gap can
// come out shorter than the pause by that much, or longer.
constexpr int kEarlyMs = 60;
constexpr int kLateMs = 400;

class PagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(modem_.ok()) << modem_.error();
        SetPagerPauseUnitForTesting(kFastUnitMs);
    }
    void TearDown() override {
        SetPagerPauseUnitForTesting(1000);
        SetPagerAfterOpenHookForTesting({});
    }

    PageRequest RequestOnCom1(const std::string& phone, const std::string& message, int delay) {
        PageRequest r;
        r.com1 = true;
        r.com1Device = modem_.slavePath();
        r.com2Device = "/nonexistent/sentrel-tty";
        r.phone = phone;
        r.message = message;
        r.delay = delay;
        return r;
    }

    // Runs the page on its own thread, as the scan pass does.
    static PageOutcome PageOnThread(const PageRequest& request, bool testForm = false) {
        PageOutcome outcome = PageOutcome::Sent;
        std::thread t([&] { outcome = SendPage(request, testForm); });
        t.join();
        return outcome;
    }

    static long long Ms(Clock::duration d) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    }

    PtyModem modem_;
    RecordingWindow window_;
};

std::string Dialogue(const std::string& phone, const std::string& message, int delay) {
    return "atz\r"
           "atd" +
           phone + std::string(static_cast<std::size_t>(delay + 1), ',') + message +
           "\r"
           "\r"
           "ath0\r"
           "atz\r";
}

TEST_F(PagerTest, WritesTheWholeDialogueByteForByte) {
    EXPECT_EQ(PageOnThread(RequestOnCom1("5551234", "911", 4)), PageOutcome::Sent);
    ASSERT_TRUE(modem_.WaitForBytes(Dialogue("5551234", "911", 4).size(), 2s));
    EXPECT_EQ(modem_.Bytes(), "atz\ratd5551234,,,,,911\r\rath0\ratz\r");
    EXPECT_TRUE(window_.Messages().empty());
}

TEST_F(PagerTest, EmptyMessageAndOutOfRangeDelay) {
    EXPECT_EQ(PageOnThread(RequestOnCom1("12", "", 2)), PageOutcome::Sent);
    ASSERT_TRUE(modem_.WaitForBytes(Dialogue("12", "", 2).size(), 2s));
    EXPECT_EQ(modem_.Bytes(), "atz\ratd12,,,\r\rath0\ratz\r");

    // A delay that cannot come from the settings is taken as the default 4.
    const std::size_t before = modem_.Bytes().size();
    EXPECT_EQ(PageOnThread(RequestOnCom1("1", "2", 0)), PageOutcome::Sent);
    ASSERT_TRUE(modem_.WaitForBytes(before + Dialogue("1", "2", 4).size(), 2s));
    EXPECT_EQ(modem_.Bytes().substr(before), Dialogue("1", "2", 4));
}

// Commas and pauses for the extreme delays; the pauses are measured as gaps
// between the arrival of the rows at the modem.
class PagerDelayTest : public PagerTest, public ::testing::WithParamInterface<int> {};

TEST_P(PagerDelayTest, CommasAndPausesFollowTheDelay) {
    const int delay = GetParam();
    const std::string phone = "0123456789";
    const std::string message = "4321#";
    const std::string expected = Dialogue(phone, message, delay);
    ASSERT_EQ(PageOnThread(RequestOnCom1(phone, message, delay)), PageOutcome::Sent);
    ASSERT_TRUE(modem_.WaitForBytes(expected.size(), 2s));
    ASSERT_EQ(modem_.Bytes(), expected);
    EXPECT_EQ(modem_.Bytes().find(std::string(static_cast<std::size_t>(delay + 1), ',') + "4321"),
              4 + 3 + phone.size());

    const std::size_t dialAt = 4;
    const std::size_t dialEnd = expected.find('\r', dialAt);  // last byte of the dial
    const std::size_t hangUpAt = dialEnd + 1;                 // the lone "\r"
    const auto reset = *modem_.ArrivalOf(0);
    const auto dial = *modem_.ArrivalOf(dialAt);
    const auto dialed = *modem_.ArrivalOf(dialEnd);
    const auto after = *modem_.ArrivalOf(hangUpAt);
    const auto last = *modem_.ArrivalOf(expected.size() - 1);

    const long long afterReset = Ms(dial - reset);
    EXPECT_GE(afterReset, kFastUnitMs - kEarlyMs);
    EXPECT_LT(afterReset, kFastUnitMs + kLateMs);
    const long long afterDial = Ms(after - dialed);
    const long long wanted = (15LL + delay) * kFastUnitMs;
    EXPECT_GE(afterDial, wanted - kEarlyMs);
    EXPECT_LT(afterDial, wanted + kLateMs);
    // Rows 3 to 5 follow one another without a pause.
    EXPECT_LT(Ms(last - after), kFastUnitMs);
}

INSTANTIATE_TEST_SUITE_P(ShortestAndLongest, PagerDelayTest, ::testing::Values(1, 9));

TEST_F(PagerTest, RealTimeDialogueWithDelayOneTakesSeventeenSeconds) {
    SetPagerPauseUnitForTesting(1000);
    const auto start = Clock::now();
    ASSERT_EQ(PageOnThread(RequestOnCom1("555", "77", 1)), PageOutcome::Sent);
    const long long total = Ms(Clock::now() - start);
    const std::string expected = Dialogue("555", "77", 1);
    ASSERT_TRUE(modem_.WaitForBytes(expected.size(), 2s));
    EXPECT_EQ(modem_.Bytes(), expected);
    const long long afterReset = Ms(*modem_.ArrivalOf(4) - *modem_.ArrivalOf(0));
    const long long afterDial =
        Ms(*modem_.ArrivalOf(expected.find('\r', 4) + 1) - *modem_.ArrivalOf(4));
    EXPECT_GE(afterReset, 1000 - kEarlyMs);
    EXPECT_LT(afterReset, 1000 + kLateMs);
    EXPECT_GE(afterDial, 16000 - kEarlyMs);
    EXPECT_LT(afterDial, 16000 + kLateMs);
    EXPECT_GE(total, 17000);
    EXPECT_LT(total, 18500);
}

TEST_F(PagerTest, SecondPortWinsWhenBothAreChosen) {
    PageRequest r = RequestOnCom1("1", "2", 1);
    r.com1Device = "/nonexistent/sentrel-tty";
    r.com2Device = modem_.slavePath();
    r.com2 = true;
    EXPECT_EQ(PageOnThread(r), PageOutcome::Sent);
    ASSERT_TRUE(modem_.WaitForBytes(Dialogue("1", "2", 1).size(), 2s));
    EXPECT_EQ(modem_.Bytes(), Dialogue("1", "2", 1));
    EXPECT_TRUE(window_.Messages().empty());
}

void ExpectOnePortError(const RecordingWindow& window, const std::string& text) {
    auto messages = window.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, text);
    EXPECT_EQ(messages[0].caption, "Paging Error");
    EXPECT_EQ(messages[0].icon, MessageIcon::Stop);
    EXPECT_EQ(messages[0].buttons, MessageButtons::Ok);
}

TEST_F(PagerTest, MissingDeviceGivesThePortErrorAtOnce) {
    PageRequest r = RequestOnCom1("1", "2", 9);
    r.com1Device = "/nonexistent/sentrel-tty";
    SetPagerPauseUnitForTesting(1000);
    const auto start = Clock::now();
    EXPECT_EQ(PageOnThread(r), PageOutcome::PortUnusable);
    EXPECT_LT(Ms(Clock::now() - start), 1000);
    ExpectOnePortError(window_, "Comm Port could not be used.");
}

TEST_F(PagerTest, NeitherPortChosenGivesThePortError) {
    PageRequest r = RequestOnCom1("1", "2", 1);
    r.com1 = false;
    EXPECT_EQ(PageOnThread(r), PageOutcome::NoPort);
    ExpectOnePortError(window_, "Comm Port could not be used.");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(modem_.Bytes(), "");
}

TEST_F(PagerTest, PortHeldByAnotherUserGivesThePortError) {
    QSerialPort holder;
    holder.setPortName(QString::fromStdString(modem_.slavePath()));
    ASSERT_TRUE(holder.open(QIODevice::WriteOnly)) << holder.errorString().toStdString();

    EXPECT_EQ(PageOnThread(RequestOnCom1("1", "2", 1)), PageOutcome::PortUnusable);
    ExpectOnePortError(window_, "Comm Port could not be used.");

    // Once the other user lets go, the port is usable again.
    holder.close();
    window_.Clear();
    EXPECT_EQ(PageOnThread(RequestOnCom1("1", "2", 1)), PageOutcome::Sent);
    ASSERT_TRUE(modem_.WaitForBytes(Dialogue("1", "2", 1).size(), 2s));
    EXPECT_EQ(modem_.Bytes(), Dialogue("1", "2", 1));
    EXPECT_TRUE(window_.Messages().empty());
}

TEST_F(PagerTest, TestFormStopsWhenTheFirstWriteFails) {
    // The line drops right after the port has opened.
    SetPagerAfterOpenHookForTesting([this] { modem_.HangUp(); });
    SetPagerPauseUnitForTesting(1000);
    const auto start = Clock::now();
    EXPECT_EQ(PageOnThread(RequestOnCom1("1", "2", 9), true), PageOutcome::WriteFailed);
    // No pause was taken: it ended at the first write.
    EXPECT_LT(Ms(Clock::now() - start), 1000);
    ExpectOnePortError(window_, "Could not send data to Comm Port..");
}

TEST_F(PagerTest, AlarmFormRunsItsCourseOnADroppedLine) {
    SetPagerAfterOpenHookForTesting([this] { modem_.HangUp(); });
    const auto start = Clock::now();
    EXPECT_EQ(PageOnThread(RequestOnCom1("1", "2", 1)), PageOutcome::Sent);
    EXPECT_GE(Ms(Clock::now() - start), 17LL * kFastUnitMs - 5);
    EXPECT_TRUE(window_.Messages().empty());
}

// The Alerts page's Test button: the test form, on the GUI thread.
TEST_F(PagerTest, TestFormRunsOnTheGuiThread) {
    int argc = 1;
    char name[] = "test_pager";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    PageOutcome outcome = PageOutcome::NoPort;
    const PageRequest request = RequestOnCom1("99", "1", 1);
    QTimer::singleShot(0, &app, [&] {
        outcome = SendPage(request, true);
        app.quit();
    });
    QTimer::singleShot(30000, &app, [&] { app.exit(1); });
    EXPECT_EQ(app.exec(), 0);
    EXPECT_EQ(outcome, PageOutcome::Sent);
    ASSERT_TRUE(modem_.WaitForBytes(Dialogue("99", "1", 1).size(), 2s));
    EXPECT_EQ(modem_.Bytes(), Dialogue("99", "1", 1));
    EXPECT_TRUE(window_.Messages().empty());
}

TEST(PageRequestFromSettingsTest, TakesPortsDevicesAndDialValues) {
    MonitorSettings s;
    s.Com_2 = true;
    s.Pager_Phone = "5551234";
    s.Pager_Message = "911";
    s.Pager_Delay = 7;
    PageRequest r = PageRequestFromSettings(s);
    EXPECT_FALSE(r.com1);
    EXPECT_TRUE(r.com2);
    EXPECT_EQ(r.com1Device, "/dev/ttyS0");
    EXPECT_EQ(r.com2Device, "/dev/ttyS1");
    EXPECT_EQ(r.phone, "5551234");
    EXPECT_EQ(r.message, "911");
    EXPECT_EQ(r.delay, 7);

    s.Com_1_Device = "/dev/ttyUSB0";
    s.Com_2_Device = "/dev/ttyACM3";
    s.Pager_Delay = 0;  // never loaded
    r = PageRequestFromSettings(s);
    EXPECT_EQ(r.com1Device, "/dev/ttyUSB0");
    EXPECT_EQ(r.com2Device, "/dev/ttyACM3");
    EXPECT_EQ(r.delay, 4);
}

}  // namespace
}  // namespace sentrel
