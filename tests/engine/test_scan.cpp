// The node table, whole scan passes against loopback peers, and the scheduler's
// RUN/STOP and interval timer.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <filesystem>
#include <regex>

#include "config/settings.h"
#include "engine/ping_probe.h"
#include "engine/scan_pass.h"
#include "engine/scan_scheduler.h"
#include "support/harness.h"

namespace sentrel {
namespace {

using namespace testing;
const std::string kAnswer = "<html>hello from the loopback peer</html>\n";
const std::string kOk = "HTTP: 42 bytes. ";
const std::regex kStamp(
    "[A-Z][a-z]{2} [A-Z][a-z]{2} [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}");

NodeSlot Slot(int i) {
    return NodeTable::Instance().Get(i);
}

TEST(NodeTable, CutsFieldsCountsFailuresAndResets) {
    ResetEngineStateForTesting();
    NodeTable& table = NodeTable::Instance();
    table.SetStatus(7, {"", "PING: 3 ms. ", 0, 2});
    table.SetNode(7, {std::string(150, 'a'), "123456789", std::string(120, 't'), PING});
    table.SetIpText(7, std::string(40, '1'));
    EXPECT_EQ(Slot(7).node, (NodeEntry{std::string(99, 'a'), "12345", std::string(99, 't'), PING}));
    EXPECT_EQ(Slot(7).status.ipText + Slot(7).status.statusText,
              std::string(29, '1') + "PING: 3 ms. ");
    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ(table.ApplyProbeResult(7, n == 2 ? -1 : 0).statusText,
                  "*ERROR* count: " + std::to_string(n));
    }
    const NodeStatus ok = table.ApplyProbeResult(7, 512);
    EXPECT_EQ(ok.statusText + std::to_string(ok.failCount) + std::to_string(ok.alarmCount),
              "PING: 512 ms. 00");
    table.Modify(7, [](NodeSlot& s) { s.status.failCount = INT32_MAX; });
    EXPECT_EQ(table.ApplyProbeResult(7, 0).failCount, INT32_MAX);  // no wrap round
    table.SetNode(0, {"one", "", "", HTTPD});
    table.SetNode(1, {"two", "81", "", HTTPD});
    table.DefaultPortIfEmpty(1, "80");
    EXPECT_EQ(StatusRows().size(), 2u);  // rows end at the first empty address
    EXPECT_EQ(Slot(1).node.port, "81");
    table.ResetStatusTexts();  // STOP: the texts only
    EXPECT_EQ(Slot(7).status.statusText + std::to_string(Slot(7).status.failCount),
              "*unknown*" + std::to_string(INT32_MAX));
    ResetNodeTable();
    EXPECT_EQ(Slot(7).node, NodeEntry{});
    EXPECT_EQ(Slot(7).status.ipText + Slot(7).status.statusText +
                  std::to_string(Slot(7).status.failCount),
              "*unknown*0");
}

class Pass : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetEngineStateForTesting(), ResetSettingsForTesting();
        settings_.MAXSecs = "3";
    }
    void TearDown() override {
        ScanAbort = 1;
        EXPECT_TRUE(WaitForScanPass(20s));
        ResetEngineStateForTesting(), ResetSettingsForTesting();
    }
    void Add(int i, const std::string& address, const std::string& port,
             std::int32_t type = HTTPD) {
        settings_.NodeList[static_cast<std::size_t>(i)] = {address, port, "", type};
        NodeTable::Instance().SetNode(i, settings_.NodeList[static_cast<std::size_t>(i)]);
    }
    void Run() { SetCurrentSettingsForTesting(settings_), ScanCycle(); }
    // The file's lines without their time stamps, which must have the line shape.
    std::vector<std::string> Lines(const std::string& path) {
        std::vector<std::string> lines;
        std::string text = ReadFile(path);
        for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos;
             at = end + 2) {
            const std::string line = text.substr(at, end - at);
            EXPECT_TRUE(line.size() < 24 || std::regex_match(line.substr(0, 24), kStamp)) << line;
            lines.push_back(line.size() < 24 ? line : line.substr(24));
        }
        return lines;
    }
    TempDir dir_;
    LoopbackPeer web_{LoopbackPeer::Mode::Answer, kAnswer};
    MonitorSettings settings_;
    RecordingWindow window_;
    const std::string refused_ = std::to_string(LoopbackPeer::RefusedPort());
};

