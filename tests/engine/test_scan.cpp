// The node table, whole scan passes against loopback peers, and the scheduler's
// RUN/STOP and interval timer.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <filesystem>
#include <regex>
#include <thread>

#include "config/settings.h"
#include "engine/pass_host.h"
#include "engine/ping_helper_client.h"
#include "engine/ping_probe.h"
#include "engine/scan_pass.h"
#include "engine/scan_scheduler.h"
#include "platform/sound.h"
#include "support/harness.h"

namespace sentrel {
namespace {

using namespace testing;
const std::string kOk = "HTTP: 42 bytes. ", kTitle = "title:Sentrel v1.2 - ";
const std::regex kStamp(R"((^|\n)[A-Z][a-z]{2} [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d \d{4})");

const auto Slot = [](int i) { return NodeTable::Instance().Get(i); };
using Shown = std::pair<std::string, std::int32_t>;  // a slot's status text and failure count
Shown Status(int i) {
    return {Slot(i).status.statusText, Slot(i).status.failCount};
}
struct Player : SoundPlayer {  // its calls come on the event loop of the application's thread
    std::string calls;
    void Play(const std::string&, bool l, bool) override { calls += l ? "loop|" : "once|"; }
    void Stop() override { calls += "stop|"; }
};
std::string Join(const std::vector<std::string>& parts) {
    std::string all;
    for (const std::string& p : parts)
        all += p + "|";
    return all;
}

TEST(NodeTable, CutsFieldsCountsFailuresAndResets) {
    testing::ResetEngine();
    NodeTable& table = NodeTable::Instance();
    table.SetStatus(7, {"", "PING: 3 ms. ", 0, 2});
    table.SetNode(7, {std::string(150, 'a'), "123456789", std::string(120, 't'), PING});
    table.SetAddress(7, {AF_INET6, {}, in6addr_loopback, 0});
    EXPECT_EQ(Slot(7).node, (NodeEntry{std::string(99, 'a'), "12345", std::string(99, 't'), PING}));
    EXPECT_EQ(std::tuple(Slot(7).status.ipText, Status(7)),
              std::tuple("::1", Shown("PING: 3 ms. ", 0)));
    EXPECT_EQ(Slot(7).status.ip.family, AF_INET6);  // the address as the probes take it
    for (const std::int32_t result : {0, -1, 0})
        table.ApplyProbeResult(7, result);
    EXPECT_EQ(Status(7), Shown("*ERROR* count: 3", 3));
    EXPECT_EQ(table.ApplyProbeResult(7, 512).alarmCount, 0);
    EXPECT_EQ(Status(7), Shown("PING: 512 ms. ", 0));
    table.Modify(7, [](NodeSlot& s) { s.status.failCount = INT32_MAX; });
    EXPECT_EQ(table.ApplyProbeResult(7, 0).failCount, INT32_MAX);  // no wrap round
    table.SetNode(0, {"one", "", "", HTTPD});
    table.SetNode(1, {"two", "81", "", HTTPD});
    table.DefaultPortIfEmpty(1, "80");
    EXPECT_EQ(std::tuple(StatusRows().size(), Slot(1).node.port), std::tuple(2u, "81"));  // a gap
    table.ResetStatusTexts();  // STOP: the texts only
    EXPECT_EQ(Status(7), Shown("*unknown*", INT32_MAX));
    ResetNodeTable();
    EXPECT_EQ(std::tuple(Slot(7).node.address, Slot(7).status.ipText, Status(7)),
              std::tuple("", "", Shown("*unknown*", 0)));
}

// A round's figures, then the thresholds' verdict at, below and above them.
TEST(EchoRound, FiguresAndThresholdsDecideExactly) {
    const std::vector<std::int64_t> lossy{10000, 30000, 10000, -1, 30000, 10000, 30000, -1};
    // clang-format off
    for (const auto& [micros, want] : std::vector<std::pair<std::vector<std::int64_t>, EchoFigures>>{
             {lossy, {8, 6, 10000, 20000, 30000, 20000}}, {{-1, 2000, -1, 1000, 9000}, {5, 3, 1000, 2000, 9000, 4500}},
             {{1000, 3000, 5000, 100000}, {4, 4, 1000, 4000, 100000, 33000}}, {{-1, -1}, {2, 0, 0, 0, 0, 0}},
             {{1500}, {1, 1, 1500, 1500, 1500, 0}}, {{kEchoNotSent, -1, 1000}, {2, 1, 1000, 1000, 1000, 0}}})
        EXPECT_EQ(FiguresOfRound(micros), want) << ::testing::PrintToString(micros);
    for (const auto& [micros, loss, slow, result, text] :
         std::vector<std::tuple<std::vector<std::int64_t>, int, int, int, std::string>>{
             {lossy, 24, 0, 0, "*ERROR* Loss: 25 %."}, {lossy, 25, 20, 0, "*ERROR* Loss: 25 %."}, {lossy, 26, 21, 20, ""},
             {lossy, 0, 20, 0, "*ERROR* Slow: 20 ms."}, {lossy, 0, 19, 0, "*ERROR* Slow: 20 ms."},
             {{-1, -1, 1000}, 67, 0, 1, ""}, {{-1, -1, 1000}, 66, 0, 0, "*ERROR* Loss: 67 %."}, {{-1, -1}, 1, 1, 0, ""},
             {{1500}, 0, 2, 0, "*ERROR* Slow: 2 ms."}, {{1500}, 100, 3, 2, ""}}) {
        // clang-format on
        const RoundVerdict v = JudgeRound(FiguresOfRound(micros), {loss, slow});
        EXPECT_EQ(std::tuple(v.result, v.failureText), std::tuple(result, text))
            << ::testing::PrintToString(micros) << " loss " << loss << " slow " << slow;
    }
}

struct Figures : PassListener {
    std::vector<EchoFigures> seen;
    void ProbeDone(const ProbeEvent& e) override { seen.push_back(e.echoes); }
};

class Pass : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::ResetEngine(), SetCurrentSettings({}), settings_.MAXSecs = "3";
    }
    void TearDown() override {
        ScanAbort = 1;
        EXPECT_TRUE(WaitForScanPass(20s));
        testing::ResetEngine();
        SetCurrentSettings({});
    }
    void Add(int i, const std::string& address, const std::string& port,
             std::int32_t type = HTTPD) {
        settings_.NodeList[static_cast<std::size_t>(i)] = {address, port, "", type};
        NodeTable::Instance().SetNode(i, {address, port, "", type});
    }
    void Run() { SetCurrentSettings(settings_), ScanCycle(host_); }
    // The file's lines ("|" for each CR LF), the time stamp at each line's start taken off.
    static std::string Lines(const std::string& path) {
        const std::string text = std::regex_replace(ReadFile(path), kStamp, "$1");
        return std::regex_replace(text, std::regex("\r\n"), "|");
    }
    TempDir dir_;
    LoopbackPeer web_{LoopbackPeer::Mode::Answer, "<html>hello from the loopback peer</html>\n"};
    MonitorSettings settings_;
    RecordingWindow window_;
    const std::string refused_ = std::to_string(LoopbackPeer::RefusedPort());
    PassHost host_;  // outlives the pass: TearDown waits for it
};

