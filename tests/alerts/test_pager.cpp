// The numeric page against a pseudo-terminal standing in for the modem: the
// alarm form from a plain thread as the scan pass pages, the Test button's form
// from this (the GUI) thread.
#include <gtest/gtest.h>
#include <termios.h>

#include <QSerialPort>

#include "alerts/pager.h"
#include "support/pty_modem.h"

namespace sentrel {
namespace {

using namespace std::chrono_literals;
using testing::Clock;
using testing::PtyModem;
using testing::RecordingWindow;
constexpr int kUnit = 100;  // milliseconds per pause unit here

long long Ms(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

PageOutcome Page(const PageRequest& request, bool testForm = false) {
    if (testForm) {
        return SendPage(request, true);
    }
    PageOutcome outcome = PageOutcome::NoPort;
    std::thread([&] { outcome = SendPage(request); }).join();
    return outcome;
}

PageRequest On(const std::string& device, const std::string& phone = "1",
               const std::string& message = "2", int delay = 1) {
    return PageRequest{true, false, device, "/nonexistent/tty", phone, message, delay};
}
const std::string kShortest = "atz\ratd1,,2\r\rath0\ratz\r";  // On(device) as it goes out

class Pager : public ::testing::Test {
  protected:
    void SetUp() override { SetPagerPauseUnitForTesting(kUnit); }
    void TearDown() override {
        SetPagerPauseUnitForTesting(1000);
        SetPagerAfterOpenHookForTesting({});
    }
};

TEST_F(Pager, WritesTheDialogueWithItsPauses) {
    struct Row {
        std::string phone, message;
        int delay;
        std::string bytes;
    };
    for (const Row& row :
         {Row{"0123456789", "4321#", 1, "atz\ratd0123456789,,4321#\r\rath0\ratz\r"},
          Row{"12", "", 9, "atz\ratd12,,,,,,,,,,\r\rath0\ratz\r"},
          Row{"5551234", "911", 0, "atz\ratd5551234,,,,,911\r\rath0\ratz\r"}}) {
        PtyModem modem;
        ASSERT_EQ(Page(On(modem.slavePath(), row.phone, row.message, row.delay)),
                  PageOutcome::Sent);
        ASSERT_TRUE(modem.WaitForBytes(row.bytes.size(), 2s));
        EXPECT_EQ(modem.Bytes(), row.bytes);
        const auto gap = [&](std::size_t from, std::size_t to) {
            return Ms(modem.ArrivalOf(to) - modem.ArrivalOf(from));
        };
        // Arrival times are taken by a reader thread: early by a little, late by more.
        const std::size_t dialEnd = row.bytes.find('\r', 4);
        const long long afterDial = (15 + (row.delay ? row.delay : 4)) * kUnit +
                                    static_cast<long long>(dialEnd - 3) * 10'000 / 2400;
        for (auto [got, want] :
             {std::pair{gap(0, 4), 1LL * kUnit}, std::pair{gap(dialEnd, dialEnd + 1), afterDial}}) {
            EXPECT_GE(got, want - 60) << row.bytes;
            EXPECT_LT(got, want + 400) << row.bytes;
        }
        EXPECT_LT(gap(dialEnd + 1, row.bytes.size() - 1), kUnit);  // the tail without pauses
    }
}

// Closing the port puts its old settings back at once: the tail must be on the
// line before (10 bytes at 2400 bit/s take 42 ms).
TEST_F(Pager, TheLineKeepsItsSettingsUntilTheTailIsSent) {
    for (const bool testForm : {false, true}) {
        PtyModem modem;
        Clock::time_point restored{};  // when the speed went back from 2400 bit/s
        std::thread watch([&] {
            termios line{};
            const auto end = Clock::now() + 10s;
            for (bool set = false; restored == Clock::time_point{} && Clock::now() < end;) {
                tcgetattr(modem.master(), &line);
                set = set || cfgetospeed(&line) == B2400;
                restored = set && cfgetospeed(&line) != B2400 ? Clock::now() : restored;
                std::this_thread::sleep_for(1ms);
            }
        });
        EXPECT_EQ(Page(On(modem.slavePath()), testForm), PageOutcome::Sent);
        watch.join();
        ASSERT_TRUE(modem.WaitForBytes(kShortest.size(), 2s));
        EXPECT_GE(Ms(restored - modem.ArrivalOf(kShortest.size() - 1)), 30) << testForm;
    }
}

TEST_F(Pager, PortFaultsAndADroppedLine) {
    using Arrange = std::function<void(PageRequest&, QSerialPort&, PtyModem&)>;
    struct Row {
        const char* name;
        Arrange arrange;
        bool testForm;
        PageOutcome outcome;
        std::string message, bytes;
        int minUnits, maxUnits;
    };
    const Arrange hangUp = [](PageRequest&, QSerialPort&, PtyModem& modem) {
        SetPagerAfterOpenHookForTesting([&modem] { modem.HangUp(); });
    };
    const std::string portError = "Comm Port could not be used.";
    for (const Row& row : std::vector<Row>{
             {"missing", [](auto&r, auto&, auto&) { r.com1Device = "/nonexistent/tty"; }, false,
              PageOutcome::PortUnusable, portError, "", 0, 1},
             {"none chosen", [](auto&r, auto&, auto&) { r.com1 = false; }, false,
              PageOutcome::NoPort, portError, "", 0, 1},
             {"held",
              [](auto&r, QSerialPort&holder, auto&) {
                  holder.setPortName(QString::fromStdString(r.com1Device));
                  holder.open(QIODevice::ReadWrite);
              },
              false, PageOutcome::PortUnusable, portError, "", 0, 1},
             {"COM2 wins",
              [](auto&r, auto&, auto&) {
                  std::swap(r.com1Device, r.com2Device);
                  r.com2 = true;
              },
              false, PageOutcome::Sent, "", kShortest, 17, 20},
             {"dropped, test form", hangUp, true, PageOutcome::WriteFailed,
              "Could not send data to Comm Port..", "", 0, 1},
             {"dropped, alarm form", hangUp, false, PageOutcome::Sent, "", "", 17, 20}}) {
        PtyModem modem;
        PageRequest request = On(modem.slavePath());
        QSerialPort holder;
        row.arrange(request, holder, modem);
        RecordingWindow window;
        const auto start = Clock::now();
        EXPECT_EQ(Page(request, row.testForm), row.outcome) << row.name;
        EXPECT_GE(Ms(Clock::now() - start), row.minUnits * kUnit) << row.name;
        EXPECT_LT(Ms(Clock::now() - start), row.maxUnits * kUnit) << row.name;
        const auto messages = window.Messages();
        ASSERT_EQ(messages.size(), row.message.empty() ? 0u : 1u) << row.name;
        if (!messages.empty()) {
            EXPECT_EQ(messages[0].text + "|" + messages[0].caption, row.message + "|Paging Error");
            EXPECT_EQ(messages[0].icon, MessageIcon::Stop);
        }
        modem.WaitForBytes(row.bytes.size(), 2s);
        EXPECT_EQ(modem.Bytes(), row.bytes) << row.name;
        SetPagerAfterOpenHookForTesting({});
    }
}

}  // namespace
}  // namespace sentrel
