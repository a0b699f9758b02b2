// What a scan pass adds to its probes: 100 HTTPD nodes on loopback answered by
// a local server, with the log and the report on. Prints the overhead per node,
// (pass time - sum of the probe times) / 100, measured in the same run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "bench_host.h"
#include "bench_util.h"
#include "config/node_table.h"
#include "config/settings.h"
#include "engine/httpd_probe.h"
#include "engine/scan_pass.h"
#include "platform/window_port.h"

using namespace sentrel;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// A window that does what the real one does on the pass's requests, minus the
// painting: each redraw rebuilds the rows from the table.
class RowBuildingWindow : public ScanWindow {
  public:
    void SetTitle(const std::string& title) override { title_ = title; }
    void RedrawNow() override { rows_ += StatusRows().size(); }
    MessageAnswer ShowMessage(const std::string&, const std::string&, MessageIcon,
                              MessageButtons) override {
        ++messages_;
        return MessageAnswer::Ok;
    }
    void BeginWaitCursor() override {}
    void EndWaitCursor() override {}

    std::size_t rows_ = 0;
    int messages_ = 0;
    std::string title_;
};

}  // namespace

int main() {
    const std::string answer = "<html>" + std::string(500, 'x') + "</html>\n";
    std::atomic<int> connections{0};
    sentrel::bench::LoopbackServer server(128, [&](int c) {
        ++connections;
        return sentrel::bench::AnswerRequest(c, answer);
    });
    if (server.port() == 0) {
        std::fprintf(stderr, "bench_pass_overhead: no loopback server\n");
        return 1;
    }
    std::string dirPattern =
        (std::filesystem::temp_directory_path() / "sentrel-bench-XXXXXX").string();
    if (mkdtemp(dirPattern.data()) == nullptr) {
        std::fprintf(stderr, "bench_pass_overhead: no temporary directory\n");
        return 1;
    }
    const std::string dir = dirPattern;

    MonitorSettings settings;
    settings.MAXSecs = "5";
    settings.Log_Flag = true;
    settings.Success = true;  // every node gets a log line
    settings.Log_File_Name = dir + "/sentrel.log";
    settings.Report_Flag = true;
    settings.Fmt_HTML = true;
    settings.Report_File_Name = dir + "/report.html";
    bench::ResetEngine();
    for (int i = 0; i < kMaxNodes; ++i) {
        NodeEntry node{"127.0.0.1", std::to_string(server.port()), "node " + std::to_string(i),
                       HTTPD};
        settings.NodeList[static_cast<std::size_t>(i)] = node;
        NodeTable::Instance().SetNode(i, node);
    }
    SetCurrentSettings(settings);

    RowBuildingWindow window;
    SetMainWindowHandle(&window);

    constexpr int kWarmUp = 1;
    constexpr int kRounds = 5;
    double best = 1e300;
    double worst = 0;
    double total = 0;
    for (int round = -kWarmUp; round < kRounds; ++round) {
        // Probe times alone, same nodes, same server.
        Clock::duration probes{};
        for (int i = 0; i < kMaxNodes; ++i) {
            auto t0 = Clock::now();
            std::int32_t r =
                HttpdProbe("127.0.0.1", std::to_string(server.port()), settings.MAXSecs);
            probes += Clock::now() - t0;
            if (r <= 0) {
                std::fprintf(stderr, "bench_pass_overhead: probe failed (%d)\n", r);
                return 1;
            }
        }
        auto t0 = Clock::now();
        ScanCycle(bench::Host());
        Clock::duration pass = Clock::now() - t0;

        double perNode = (Ms(pass) - Ms(probes)) / kMaxNodes;
        if (round < 0) {
            continue;  // first files, first connections: not counted
        }
        std::printf("round %d: pass %.2f ms, probes %.2f ms, overhead %.3f ms per node\n",
                    round + 1, Ms(pass), Ms(probes), perNode);
        best = std::min(best, perNode);
        worst = std::max(worst, perNode);
        total += perNode;
    }
    std::printf("overhead per node: mean %.3f ms, best %.3f ms, worst %.3f ms (goal <= 1 ms)\n",
                total / kRounds, best, worst);
    std::printf("server connections: %d, rows rebuilt: %zu, messages: %d\n", connections.load(),
                window.rows_, window.messages_);
    SetMainWindowHandle(nullptr);

    bench::ResetEngine();
    SetCurrentSettings({});
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