std::string Row(std::string name, const std::string& status) {
    return name.append(41 - name.size(), ' ') + status;
}

TEST_F(Pass, CountsFailuresWritesLogAndReportAndResetsOnSuccess) {
    Add(0, "127.0.0.1", web_.portText());
    Add(1, "127.0.0.1", refused_);
    settings_.Log_Flag = settings_.Report_Flag = settings_.Fmt_Text = true;
    settings_.Log_File_Name = dir_.file("sentrel.log"),
    settings_.Report_File_Name = dir_.file("report");
    Run();
    const std::string node = kTitle + "scanning: 127.0.0.1|redraw|";
    EXPECT_EQ(Join(window_.Calls()),
              kTitle + "scanning...|" + node + node + kTitle + "sleeping...|redraw|");
    const std::string ok = Row("127.0.0.1 port:" + web_.portText(), kOk),
                      bad = Row("127.0.0.1 port:" + refused_, "");
    EXPECT_EQ(std::tuple(Join(window_.Redraws().at(0)), Join(window_.Redraws().at(1))),
              std::tuple(ok + "|" + bad + "*unknown*|", ok + "|" + bad + "*ERROR* count: 1|"));
    Run();
    Run();
    const std::string failed = "  Server: 127.0.0.1 - *ERROR* count: ",
                      okLine = "  Server: 127.0.0.1 - " + kOk + " |";
    const std::string log = failed + "1 |" + failed + "2 |" + failed + "3 |";
    EXPECT_EQ(Lines(settings_.Log_File_Name), log);
    EXPECT_EQ(Lines(settings_.Report_File_Name), "Sentrel Report: ||" + okLine + failed + "3 |");
    NodeTable::Instance().Modify(
        1, [&](NodeSlot& s) { s.node.port = web_.portText(), s.status.alarmCount = 1; });
    settings_.Success = true;  // the node answers again: both counts back to 0, every probe logged
    Run();
    EXPECT_EQ(std::tuple(Status(1), Slot(1).status.alarmCount), std::tuple(Shown(kOk, 0), 0));
    EXPECT_EQ(Lines(settings_.Log_File_Name), log + okLine + okLine);
    EXPECT_EQ(web_.accepted(), 5);
    EXPECT_TRUE(window_.Messages().empty());
}

