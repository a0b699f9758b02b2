// The numeric page against a pseudo-terminal modem: the alarm form from a plain thread
// as the scan pass pages, the Test button's form from this (the GUI) thread.
#include <gtest/gtest.h>
#include <termios.h>

#include <QSerialPort>
#include <algorithm>

#include "alerts/pager.h"
#include "support/pty_modem.h"

namespace sentrel {
namespace {

using namespace std::chrono_literals;
using namespace testing;
constexpr int kUnit = 100;  // milliseconds per pause unit here

const auto Ms = [](Clock::duration d) { return d / 1ms; };

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

class Pager : public ::testing::Test {
  protected:
    void SetUp() override { SetPagerPauseUnitForTesting(kUnit); }
    void TearDown() override {
        SetPagerPauseUnitForTesting(1000);
        SetPagerAfterOpenHookForTesting({});
    }
};

// Every byte and pause; and as closing the port puts its old settings back at once, the tail
// (10 bytes, 42 ms at 2400 bit/s) must be on the line before the speed goes back.
TEST_F(Pager, WritesTheDialogueWithItsPausesAndDrainsItBeforeClosing) {
    std::vector<long long> drained;  // per row: from the tail's last byte to the restore
    for (const auto& [phone, message, delay, form, bytes] : std::vector<std::array<std::string, 5>>{
             {"0123456789", "4321#", "1", "alarm", "atz\ratd0123456789,,4321#\r\rath0\ratz\r"},
             {"12", "", "9", "test", "atz\ratd12,,,,,,,,,,\r\rath0\ratz\r"},
             {"5551234", "911", "4", "alarm", "atz\ratd5551234,,,,,911\r\rath0\ratz\r"}}) {
        PtyModem modem;
        Clock::time_point restored{};  // when the speed went back from 2400 bit/s
        std::thread watch([&] {
            termios line{};
            const auto end = Clock::now() + 30s;
            for (bool set = false; restored == Clock::time_point{} && Clock::now() < end;) {
                tcgetattr(modem.master(), &line);
                set = set || cfgetospeed(&line) == B2400;
                restored = set && cfgetospeed(&line) != B2400 ? Clock::now() : restored;
                std::this_thread::sleep_for(1ms);
            }
        });
        EXPECT_EQ(Page(On(modem.slavePath(), phone, message, std::stoi(delay)), form == "test"),
                  PageOutcome::Sent);
        watch.join();
        ASSERT_TRUE(modem.WaitForBytes(bytes.size(), 2s));
        EXPECT_EQ(modem.Bytes(), bytes);
        const auto gap = [&](std::size_t from, std::size_t to) {
            return Ms(modem.ArrivalOf(to) - modem.ArrivalOf(from));
        };
        // Arrival times are taken by a reader thread: early by a little, late by more.
        const std::size_t dialEnd = bytes.find('\r', 4);
        const long long afterDial =
            (15 + std::stoi(delay)) * kUnit + static_cast<long long>(dialEnd - 3) * 10'000 / 2400;
        for (auto [got, want] :
             {std::pair{gap(0, 4), 1LL * kUnit}, std::pair{gap(dialEnd, dialEnd + 1), afterDial}}) {
            EXPECT_TRUE(got >= want - 60 && got < want + 400) << got << " ms, not " << want;
        }
        EXPECT_LT(gap(dialEnd + 1, bytes.size() - 1), kUnit);  // the tail without pauses
        drained.push_back(Ms(restored - modem.ArrivalOf(bytes.size() - 1)));
    }
    // A busy machine may hold the reader thread back for longer: the median row decides.
    std::sort(drained.begin(), drained.end());
    EXPECT_GE(drained[1], 10) << ::testing::PrintToString(drained) << " ms";
}

// m: a missing device, n: no port chosen, h: held by another user, 2: both chosen
// (COM2 is the modem), d and D: the line dropped after the open, test and alarm form.
TEST_F(Pager, PortFaultsAndADroppedLine) {
    struct Row {
        char kind;
        PageOutcome outcome;
        std::string message, bytes;
    };
    const std::string portError = "Comm Port could not be used.";
    for (const Row& row :
         std::vector<Row>{{'m', PageOutcome::PortUnusable, portError, ""},
                          {'n', PageOutcome::NoPort, portError, ""},
                          {'h', PageOutcome::PortUnusable, portError, ""},
                          {'2', PageOutcome::Sent, "", "atz\ratd1,,2\r\rath0\ratz\r"},
                          {'d', PageOutcome::WriteFailed, "Could not send data to Comm Port..", ""},
                          {'D', PageOutcome::Sent, "", ""}}) {
        SCOPED_TRACE(row.kind);
        const int units = row.outcome == PageOutcome::Sent ? 17 : 0;  // the pauses it takes
        PtyModem modem;
        PageRequest request = On(row.kind == 'm' ? "/nonexistent/tty" : modem.slavePath());
        request.com1 = row.kind != 'n';
        QSerialPort holder(QString::fromStdString(modem.slavePath()));
        (void)(row.kind == 'h' && holder.open(QIODevice::ReadWrite));
        if (row.kind == '2') {
            std::swap(request.com1Device, request.com2Device), request.com2 = true;
        }
        SetPagerAfterOpenHookForTesting(std::tolower(row.kind) == 'd'
                                            ? std::function<void()>([&] { modem.HangUp(); })
                                            : nullptr);
        RecordingWindow window;
        const auto start = Clock::now();
        EXPECT_EQ(Page(request, row.kind == 'd'), row.outcome);
        EXPECT_GE(Ms(Clock::now() - start), units * kUnit);
        EXPECT_LT(Ms(Clock::now() - start), (units + (units ? 3 : 1)) * kUnit);
        const auto messages = window.Messages();
        ASSERT_EQ(messages.size(), row.message.empty() ? 0u : 1u);
        for (const RecordedMessage& m : messages) {
            EXPECT_EQ(m.text, row.message);
            EXPECT_EQ(m.caption, "Paging Error");
            EXPECT_EQ(m.icon, MessageIcon::Stop);
        }
        modem.WaitForBytes(row.bytes.size(), 2s);
        EXPECT_EQ(modem.Bytes(), row.bytes);
    }
}

}  // namespace
}  // namespace sentrel
