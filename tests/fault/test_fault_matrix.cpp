// The fault matrix: whole passes against misbehaving peers on 127.0.0.1, names
// that cannot be used and broken log and report files. Each fault fails (or
// counts) only its own node within its time bound; every other node, log line and
// report line is still there, whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <regex>

#include "config/settings.h"
#include "engine/node_table.h"
#include "engine/scan_pass.h"
#include "support/harness.h"

namespace sentrel {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackPeer;
using Mode = LoopbackPeer::Mode;
const std::string kPage = "<html>ok</html>\n", kOk = "HTTP: 16 bytes. ",
                  kFailed = "*ERROR* count: ";

class FaultPass : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetEngineStateForTesting();
        s_.MAXSecs = "1";
        s_.Log_Flag = s_.Success = s_.Report_Flag = s_.Fmt_HTML = true;
        s_.Log_File_Name = dir_.file("log");
        s_.Report_File_Name = dir_.file("report.html");
    }
    void TearDown() override { ResetEngineStateForTesting(), ResetSettingsForTesting(); }
    void Nodes(const std::vector<std::string>& addressesAndPorts) {  // "address port"
        for (std::size_t i = 0; i < addressesAndPorts.size(); ++i) {
            const std::string& text = addressesAndPorts[i];
            const auto space = text.find(' ');
            s_.NodeList[i] = NodeEntry{text.substr(0, space), text.substr(space + 1), "", HTTPD};
            NodeTable::Instance().SetNode(static_cast<int>(i), s_.NodeList[i]);
        }
        nodes_ = addressesAndPorts.size();
    }
    double Pass() {  // one pass on this thread with the settings as they stand; its seconds
        SetCurrentSettingsForTesting(s_);
        const auto start = testing::Clock::now();
        ScanCycle();
        return std::chrono::duration<double>(testing::Clock::now() - start).count();
    }
    static std::string Status(int node) {
        return NodeTable::Instance().Get(node).status.statusText;
    }
    // The file holds these statuses, one whole line each, node after node.
    void ExpectLines(const std::string& path, const std::vector<std::string>& statuses,
                     const std::string& head = "", const std::string& prefix = "") const {
        std::string shape = head;
        const auto quoted = [](const std::string& t) {
            return std::regex_replace(t, std::regex(R"([.*+?^${}()|\[\]\\])"), R"(\$&)");
        };
        for (std::size_t i = 0; i < statuses.size(); ++i) {
            shape += prefix + R"([A-Z][a-z]{2} [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d \d{4}  Server: )" +
                     quoted(s_.NodeList[i % nodes_].address + " - " + statuses[i] + " \r\n");
        }
        EXPECT_TRUE(std::regex_match(testing::ReadFile(path), std::regex(shape))) << path;
    }
    void ExpectReport(const std::vector<std::string>& statuses) const {
        ExpectLines(
            s_.Report_File_Name, statuses,
            "<HTML><HEAD><title>Sentrel Report</title>\r\n<body><h3>Sentrel Report</h3><p>\r\n",
            "<br>");
    }
    testing::TempDir dir_;
    MonitorSettings s_;
    std::size_t nodes_ = 0;
    testing::RecordingWindow window_;
};

TEST_F(FaultPass, MisbehavingWebServersFailOnlyTheirOwnNode) {
    LoopbackPeer web(Mode::Answer, kPage), silent(Mode::Silent), empty(Mode::Answer, "");
    LoopbackPeer flood(Mode::Answer, std::string(1 << 20, 'x'));
    LoopbackPeer reset([](testing::Connection& c) { c.reset = true; });
    LoopbackPeer oneByte([](testing::Connection& c) {
        std::string line;
        c.ReadLine(&line), c.Send("x"), c.Hold();
    });
    Nodes({"127.0.0.1 " + web.portText(),
           "127.0.0.1 " + std::to_string(LoopbackPeer::RefusedPort()),
           "127.0.0.1 " + reset.portText(), "127.0.0.1 " + silent.portText(),
           "127.0.0.1 " + flood.portText(), "127.0.0.1 " + oneByte.portText(),
           "127.0.0.1 " + empty.portText(), "127.0.0.1 " + web.portText()});
    std::vector<std::string> log;
    for (const std::string pass : {"1", "2"}) {
        const double took = Pass();  // the silent peer holds the pass for MAXSecs, nothing else
        EXPECT_GE(took, 1.0);
        EXPECT_LT(took, 5.0);
        // The flood counts its first read only, 30000 bytes at most.
        const int flooded = std::stoi(Status(4).substr(6));
        EXPECT_TRUE(flooded >= 1 && flooded <= 30000) << Status(4);
        const std::vector<std::string> want = {
            kOk,       kFailed + pass,    kFailed + pass, kFailed + pass,
            Status(4), "HTTP: 1 bytes. ", kFailed + pass, kOk};
        for (int node = 0; node < 8; ++node) {
            EXPECT_EQ(Status(node), want[node]) << node;
        }
        log.insert(log.end(), want.begin(), want.end());
    }
    EXPECT_EQ(web.accepted(), 4);
    EXPECT_TRUE(window_.Messages().empty());  // probe failures are statuses, never messages
    ExpectLines(s_.Log_File_Name, log);
    ExpectReport({log.begin() + 8, log.end()});
}