// Answering again ends a run of failures: with a recovery notice only when that run alarmed.
TEST_F(Pass, ARecoveryOnlyAfterARunThatAlarmed) {
    struct Recoveries : PassListener {
        std::vector<int> nodes;
        void NodeRecovered(const NodeAlarmEvent& e) override { nodes.push_back(e.index); }
    };
    const auto seen = std::make_shared<Recoveries>();
    host_.Add(seen);
    Add(0, "127.0.0.1", refused_), Add(1, "127.0.0.1", refused_);
    settings_.Num_Fails = "2", settings_.Max_Alarms = "1";
    for (int answers : {-1, 0, 1}) {  // both fail; node 0 answers, 1 alarms; 1 answers
        NodeTable::Instance().Modify(answers, [&](NodeSlot& s) { s.node.port = web_.portText(); });
        Run();
    }
    EXPECT_EQ(seen->nodes, std::vector<int>{1});
}

TEST_F(Pass, PortsLookupsAndLongAddresses) {
    const std::string longAddress = "1" + std::string(89, 'x');
    Add(0, "127.0.0.1", "");
    Add(1, "3com.example", "", PING);
    Add(2, "localhost", web_.portText());
    Add(3, longAddress, web_.portText());
    Add(4, "[::ffff:127.0.0.1]", web_.portText());  // brackets, IPv4-mapped: 127.0.0.1
    struct Said : PassListener {
        std::vector<std::string> lines;
        void OperatorLine(const std::string& line) override { lines.push_back(line); }
    };
    const auto said = std::make_shared<Said>();
    host_.Add(said);
    Run();
    EXPECT_EQ(std::tuple(StatusRows()[0].substr(0, 41), Slot(0).node.port),
              std::tuple(Row("127.0.0.1", ""), "80"));       // stored, not shown
    EXPECT_EQ(std::tuple(Slot(1).status.ipText, Status(1)),  // digit first: no lookup
              std::tuple("", Shown("*ERROR* Bad address: not a dotted IPv4 address.", 1)));
    EXPECT_EQ(std::tuple(Slot(2).status.ipText, Status(2)), std::tuple("127.0.0.1", Shown(kOk, 0)));
    const std::string calls = Join(window_.Calls());  // the only lookup shows the wait cursor
    EXPECT_NE(calls.find(kTitle + "scanning: localhost|cursor:on|cursor:off|redraw|"),
              std::string::npos);
    EXPECT_EQ(calls.find("cursor:on"), calls.rfind("cursor:on"));
    EXPECT_NE(calls.find(kTitle + "scanning: " + longAddress.substr(0, 75) + "|"),
              std::string::npos);
    Run();  // the address looked up is kept; what is wrong with an address is said once
    EXPECT_EQ(Join(window_.Calls()).find("cursor:on", calls.size()), std::string::npos);
    EXPECT_EQ(std::tuple(Slot(4).status.ipText, Status(4)), std::tuple("127.0.0.1", Shown(kOk, 0)));
    const std::string why = " is not probed: not a dotted IPv4 address";
    EXPECT_EQ(said->lines,
              (std::vector<std::string>{"node 3com.example" + why, "node " + longAddress + why}));
}