std::string Row(std::string name, const std::string& status) {
    return name.append(41 - name.size(), ' ') + status;
}

TEST_F(Pass, CountsFailuresWritesLogAndReportAndResetsOnSuccess) {
    Add(0, "127.0.0.1", web_.portText());
    Add(1, "127.0.0.1", refused_);
    settings_.Log_Flag = settings_.Report_Flag = settings_.Fmt_Text = true;
    settings_.Log_File_Name = dir_.file("sentrel.log");
    settings_.Report_File_Name = dir_.file("report.txt");
    Run();
    EXPECT_EQ(window_.Calls(),
              (std::vector<std::string>{"title:Sentrel v1.2 - scanning...",
                                        "title:Sentrel v1.2 - scanning: 127.0.0.1", "redraw",
                                        "title:Sentrel v1.2 - scanning: 127.0.0.1", "redraw",
                                        "title:Sentrel v1.2 - sleeping...", "redraw"}));
    const auto redraws = window_.Redraws();
    ASSERT_EQ(redraws.size(), 3u);
    EXPECT_EQ(redraws[0],
              (std::vector<std::string>{Row("127.0.0.1 port:" + web_.portText(), kOk),
                                        Row("127.0.0.1 port:" + refused_, "*unknown*")}));
    EXPECT_EQ(redraws[1][1], Row("127.0.0.1 port:" + refused_, "*ERROR* count: 1"));
    Run(), Run();
    EXPECT_EQ(Slot(1).status.failCount, 3);
    EXPECT_EQ(Lines(settings_.Log_File_Name),
              (std::vector<std::string>{"  Server: 127.0.0.1 - *ERROR* count: 1 ",
                                        "  Server: 127.0.0.1 - *ERROR* count: 2 ",
                                        "  Server: 127.0.0.1 - *ERROR* count: 3 "}));
    EXPECT_EQ(
        Lines(settings_.Report_File_Name),
        (std::vector<std::string>{"Sentrel Report: ", "", "  Server: 127.0.0.1 - " + kOk + " ",
                                  "  Server: 127.0.0.1 - *ERROR* count: 3 "}));
    NodeTable::Instance().Modify(
        1, [&](NodeSlot& s) { s.node.port = web_.portText(), s.status.alarmCount = 1; });
    settings_.Success = true;
    Run();
    EXPECT_EQ(Slot(1).status.statusText +
                  std::to_string(Slot(1).status.failCount + Slot(1).status.alarmCount),
              kOk + "0");
    EXPECT_EQ(Lines(settings_.Log_File_Name).size(), 5u);
    EXPECT_EQ(web_.accepted(), 5);
    EXPECT_TRUE(window_.Messages().empty());
}

TEST_F(Pass, AddressesPortsLookupsAndUnwritableFiles) {
    const std::string longAddress = "1" + std::string(89, 'x');
    Add(0, "127.0.0.1", "");
    Add(1, "3com.example", "", PING);
    Add(2, "localhost", web_.portText());
    Add(3, longAddress, web_.portText());
    settings_.Log_Flag = settings_.Report_Flag = settings_.Fmt_Text = true;
    settings_.Log_File_Name = dir_.file("missing/sentrel.log");
    settings_.Report_File_Name = dir_.file("missing/report.txt");
    Run();
    EXPECT_EQ(Slot(0).node.port, "80");  // the default port is stored, and shows no port part
    EXPECT_EQ(StatusRows()[0].substr(0, 41), Row("127.0.0.1", ""));
    EXPECT_EQ(Slot(1).status.ipText + Slot(1).status.statusText, "3com.example*ERROR* count: 1");
    EXPECT_EQ(Slot(2).status.ipText + Slot(2).status.statusText, "127.0.0.1" + kOk);
    std::vector<std::string> calls = window_.Calls(), messages;
    const auto at =
        std::find(calls.begin(), calls.end(), "title:Sentrel v1.2 - scanning: localhost");
    ASSERT_LT(at + 3, calls.end());
    EXPECT_EQ(std::vector<std::string>(at + 1, at + 3),
              (std::vector<std::string>{"cursor:on", "cursor:off"}));
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "cursor:on"), 1);
    EXPECT_NE(std::find(calls.begin(), calls.end(),
                        "title:Sentrel v1.2 - scanning: " + longAddress.substr(0, 75)),
              calls.end());
    for (const auto& m : window_.Messages()) {
        messages.push_back(m.text);
    }
    const std::string log = "*ERROR* Could not open LOG file.",
                      report = "*ERROR* Could not open report file.";
    EXPECT_EQ(messages, (std::vector<std::string>{report, log, report, log, report, report, log, report}));
    settings_.Report_Flag = false;
    settings_.Log_File_Name = "/dev/full";  // a write that fails part way is a failed line
    Run();
    const auto again = window_.Calls();  // the looked-up address is kept
    EXPECT_EQ(std::count(again.begin() + static_cast<long>(calls.size()), again.end(), "cursor:on"), 0);
    EXPECT_EQ(window_.Messages().size(), messages.size() + 3);
    EXPECT_EQ(window_.Messages().back().text, log);
}

