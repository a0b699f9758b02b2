// The scheduler against real scan passes: HTTPD nodes on loopback peers that
// answer, or that hold the connection so a pass outlasts the interval.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <chrono>
#include <string>
#include <vector>

#include "config/settings.h"
#include "engine/node_table.h"
#include "engine/scan_pass.h"
#include "engine/scan_scheduler.h"
#include "support/tcp_peer.h"

namespace sentrel {
namespace {

using namespace std::chrono_literals;
using testing::TcpPeer;

// The scheduler's view of the main window, as a test sees it.
class ButtonsWindow : public SchedulerWindow {
  public:
    void SetRunCaption(const std::string& caption) override { caption_ = caption; }
    void SetSetupEnabled(bool enabled) override { setupEnabled_ = enabled; }
    void RedrawWhole() override {
        ++redraws_;
        rowsAtRedraw_ = StatusRows();
    }

    std::string caption_ = kRunCaption;
    bool setupEnabled_ = true;
    int redraws_ = 0;
    std::vector<std::string> rowsAtRedraw_;
};

class SchedulerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetEngineStateForTesting();
        ResetSettingsForTesting();
    }
    void TearDown() override {
        ScanAbort = 1;
        EXPECT_TRUE(WaitForScanPass(10s));
        ResetEngineStateForTesting();
        ResetSettingsForTesting();
    }

    // One HTTPD node on the peer; the settings as the scheduler and pass read them.
    void Configure(const std::string& secs, const std::string& maxSecs, const TcpPeer& peer,
                   int nodes = 1) {
        MonitorSettings s;
        s.Secs = secs;
        s.MAXSecs = maxSecs;
        for (int i = 0; i < nodes; ++i) {
            NodeEntry node{"127.0.0.1", std::to_string(peer.port()), "node" + std::to_string(i),
                           HTTPD};
            s.NodeList[static_cast<std::size_t>(i)] = node;
            NodeTable::Instance().SetNode(i, node);
        }
        SetCurrentSettingsForTesting(s);
    }

    static bool WaitFor(const std::function<bool()>& condition, int ms) {
        return QTest::qWaitFor(condition, ms);
    }

    ButtonsWindow window_;
    ScanScheduler scheduler_{&window_};
};

TEST_F(SchedulerTest, RunStartsAPassAtOnceThenEveryInterval) {
    TcpPeer peer(TcpPeer::Behaviour::Answer, 321);
    ASSERT_TRUE(peer.listening());
    Configure("1", "3", peer);

    QElapsedTimer clock;
    clock.start();
    scheduler_.OnRunStop();
    EXPECT_EQ(window_.caption_, "STOP");
    EXPECT_FALSE(window_.setupEnabled_);
    EXPECT_EQ(MonitorRunning.load(), 1);
    EXPECT_TRUE(scheduler_.TimerArmed());
    EXPECT_EQ(scheduler_.TimerIntervalMs(), kFirstTickMs);

    ASSERT_TRUE(WaitFor([&] { return scheduler_.PassesStarted() == 1; }, 2000));
    const qint64 firstStart = clock.elapsed();
    EXPECT_LT(firstStart, 500);
    const std::string lastScan = GetLastScanText();
    ASSERT_EQ(lastScan.size(), 25u);
    EXPECT_EQ(lastScan.back(), '\n');
    EXPECT_TRUE(scheduler_.TimerArmed());
    EXPECT_EQ(scheduler_.TimerIntervalMs(), 1000);

    ASSERT_TRUE(WaitFor(
        [&] { return NodeTable::Instance().Get(0).status.statusText == "HTTP: 321 bytes. "; },
        3000));
    ASSERT_TRUE(WaitFor([&] { return scheduler_.PassesStarted() == 2; }, 3000));
    const qint64 gap = clock.elapsed() - firstStart;
    EXPECT_GE(gap, 950);
    EXPECT_LT(gap, 1600);
    EXPECT_TRUE(WaitFor([&] { return peer.accepted() == 2; }, 2000)) << "one connection per pass";
}