// A round to loopback shows its median as usual; Slow_ms 1 fails it with its own text in the
// row and the log, also for a single echo; the figures reach the event.
TEST_F(Pass, ARoundOfEchoesShowsItsMedianAndFailsItsThreshold) {
    if (PingProbe("127.0.0.1") <= 0)
        GTEST_SKIP() << "no ICMP echo to loopback here";
    const auto figures = std::make_shared<Figures>();
    host_.Add(figures);
    Add(0, "127.0.0.1", "", PING);
    Add(1, "127.0.0.1", web_.portText());
    settings_.Log_Flag = true;
    settings_.Log_File_Name = dir_.file("log");
    settings_.Echoes = 3;
    Run();
    const std::string fast = R"(PING: \d+ ms\. )", slow = R"(\*ERROR\* Slow: \d+ ms\.)";
    EXPECT_TRUE(std::regex_match(Status(0).first, std::regex(fast))) << Status(0).first;
    EXPECT_EQ(Status(0).second, 0);
    settings_.Slow_ms = 1;
    Run();
    settings_.Echoes = 1;
    Run();
    EXPECT_TRUE(std::regex_match(Status(0).first, std::regex(slow))) << Status(0).first;
    EXPECT_EQ(Status(0).second, 2);
    EXPECT_TRUE(std::regex_match(Lines(settings_.Log_File_Name),
                                 std::regex("(  Server: 127\\.0\\.0\\.1 - " + slow + " \\|){2}")));
    ASSERT_EQ(figures->seen.size(), 6u);
    EXPECT_EQ(std::tuple(figures->seen[0].sent, figures->seen[2].received, figures->seen[4].sent,
                         figures->seen[5].sent, figures->seen[2].medianMicros > 0),
              std::tuple(3, 3, 1, 0, true));
}

// Through the helper: a single echo over a 30 ms path keeps its unit for Slow_ms and the
// figures; two passes of 100 nodes (200 echoes at once) are held back by its cap, never lost.
TEST_F(Pass, ThroughTheHelperOneEchoKeepsItsUnitAndTheCapIsNoLoss) {
    const auto figures = std::make_shared<Figures>();
    bool ran = false;
    std::pair<std::string, int> slow;
    if (!InPrivateNetNamespace([&] {
            if (!SetNetSysctl("ipv4/ping_group_range", "1 0") ||
                !SetNetSysctl("ipv4/icmp_echo_ignore_all", "1"))
                return;
            PingHelperStop();  // the next probe starts a helper in this namespace
            FILE* responder =
                ::popen("exec python3 " SENTREL_TEST_SUPPORT "/echo_responder.py 4 30", "re");
            char ready[8];
            ran = responder && std::fgets(ready, sizeof ready, responder);
            host_.Add(figures);
            Add(0, "127.0.0.1", "", PING), settings_.Slow_ms = 20, Run();
            host_.Remove(figures), slow = Status(0);
            ::pclose(responder);
            SetNetSysctl("ipv4/icmp_echo_ignore_all", "0"), settings_.Slow_ms = 0;
            for (int i = 0; i < kMaxNodes; ++i)
                Add(i, "127.0.0." + std::to_string(i + 1), "", PING);
            Run(), Run();
            PingHelperStop();
        }) ||
        !ran)
        GTEST_SKIP() << "no private network namespace (needs root)";
    EXPECT_TRUE(std::regex_match(slow.first, std::regex(R"(\*ERROR\* Slow: [3-9]\d ms\.)")))
        << slow.first;
    EXPECT_EQ(slow.second, 1);
    ASSERT_EQ(figures->seen.size(), 1u);
    EXPECT_GE(figures->seen[0].medianMicros, 30000);
    for (int i = 0; i < kMaxNodes; ++i)
        EXPECT_EQ(Slot(i).status.failCount, 0) << i << ": " << Status(i).first;
}

TEST_F(Pass, StopDuringAPassProbesNoMoreRaisesNoAlarmAndEndsTheLoopingSound) {
    const auto player = std::make_shared<Player>();
    SetSoundPlayer(player);
    Add(0, "127.0.0.1", refused_);
    Add(1, "127.0.0.1", web_.portText());
    Add(2, "127.0.0.1", refused_);
    settings_.Num_Fails = "1", settings_.Max_Alarms = "5", settings_.Launch_Flag = true;
    settings_.Audio_Flag = settings_.Loop_Flag = true, settings_.Wave_File = "alarm.wav";
    settings_.Command_Line = "touch " + dir_.file("launched");
    window_.onRedraw = [](const std::vector<std::string>&) {
        if (ScanBusy == 1)
            ScanAbort = 1, NodeTable::Instance().ResetStatusTexts();  // what STOP does
    };
    Run();
    EXPECT_EQ(window_.Calls().size(), 5u);  // the titles and redraws of one node only
    EXPECT_EQ(std::tuple(web_.accepted(), Slot(0).status.failCount, Slot(0).status.alarmCount,
                         Slot(2).status.failCount),
              std::tuple(0, 1, 0, 0));
    EXPECT_FALSE(std::filesystem::exists(dir_.file("launched")));
    window_.onRedraw = nullptr;
    ScanAbort = 0;
    Run();  // the same pass without STOP raises the alarm
    EXPECT_EQ(Slot(2).status.alarmCount, 1);
    EXPECT_TRUE(std::filesystem::exists(dir_.file("launched")));
    settings_.Max_Alarms = "1", Run();  // still failing, no alarm left: the sound ends
    settings_.Max_Alarms = "2", Run(), ScanAbort = 1, Run();  // it ends at STOP as well
    QCoreApplication::processEvents();
    SetSoundPlayer(nullptr);  // the calls reach the player
    EXPECT_EQ(player->calls, "stop|loop|stop|loop|stop|");
}

