// The fault matrix: whole passes against misbehaving peers, unusable names and broken
// files. A fault costs only its own node or lines, in time; the rest stays whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <regex>

#include "config/node_table.h"
#include "engine/pass_host.h"
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
        testing::ResetEngine();
        s_.MAXSecs = "1";
        s_.Log_Flag = s_.Success = s_.Report_Flag = s_.Fmt_HTML = true;
    }
    void TearDown() override { testing::ResetEngine(), SetCurrentSettings({}); }
    void Nodes(const testing::TempDir& dir, const std::vector<std::string>& nodes) {
        s_.Log_File_Name = dir.file("log");
        s_.Report_File_Name = dir.file("report.html");
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            const auto space = nodes[i].find(' ');
            s_.NodeList[i] = {nodes[i].substr(0, space), nodes[i].substr(space + 1), "", HTTPD};
            NodeTable::Instance().SetNode(static_cast<int>(i), s_.NodeList[i]);
        }
        nodes_ = nodes.size();
    }
    PassHost host_;
    double Pass() {  // one pass on this thread with the settings as they stand; its seconds
        SetCurrentSettings(s_);
        const auto start = testing::Clock::now();
        ScanCycle(host_);
        return std::chrono::duration<double>(testing::Clock::now() - start).count();
    }
    // The log, or the report after its head, holds these statuses, one whole line each.
    void ExpectLines(bool log, const std::vector<std::string>& statuses) const {
        std::string want = log ? ""
                               : "<HTML><HEAD><title>Sentrel Report</title>\r\n<body><h3>Sentrel "
                                 "Report</h3><p>\r\n";
        const std::string stamp = "Www Mmm dd hh:mm:ss yyyy", lead = log ? "" : "<br>";
        for (std::size_t i = 0; i < statuses.size(); ++i) {
            want += lead + stamp + "  Server: " + s_.NodeList[i % nodes_].address + " - " +
                    statuses[i] + " \r\n";
        }
        // Each line's time stamp, when it has the shape of one, reads as the placeholder.
        const std::regex stamps("(^|\n" + lead +
                                R"()[A-Z][a-z]{2} [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d \d{4})");
        const std::string& path = log ? s_.Log_File_Name : s_.Report_File_Name;
        EXPECT_EQ(std::regex_replace(testing::ReadFile(path), stamps, "$1" + stamp), want) << path;
    }
    MonitorSettings s_;
    std::size_t nodes_ = 0;
};

// Each way a web server fails alone is a probe's test; here they meet in passes.
// In a network namespace of its own no resolver answers: lookups fail at once.
TEST_F(FaultPass, SilentServersAndUnusableNamesFailOnlyTheirOwnNode) {
    const bool ran = testing::InPrivateNetNamespace([&] {
        LoopbackPeer web(Mode::Answer, kPage), silent(Mode::Silent);
        testing::TempDir dir;
        testing::RecordingWindow window;
        Nodes(dir, {"127.0.0.1 " + web.portText(), "127.0.0.1 " + silent.portText(),
                    "127.0.0.1 " + std::to_string(LoopbackPeer::RefusedPort()),
                    "no-such-node.invalid 80", "10.1.1.1" + std::string(91, '9') + " 80",
                    "2001:db8::1 80", "::1 " + web.portText(), "127.0.0.1 " + web.portText()});
        std::vector<std::string> log;
        for (const std::string pass : {"1", "2"}) {
            const double took = Pass();  // the silent peer holds it for MAXSecs, nothing else
            EXPECT_TRUE(took >= 1.0 && took < 5.0) << took;
            std::vector<std::string> want(8, kFailed + pass);
            want[0] = want[7] = kOk, want[4] = "*ERROR* Bad address: not a dotted IPv4 address.";
            for (int node = 0; node < 8; ++node) {
                EXPECT_EQ(NodeTable::Instance().Get(node).status.statusText, want[node]) << node;
            }
            log.insert(log.end(), want.begin(), want.end());
        }
        EXPECT_EQ(web.accepted(), 4);
        EXPECT_TRUE(window.Messages().empty());  // probe failures are statuses, never messages
        ExpectLines(true, log);
        ExpectLines(false, {log.begin() + 8, log.end()});
    });
    if (!ran) {
        GTEST_SKIP() << "no private network namespace";
    }
}

// m: in a missing folder, f: a FIFO nobody reads, d: a full device, r: a read-only
// file (the pass runs as nobody; a report is replaced all the same).
TEST_F(FaultPass, ABrokenLogOrReportCostsItsLinesOnly) {
    LoopbackPeer web(Mode::Answer, kPage);
    std::string notMade;
    for (const bool log : {true, false}) {
        for (const char kind : std::string("mfdr")) {
            SCOPED_TRACE(std::string(1, kind) + (log ? " as log" : " as report"));
            testing::ResetEngine();
            testing::TempDir dir;
            testing::RecordingWindow window;
            Nodes(dir, {"127.0.0.1 " + std::to_string(LoopbackPeer::RefusedPort()),
                        "127.0.0.1 " + web.portText()});
            std::string& path = log ? s_.Log_File_Name : s_.Report_File_Name;
            path = dir.file(kind == 'm' ? "m/broken" : "broken");
            const bool ready = kind == 'm'   ? true
                               : kind == 'f' ? !::mkfifo(path.c_str(), 0666)
                               : kind == 'd'
                                   ? !::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 7))
                                   : testing::WriteFile(path, "") && !::chmod(path.c_str(), 0444);
            struct stat made = {}, after = {};
            if (!ready || ::chmod(dir.path().c_str(), 0777) ||
                (kind != 'm' && ::lstat(path.c_str(), &made))) {
                notMade += std::string(" ") + kind + (log ? " as log" : " as report");
                continue;
            }
            std::atomic<bool> ended{false};
            std::thread pass([&] {
                setfsuid(kind == 'r' ? 65534 : 0);
                Pass(), setfsuid(0), ended = true;
            });
            const bool inTime = testing::WaitUntil([&] { return ended.load(); }, 10s);
            // A reader lets a writer blocked in its open go.
            const int reader = inTime ? -1 : ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
            pass.join();
            ::close(reader);
            ASSERT_TRUE(inTime) << "the pass hangs";
            const bool broken = kind != 'r' || log;
            const std::string message = log ? "message:*ERROR* Could not open LOG file."
                                            : "message:*ERROR* Could not open report file.";
            EXPECT_EQ(std::ranges::count(window.Calls(), message), broken ? (log ? 2 : 3) : 0);
            EXPECT_EQ(window.Messages().size(), broken ? (log ? 2u : 3u) : 0u);
            ::lstat(path.c_str(), &after);  // not replaced by a file of another kind
            EXPECT_EQ(after.st_mode & S_IFMT, made.st_mode & S_IFMT);
            for (const bool file : {true, false}) {
                if (file != log || !broken) {
                    ExpectLines(file, {kFailed + "1", kOk});
                }
            }
        }
    }
    if (!notMade.empty()) {
        GTEST_SKIP() << "rows that cannot be made here (a device node needs root):" << notMade;
    }
}

}  // namespace
}  // namespace sentrel