TEST_F(Pass, StopDuringAPassProbesNoMoreAndRaisesNoAlarm) {
    Add(0, "127.0.0.1", refused_);
    Add(1, "127.0.0.1", web_.portText());
    Add(2, "127.0.0.1", refused_);
    settings_.Num_Fails = "1", settings_.Max_Alarms = "5", settings_.Launch_Flag = true;
    settings_.Command_Line = "touch " + dir_.file("launched");
    window_.onRedraw = [](const std::vector<std::string>&) {
        if (ScanBusy == 1) {
            ScanAbort = 1, NodeTable::Instance().ResetStatusTexts();  // what STOP does
        }
    };
    Run();
    EXPECT_EQ(window_.Calls().size(), 5u);  // one node: titles and redraws of one node only
    EXPECT_EQ(web_.accepted(), 0);
    EXPECT_EQ(std::vector<int>(
                  {Slot(0).status.failCount, Slot(0).status.alarmCount, Slot(2).status.failCount}),
              std::vector<int>({1, 0, 0}));
    EXPECT_FALSE(std::filesystem::exists(dir_.file("launched")));
    window_.onRedraw = nullptr;
    ScanAbort = 0;
    Run();  // the same pass without STOP raises the alarm
    EXPECT_EQ(Slot(2).status.alarmCount, 1);
    EXPECT_TRUE(std::filesystem::exists(dir_.file("launched")));
}

TEST_F(Pass, ThePassThreadStartsOnceIsJoinedAndRacesNoReset) {
    for (int i = 0; i < 5; ++i) {
        Add(i, "127.0.0.1", web_.portText());
    }
    SetCurrentSettingsForTesting(settings_);
    std::atomic<bool> release{false};
    std::atomic<int> abortSeen{-1};
    window_.onRedraw = [&](const std::vector<std::string>&) {
        abortSeen = ScanAbort.load();
        WaitUntil([&] { return release.load(); }, 10s);
    };
    ScanAbort = 1;
    ASSERT_TRUE(StartScanPass());
    EXPECT_FALSE(StartScanPass());
    EXPECT_FALSE(WaitForScanPass(50ms));
    release = true;
    EXPECT_TRUE(WaitForScanPass(10s));
    EXPECT_FALSE(ScanPassRunning());
    EXPECT_EQ(abortSeen.load() + ScanBusy.load(), 0);
    window_.onRedraw = nullptr;
    // STOP's reset and the rows on this thread while passes write on another; a
    // finished pass nobody waited for is joined by the next start.
    std::thread passes([] {
        for (int n = 0; n < 20; WaitUntil([] { return ScanBusy == 0; }, 20s)) {
            n += StartScanPass();
        }
    });
    while (web_.accepted() < 105) {
        NodeTable::Instance().ResetStatusTexts();
        for (const std::string& row : StatusRows()) {
            ASSERT_TRUE(row.substr(41) == "*unknown*" || row.substr(41) == kOk) << row;
        }
    }
    passes.join();
}