// Probes that finish out of order (slow early peers, fast late ones) are committed in table
// order: titles, rows, log, report and events as in the pass that probes one node at a time;
// the pass lasts about its slowest probe, not their sum (1.5 s): two thirds of it at most.
TEST_F(Pass, AParallelPassCommitsInTableOrder) {
    struct Events : PassListener {
        std::string seen;
        void ProbeDone(const ProbeEvent& e) override {
            seen += std::to_string(e.index) + e.statusText;
        }
    };
    std::vector<std::unique_ptr<LoopbackPeer>> slow;
    for (int i = 0; i < 4; ++i)
        slow.push_back(std::make_unique<LoopbackPeer>([i](Connection& c) {
            std::string line;
            c.ReadLine(&line),
                std::this_thread::sleep_for(std::chrono::milliseconds(150 * (4 - i)));
            c.Send("<html>hello from the loopback peer</html>\n");
        }));
    settings_.Log_Flag = settings_.Report_Flag = settings_.Fmt_Text = settings_.Success = true;
    std::vector<std::string> seen[2];
    std::chrono::steady_clock::duration took[2];
    for (const int parallel : {1, 16}) {
        testing::ResetEngine();
        const auto events = std::make_shared<Events>();
        host_.Add(events);
        for (int i = 0; i < 8; ++i)
            Add(i, "127.0.0.1", i < 4 ? slow[i]->portText() : i % 2 ? refused_ : web_.portText());
        settings_.Parallel = parallel,
        settings_.Log_File_Name = dir_.file(std::to_string(parallel));
        settings_.Report_File_Name = dir_.file(std::to_string(parallel) + ".txt");
        const std::size_t calls = window_.Calls().size(), redraws = window_.Redraws().size();
        const auto start = std::chrono::steady_clock::now();
        Run();
        took[parallel > 1] = std::chrono::steady_clock::now() - start;
        host_.Remove(events);
        const auto after = window_.Calls();
        const auto rows = window_.Redraws();
        seen[parallel > 1] = {Join(std::vector(after.begin() + calls, after.end())),
                              Lines(settings_.Log_File_Name), Lines(settings_.Report_File_Name),
                              events->seen};
        for (std::size_t i = redraws; i < rows.size(); ++i)
            seen[parallel > 1].push_back(Join(rows[i]));
    }
    EXPECT_EQ(seen[1], seen[0]);
    EXPECT_GT(2 * took[0], 3 * took[1]) << took[0].count() << " against " << took[1].count();
}

// A node failing at the pass's start is probed first, its time-out beside the others' probes.
TEST_F(Pass, AParallelPassProbesTheNodesFailingAtItsStartFirst) {
    std::atomic<int> webBefore{-1};
    LoopbackPeer web([](Connection& c) {  // 20 answers one after another: a second at least
        std::string line;
        c.ReadLine(&line), std::this_thread::sleep_for(50ms), c.Send("<html>ok</html>\n");
    });
    LoopbackPeer silent([&](Connection& c) { webBefore = web.accepted(), c.Hold(); });
    for (int i = 0; i < 20; ++i)
        Add(i, "127.0.0.1", web.portText());
    Add(20, "127.0.0.1", silent.portText());
    NodeTable::Instance().SetStatus(20, {"", "*ERROR* count: 1", 1, 0});
    settings_.Parallel = 2, settings_.MAXSecs = "1";
    Run();
    EXPECT_TRUE(webBefore >= 0 && webBefore < 10) << webBefore;
}