TEST_F(FaultPass, UnusableNamesFailTheirOwnNodeOnly) {
    // No resolver answers in a namespace of its own: lookups fail at once, nothing leaves.
    const bool ran = testing::InPrivateNetNamespace([&] {
        LoopbackPeer web(Mode::Answer, kPage);
        Nodes({"no-such-node.invalid " + web.portText(), "10.1.1.1" + std::string(91, '9') + " 80",
               "::1 " + web.portText(), "2001:db8::1 " + web.portText(),
               "127.0.0.1 " + web.portText()});
        std::vector<std::string> log;
        for (const std::string pass : {"1", "2"}) {
            EXPECT_LT(Pass(), 10.0);
            const std::vector<std::string> want(4, kFailed + pass);
            log.insert(log.end(), want.begin(), want.end());
            log.push_back(kOk);
        }
        EXPECT_EQ(Status(4), kOk);
        EXPECT_TRUE(window_.Messages().empty());
        ExpectLines(s_.Log_File_Name, log);
    });
    if (!ran) {
        GTEST_SKIP() << "no private network namespace";
    }
}

TEST_F(FaultPass, ABrokenLogOrReportCostsItsLinesOnly) {
    struct Row {
        const char* name;
        std::function<bool(const std::string& path)> make;  // false: cannot be made here
        bool asNobody, logBroken, reportBroken;
    };
    LoopbackPeer web(Mode::Answer, kPage);
    const std::string old = "an older line\r\n";
    for (const bool log : {true, false}) {
        for (const Row& row : std::vector<Row>{
                 {"FIFO nobody reads", [](auto& p) { return !::mkfifo(p.c_str(), 0666); }, false,
                  true, true},
                 {"full device",
                  [](auto& p) { return !::mknod(p.c_str(), S_IFCHR | 0666, makedev(1, 7)); }, false,
                  true, true},
                 {"read-only file",  // the pass runs as nobody; a report is replaced anyway
                  [&](auto& p) { return testing::WriteFile(p, old) && !::chmod(p.c_str(), 0444); },
                  true, true, false},
                 {"path of 127 characters", [](auto& p) { return testing::WriteFile(p, ""); }, false, false, false}}) {
            SCOPED_TRACE(std::string(row.name) + (log ? " as log" : " as report"));
            ResetEngineStateForTesting();
            testing::TempDir dir;
            testing::RecordingWindow window;
            s_.Log_File_Name = dir.file("log");
            s_.Report_File_Name = dir.file("report.html");
            std::string& path = log ? s_.Log_File_Name : s_.Report_File_Name;
            path = dir.file(std::string(126 - dir.path().size(), 'p'));
            struct stat made {
            }, after{};
            if (!row.make(path) || ::chmod(dir.path().c_str(), 0777) != 0) {
                continue;
            }
            ::lstat(path.c_str(), &made);
            Nodes({"127.0.0.1 " + std::to_string(LoopbackPeer::RefusedPort()),
                   "127.0.0.1 " + web.portText()});
            std::atomic<bool> ended{false};
            std::thread pass([&] {
                setfsuid(row.asNobody ? 65534 : 0);
                Pass();
                setfsuid(0);
                ended = true;
            });
            const bool inTime = testing::WaitUntil([&] { return ended.load(); }, 10s);
            const int reader =
                inTime ? -1 : ::open(path.c_str(), O_RDONLY | O_NONBLOCK);  // lets it go
            pass.join();
            ::close(reader);
            ASSERT_TRUE(inTime) << "the pass hangs";
            const bool broken = log ? row.logBroken : row.reportBroken;
            std::vector<std::string> messages;
            for (const auto& m : window.Messages()) {
                messages.push_back(m.text);
            }
            EXPECT_EQ(messages,
                      std::vector<std::string>(broken ? (log ? 2 : 3) : 0,
                                               log ? "*ERROR* Could not open LOG file."
                                                   : "*ERROR* Could not open report file."));
            EXPECT_EQ(::lstat(path.c_str(), &after) == 0 ? after.st_mode & S_IFMT : 0,
                      made.st_mode & S_IFMT);  // never replaced by a file of another kind
            if (!log || !broken) {
                ExpectLines(s_.Log_File_Name, {kFailed + "1", kOk});
            }
            if (log || !broken) {
                ExpectReport({kFailed + "1", kOk});
            }
        }
    }
}

}  // namespace
}  // namespace sentrel