TEST_F(SchedulerTest, TicksWhileAPassOutlastsTheIntervalStartNothing) {
    TcpPeer peer(TcpPeer::Behaviour::Silent);
    ASSERT_TRUE(peer.listening());
    Configure("1", "3", peer);  // the pass waits about 3 s for the silent peer

    scheduler_.OnRunStop();
    ASSERT_TRUE(WaitFor([&] { return scheduler_.PassesStarted() == 1; }, 2000));
    const std::string lastScan = GetLastScanText();
    ASSERT_TRUE(WaitFor([&] { return scheduler_.TicksSeen() >= 3; }, 3000));
    EXPECT_EQ(ScanBusy.load(), 1) << "the first pass must still be waiting for its probe";
    EXPECT_EQ(scheduler_.PassesStarted(), 1);
    EXPECT_EQ(GetLastScanText(), lastScan) << "shows the start of the pass that runs";
    EXPECT_EQ(peer.accepted(), 1);
    EXPECT_TRUE(scheduler_.TimerArmed()) << "a skipped tick re-arms";
    EXPECT_EQ(MonitorRunning.load(), 1);

    // Once the pass has given up on the peer, a later tick starts the next one.
    ASSERT_TRUE(WaitFor([&] { return scheduler_.PassesStarted() == 2; }, 4000));
    EXPECT_EQ(NodeTable::Instance().Get(0).status.failCount, 1);
}

TEST_F(SchedulerTest, StopAndRunAtOnceWaitsAFullIntervalForTheNextPass) {
    TcpPeer peer(TcpPeer::Behaviour::Silent);
    ASSERT_TRUE(peer.listening());
    Configure("1", "2", peer, 2);

    scheduler_.OnRunStop();
    ASSERT_TRUE(WaitFor([&] { return peer.accepted() >= 1; }, 2000));
    ASSERT_EQ(scheduler_.PassesStarted(), 1);

    // STOP during the pass.
    scheduler_.OnRunStop();
    EXPECT_EQ(ScanAbort.load(), 1);
    EXPECT_FALSE(scheduler_.TimerArmed());
    EXPECT_EQ(MonitorRunning.load(), 0);
    EXPECT_EQ(window_.caption_, "RUN");
    EXPECT_TRUE(window_.setupEnabled_);
    EXPECT_EQ(window_.redraws_, 1);
    ASSERT_EQ(window_.rowsAtRedraw_.size(), 2u);
    for (const std::string& row : window_.rowsAtRedraw_) {
        EXPECT_EQ(row.substr(41), "*unknown*");
    }

    // RUN again at once: the 10 ms tick finds the old pass still ending.
    QElapsedTimer clock;
    clock.start();
    scheduler_.OnRunStop();
    EXPECT_EQ(window_.caption_, "STOP");
    ASSERT_TRUE(WaitFor([&] { return scheduler_.TicksSeen() == 2; }, 1000));
    EXPECT_EQ(scheduler_.PassesStarted(), 1);
    EXPECT_EQ(scheduler_.TimerIntervalMs(), 1000);

    ASSERT_TRUE(WaitFor([&] { return scheduler_.PassesStarted() == 2; }, 5000));
    EXPECT_GE(clock.elapsed(), 990) << "the next pass comes one interval after the tick";
    // The aborted pass finished only the node it was probing.
    EXPECT_TRUE(peer.WaitForAccepted(2, 3s));
    EXPECT_EQ(peer.receivedPerConnection().at(0), "GET /\n");
}

TEST_F(SchedulerTest, NonPositiveIntervalRunsButStartsNoPass) {
    TcpPeer peer(TcpPeer::Behaviour::Answer, 10);
    ASSERT_TRUE(peer.listening());
    for (const char* secs : {"", "0", "-5", "abc"}) {
        SCOPED_TRACE(secs);
        Configure(secs, "3", peer);
        scheduler_.OnRunStop();
        EXPECT_EQ(MonitorRunning.load(), 1);
        EXPECT_EQ(window_.caption_, "STOP");
        EXPECT_FALSE(window_.setupEnabled_);
        EXPECT_FALSE(scheduler_.TimerArmed());
        QTest::qWait(120);
        EXPECT_EQ(scheduler_.PassesStarted(), 0);
        scheduler_.OnRunStop();
        EXPECT_EQ(MonitorRunning.load(), 0);
    }
    EXPECT_EQ(peer.accepted(), 0);
}

TEST_F(SchedulerTest, ATickThatFindsNoIntervalStartsTheLastPass) {
    TcpPeer peer(TcpPeer::Behaviour::Answer, 10);
    ASSERT_TRUE(peer.listening());
    Configure("0", "3", peer);
    scheduler_.OnScanTimer();
    EXPECT_EQ(scheduler_.PassesStarted(), 1);
    EXPECT_FALSE(scheduler_.TimerArmed());
    EXPECT_EQ(MonitorRunning.load(), 0) << "only an armed tick marks monitoring as running";
    EXPECT_TRUE(WaitForScanPass(5s));
    EXPECT_EQ(peer.accepted(), 1);
}

}  // namespace
}  // namespace sentrel

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