// STOP with many probes in flight: no probe starts after it, those in flight end by their own
// time-out (not one after another) and are committed, and no thread of the pass is left.
TEST_F(Pass, StopDuringAParallelPassEndsItsProbesInFlightAndLeavesNoThread) {
    const auto threads = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
    };
    std::vector<std::unique_ptr<LoopbackPeer>> silent;
    for (int i = 0; i < 12; ++i)
        silent.push_back(std::make_unique<LoopbackPeer>(LoopbackPeer::Mode::Silent)),
            Add(i, "127.0.0.1", silent.back()->portText());
    Add(12, "127.0.0.1", web_.portText());
    settings_.Parallel = 12, settings_.MAXSecs = "2", SetCurrentSettings(settings_);
    const auto idle = threads();
    ASSERT_TRUE(StartScanPass(host_));
    const bool inFlight =
        WaitUntil([&] { return silent[0]->accepted() + silent[11]->accepted() == 2; }, 10s);
    ScanAbort = 1;  // 12 time-outs of 2-3 s one after another would take 24 s
    EXPECT_TRUE(WaitForScanPass(12s) && inFlight) << inFlight;
    WaitUntil([&] { return threads() == idle; });  // a joined thread's task may linger a moment
    EXPECT_EQ(std::tuple(web_.accepted(), Slot(11).status.failCount, Slot(12).status.failCount,
                         threads()),
              std::tuple(0, 1, 0, idle));
}

TEST_F(Pass, ThePassThreadStartsOnceIsJoinedAndRacesNoReset) {
    for (int i = 0; i < 5; ++i)
        Add(i, "127.0.0.1", web_.portText());
    SetCurrentSettings(settings_);
    std::atomic<bool> release{false};
    std::atomic<int> abortSeen{-1};
    window_.onRedraw = [&](const std::vector<std::string>&) {
        abortSeen = ScanAbort.load();
        WaitUntil([&] { return release.load(); }, 10s);
    };
    ScanAbort = 1;
    ASSERT_TRUE(StartScanPass(host_));
    EXPECT_FALSE(StartScanPass(host_) || WaitForScanPass(50ms));
    release = true;
    EXPECT_TRUE(WaitForScanPass(10s) && !ScanPassRunning());
    EXPECT_EQ(std::tuple(abortSeen.load(), ScanBusy.load()), std::tuple(0, 0));
    window_.onRedraw = nullptr;
    // STOP's reset and the rows here while passes write on another thread; a finished
    // pass nobody waited for is joined by the next start.
    std::thread passes([this] {
        for (int n = 0; n < 20; WaitUntil([] { return ScanBusy == 0; }, 20s))
            n += StartScanPass(host_);
    });
    while (web_.accepted() < 105) {
        NodeTable::Instance().ResetStatusTexts();
        for (const std::string& row : StatusRows())
            ASSERT_TRUE(row.substr(41) == "*unknown*" || row.substr(41) == kOk) << row;
    }
    passes.join();
}

TEST_F(Pass, APassEndedByAnExceptionStillEndsForEveryListener) {
    struct Listener : PassListener {
        bool throws = false;
        std::atomic<int> probes{0}, ends{0};
        void ProbeDone(const ProbeEvent&) override {
            if (++probes, throws)
                throw std::bad_alloc();
        }
        void PassEnded(std::int64_t, double) override { ++ends; }
    };
    const auto first = std::make_shared<Listener>(), second = std::make_shared<Listener>();
    first->throws = true;
    host_.Add(first);
    host_.Add(second);
    Add(0, "127.0.0.1", web_.portText());
    Add(1, "127.0.0.1", web_.portText());
    SetCurrentSettings(settings_);
    const bool ended =
        StartScanPass(host_) && WaitForScanPass(10s);  // the pass thread takes the throw
    const std::string why = host_.LastFailure();
    first->throws = false;
    Run();  // a pass that ends normally has no failure to tell
    EXPECT_TRUE(ended && why == "std::bad_alloc") << why;
    EXPECT_EQ(std::tuple(second->probes.load(), second->ends.load(), host_.LastFailure(),
                         ScanBusy.load()),
              std::tuple(3, 2, "", 0));
}

// What the alarm channels and the holds saw, in order: "alarm <index>", "recovered <index>",
// "held <index>" and each channel's name.
struct Channels : PassListener {
    std::vector<std::string> seen;
    void NodeAlarmed(const NodeAlarmEvent& e) override {
        seen.push_back("alarm " + std::to_string(e.index));
    }
    void NodeRecovered(const NodeAlarmEvent& e) override {
        seen.push_back("recovered " + std::to_string(e.index));
    }
    void NodeHeld(const NodeHeldEvent& e) override {
        seen.push_back("held " + std::to_string(e.index));
    }
    void AlarmDone(AlarmChannel c, bool) override { seen.push_back(AlarmChannelName(c)); }
    std::vector<std::string> Take() { return std::exchange(seen, {}); }
};
using Seen = std::vector<std::string>;