class Scheduler : public Pass, public SchedulerWindow {
  protected:
    void SetRunCaption(const std::string& caption) override { caption_ = caption; }
    void SetSetupEnabled(bool enabled) override { setup_ = enabled; }
    void RedrawWhole() override { rows_ = StatusRows(); }
    void Configure(const std::string& secs, const std::string& maxSecs, const LoopbackPeer& peer,
                   int nodes = 1) {
        settings_.Secs = secs, settings_.MAXSecs = maxSecs;
        for (int i = 0; i < nodes; ++i) {
            Add(i, "127.0.0.1", peer.portText());
        }
        SetCurrentSettingsForTesting(settings_);
    }
    std::string State() {
        return caption_ + (setup_ ? " setup" : "") + (scheduler_.TimerArmed() ? " armed" : "") +
               std::to_string(MonitorRunning);
    }
    static bool Pump(const std::function<bool()>& condition, int ms) {
        return QTest::qWaitFor(condition, ms);
    }
    std::string caption_ = "RUN";
    bool setup_ = true;
    std::vector<std::string> rows_;
    ScanScheduler scheduler_{this};
};

TEST_F(Scheduler, RunStartsAPassAtOnceThenOneEveryInterval) {
    Configure("1", "3", web_);
    QElapsedTimer clock;
    clock.start();
    scheduler_.OnRunStop();
    EXPECT_EQ(State(), "STOP armed1");
    ASSERT_TRUE(Pump([&] { return scheduler_.PassesStarted() == 1; }, 2000));
    const qint64 first = clock.elapsed();
    EXPECT_LT(first, 500);
    EXPECT_TRUE(
        std::regex_match(GetLastScanText(), std::regex(".{24}\n")));  // asctime form, two-digit day
    EXPECT_TRUE(std::regex_match(GetLastScanText().substr(0, 24), kStamp)) << GetLastScanText();
    ASSERT_TRUE(Pump([&] { return scheduler_.PassesStarted() == 2; }, 3000));
    EXPECT_GE(clock.elapsed() - first, 950);
    EXPECT_LT(clock.elapsed() - first, 1600);
    EXPECT_TRUE(Pump([&] { return web_.accepted() == 2; }, 2000)) << "one connection per pass";
    EXPECT_EQ(Slot(0).status.statusText, kOk);
}

TEST_F(Scheduler, TicksDuringALongPassStartNothingAndStopRunWaitsAFullInterval) {
    LoopbackPeer silent(LoopbackPeer::Mode::Silent);
    Configure("1", "2", silent, 2);
    scheduler_.OnRunStop();
    ASSERT_TRUE(Pump([&] { return scheduler_.PassesStarted() == 1; }, 2000));
    const std::string lastScan = GetLastScanText();
    ASSERT_TRUE(Pump([&] { return scheduler_.TicksSeen() >= 3; }, 3000));
    EXPECT_EQ(scheduler_.PassesStarted() + ScanBusy, 2) << "the first pass still waits";
    EXPECT_EQ(GetLastScanText(), lastScan);
    EXPECT_EQ(State(), "STOP armed1");
    scheduler_.OnRunStop();  // STOP during the pass
    EXPECT_EQ(State(), "RUN setup0");
    EXPECT_EQ(ScanAbort.load(), 1);
    EXPECT_EQ(rows_,
              std::vector<std::string>(2, Row("127.0.0.1 port:" + silent.portText(), "*unknown*")));
    QElapsedTimer clock;
    clock.start();
    scheduler_.OnRunStop();  // RUN again at once: the first tick finds the old pass ending
    ASSERT_TRUE(Pump([&] { return scheduler_.PassesStarted() == 2; }, 5000));
    EXPECT_GE(clock.elapsed(), 990);
    EXPECT_TRUE(
        WaitUntil([&] { return silent.accepted() == 2; }));  // the aborted pass probed one node
    EXPECT_EQ(silent.received()[0], "GET /\n");
}

TEST_F(Scheduler, NoIntervalRunsWithoutPassesAndALastTickStartsTheLastPass) {
    for (const char* secs : {"", "0", "-5", "abc"}) {
        Configure(secs, "3", web_);
        scheduler_.OnRunStop();
        EXPECT_EQ(State(), "STOP1") << secs;
        QTest::qWait(60);
        scheduler_.OnRunStop();
    }
    EXPECT_EQ(scheduler_.PassesStarted(), 0);
    scheduler_.OnScanTimer();
    EXPECT_EQ(scheduler_.PassesStarted(), 1);
    EXPECT_EQ(State(), "RUN setup0");  // only an armed tick marks monitoring as running
    EXPECT_TRUE(WaitForScanPass(5s));
    EXPECT_EQ(web_.accepted(), 1);
}

}  // namespace
}  // namespace sentrel

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