// A refused parent and two refused children behind it: the parent's alarm alone on every
// channel, two held rows; the parent answers and one child still fails: that child alarms.
TEST_F(Pass, NodesBehindADownParentAreHeldAndAlarmOnTheirOwnOnceItAnswers) {
    const auto channels = std::make_shared<Channels>();
    host_.Add(channels);
    Add(0, "127.0.0.1", refused_);
    Add(1, "127.0.0.2", refused_);
    Add(2, "localhost", refused_);
    for (const std::size_t i : {1U, 2U}) {
        settings_.NodeList[i].parent = "127.0.0.1";
        NodeTable::Instance().SetNode(static_cast<int>(i), settings_.NodeList[i]);
    }
    settings_.Num_Fails = settings_.Max_Alarms = "1";
    settings_.Email_Flag = settings_.Launch_Flag = true;
    settings_.Email_SMTP = "127.0.0.1";
    settings_.Email_Port = LoopbackPeer::RefusedPort();
    settings_.Command_Line = "echo ran >> " + dir_.file("launched");
    Run();
    EXPECT_EQ(channels->Take(), (Seen{"alarm 0", "email", "held 1", "held 2", "command"}));
    const std::string held = "*ERROR* count: 1 (held: 127.0.0.1)";
    EXPECT_EQ(StatusRows(), (Seen{Row("127.0.0.1 port:" + refused_, "*ERROR* count: 1"),
                                  Row("127.0.0.2 port:" + refused_, held),
                                  Row("localhost port:" + refused_, held)}));
    EXPECT_EQ(Slot(1).status.alarmCount, 0);
    EXPECT_EQ(Slot(2).status.alarmCount, 0);
    for (int i : {0, 2})
        NodeTable::Instance().Modify(i, [&](NodeSlot& s) { s.node.port = web_.portText(); });
    Run();  // the child that still fails alarms once; the one that answers tells nothing
    Run();
    EXPECT_EQ(channels->Take(), (Seen{"recovered 0", "alarm 1", "email", "command"}));
    EXPECT_EQ(Slot(1).status.failCount, 3);
    EXPECT_EQ(StatusRows()[1], Row("127.0.0.2 port:" + refused_, "*ERROR* count: 3"));
    EXPECT_EQ(ReadFile(dir_.file("launched")), "ran\nran\n");
}

// A window covering now, then Hold_Until: rows held and no alarm; when the hold has ended the
// alarm comes at the next pass.
TEST_F(Pass, MaintenanceHoldsEveryAlarmUntilItEndsThenTheNextPassAlarms) {
    const auto channels = std::make_shared<Channels>();
    host_.Add(channels);
    Add(0, "127.0.0.1", refused_);
    Add(1, "127.0.0.2", refused_);
    settings_.Num_Fails = "2";
    settings_.Max_Alarms = "5";
    const auto clock = [](int minutes) {
        char text[32];
        const std::time_t at = std::time(nullptr) + minutes * 60;
        std::tm local{};
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", localtime_r(&at, &local));
        return std::string(text);
    };
    settings_.Maintenance[3] =
        "daily " + clock(-1).substr(11) + "-" + clock(2).substr(11) + " nodes=127.0.0.2";
    settings_.Hold_Until = clock(5);
    Run();
    Run();
    EXPECT_EQ(channels->Take(), (Seen{"held 0", "held 1", "held 0", "held 1"}));
    EXPECT_EQ(StatusRows()[1],
              Row("127.0.0.2 port:" + refused_, "*ERROR* count: 2 (held: maintenance)"));
    settings_.Hold_Until = clock(-1);
    Run();  // the window still holds node 1
    settings_.Maintenance[3].clear();
    Run();
    EXPECT_EQ(channels->Take(), (Seen{"alarm 0", "held 1", "alarm 0", "alarm 1"}));
}

class Scheduler : public Pass, public SchedulerWindow {
  protected:
    void SetRunCaption(const std::string& caption) override { caption_ = caption; }
    void SetSetupEnabled(bool enabled) override { setup_ = enabled; }
    void RedrawWhole() override { rows_ = Join(StatusRows()); }
    void Configure(const std::string& secs, const LoopbackPeer& peer, int nodes = 1) {
        settings_.Secs = secs;
        settings_.MAXSecs = "2";
        for (int i = 0; i < nodes; ++i)
            Add(i, "127.0.0.1", peer.portText());
        SetCurrentSettings(settings_);
    }
    // The caption, Setup enabled, the timer armed, MonitorRunning.
    using Controls = std::tuple<std::string, bool, bool, int>;
    Controls State() { return {caption_, setup_, scheduler_.TimerArmed(), MonitorRunning.load()}; }
    std::string caption_ = "RUN", rows_;
    bool setup_ = true;
    ScanScheduler scheduler_{this, host_};
};

TEST_F(Scheduler, RunStartsAPassAtOnceThenOneEveryIntervalAndShowsItsStart) {
    Configure("1", web_);
    QElapsedTimer clock;
    clock.start();
    scheduler_.OnRunStop();
    EXPECT_EQ(State(), Controls("STOP", false, true, 1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return scheduler_.PassesStarted() == 1; }, 2000));
    const qint64 first = clock.elapsed();
    EXPECT_LT(first, 500);
    const std::string lastScan = GetLastScanText();  // asctime form with a two-digit day
    EXPECT_EQ(std::regex_replace(lastScan, kStamp, "$1"), "\n") << lastScan;
    ASSERT_TRUE(QTest::qWaitFor([&] { return scheduler_.PassesStarted() == 2; }, 3000));
    EXPECT_GE(clock.elapsed() - first, 950);
    EXPECT_LT(clock.elapsed() - first, 1600);
    EXPECT_TRUE(QTest::qWaitFor([&] { return web_.accepted() == 2; }, 2000))
        << "one connection per pass";
}

TEST_F(Scheduler, TicksDuringALongPassStartNothingAndStopRunWaitsAFullInterval) {
    LoopbackPeer silent(LoopbackPeer::Mode::Silent);
    Configure("1", silent, 2);
    scheduler_.OnRunStop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return scheduler_.PassesStarted() == 1; }, 2000));
    const std::string lastScan = GetLastScanText();
    ASSERT_TRUE(QTest::qWaitFor([&] { return scheduler_.TicksSeen() >= 3; }, 3000));
    EXPECT_EQ(std::tuple(scheduler_.PassesStarted(), ScanBusy.load(), GetLastScanText(), State()),
              std::tuple(1, 1, lastScan, Controls("STOP", false, true, 1)))
        << "the first pass still waits";
    scheduler_.OnRunStop();  // STOP during the pass
    EXPECT_EQ(std::tuple(State(), ScanAbort.load()),
              std::tuple(Controls("RUN", true, false, 0), 1));
    EXPECT_EQ(rows_, Join(std::vector(2, Row("127.0.0.1 port:" + silent.portText(), "*unknown*"))));
    QElapsedTimer clock;
    clock.start();
    scheduler_.OnRunStop();  // RUN again at once: the first tick finds the old pass ending
    ASSERT_TRUE(QTest::qWaitFor([&] { return scheduler_.PassesStarted() == 2; }, 5000));
    EXPECT_GE(clock.elapsed(), 990);
    EXPECT_TRUE(
        WaitUntil([&] { return silent.accepted() == 2; }));  // the stopped pass probed one node
}

TEST_F(Scheduler, NoIntervalRunsWithoutPassesAndALastTickStartsTheLastPass) {
    const auto player = std::make_shared<Player>();
    SetSoundPlayer(player);  // RUN and STOP each end a sound still playing
    for (const char* secs : {"", "0", "-5", "abc"}) {
        Configure(secs, web_);
        scheduler_.OnRunStop();
        EXPECT_EQ(State(), Controls("STOP", false, false, 1)) << secs;
        QTest::qWait(60);
        scheduler_.OnRunStop();
    }
    EXPECT_EQ(scheduler_.PassesStarted(), 0);
    QCoreApplication::processEvents();
    SetSoundPlayer(nullptr);
    EXPECT_EQ(player->calls, "stop|stop|stop|stop|stop|stop|stop|stop|");
    scheduler_.OnScanTimer();
    EXPECT_EQ(std::tuple(State(), scheduler_.PassesStarted()),
              std::tuple(Controls("RUN", true, false, 0), 1));
    EXPECT_TRUE(WaitForScanPass(5s) && WaitUntil([&] { return web_.accepted() == 1; }));
}

}  // namespace
}  // namespace sentrel

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
