// What a round of echoes costs on loopback. Prints, from one run:
//  - a round of 10 echoes against 10 x the 50 ms gap between requests, and
//    against 10 single probes one after another;
//  - the pass's overhead per PING node (pass time - the probes' own time, per
//    node) with Echoes = 10 beside Echoes = 1: the figures and thresholds must
//    add next to nothing to what the probes take.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "bench_host.h"
#include "config/node_table.h"
#include "config/settings.h"
#include "engine/ping_probe.h"
#include "engine/scan_pass.h"
#include "platform/window_port.h"

using namespace sentrel;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kEchoes = 10;
constexpr int kGapMs = 50;
constexpr int kNodes = 20;
constexpr int kRounds = 5;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

class QuietWindow : public ScanWindow {
  public:
    void SetTitle(const std::string&) override {}
    void RedrawNow() override { rows_ += StatusRows().size(); }
    MessageAnswer ShowMessage(const std::string&, const std::string&, MessageIcon,
                              MessageButtons) override {
        return MessageAnswer::Ok;
    }
    void BeginWaitCursor() override {}
    void EndWaitCursor() override {}
    std::size_t rows_ = 0;
};

// The best of kRounds of one pass over kNodes PING nodes with `echoes`, less
// the time the same probes take alone, per node.
double OverheadPerNodeMs(int echoes, double* passMs) {
    MonitorSettings settings;
    settings.MAXSecs = "5";
    settings.Echoes = echoes;
    settings.Slow_ms = 1000;  // judged, never reached on loopback
    settings.Loss_Percent = 50;
    bench::ResetEngine();
    for (int i = 0; i < kNodes; ++i) {
        NodeEntry node{"127.0.0.1", "", "node " + std::to_string(i), PING};
        settings.NodeList[static_cast<std::size_t>(i)] = node;
        NodeTable::Instance().SetNode(i, node);
    }
    SetCurrentSettings(settings);
    double best = 1e300;
    for (int round = 0; round < kRounds; ++round) {
        // The ping helper sends at most 100 echoes a second and refuses the rest
        // at once; a round here sends at most 40 single echoes, so a second apart
        // none is refused.
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        Clock::duration probes{};
        for (int i = 0; i < kNodes; ++i) {
            const auto t0 = Clock::now();
            if (echoes == 1) {
                PingProbe("127.0.0.1");
            } else {
                PingProbeRound("127.0.0.1", echoes);
            }
            probes += Clock::now() - t0;
        }
        const auto t0 = Clock::now();
        ScanCycle(bench::Host());
        const double pass = Ms(Clock::now() - t0);
        const double perNode = (pass - Ms(probes)) / kNodes;
        if (perNode < best) {
            best = perNode;
            *passMs = pass;
        }
    }
    return best;
}

}  // namespace

int main() {
    if (PingProbe("127.0.0.1") <= 0) {
        std::fprintf(stderr, "bench_echo_round: no ICMP echo to loopback here\n");
        return 1;
    }
    double round = 1e300;
    double singles = 1e300;
    for (int i = 0; i < kRounds; ++i) {
        auto t0 = Clock::now();
        const PingRound r = PingProbeRound("127.0.0.1", kEchoes);
        round = std::min(round, Ms(Clock::now() - t0));
        if (std::count(r.micros.begin(), r.micros.end(), -1) != 0) {
            std::fprintf(stderr, "bench_echo_round: loopback lost an echo\n");
        }
        t0 = Clock::now();
        for (int e = 0; e < kEchoes; ++e) {
            PingProbe("127.0.0.1");
        }
        singles = std::min(singles, Ms(Clock::now() - t0));
    }
    const double gaps = kEchoes * kGapMs;
    std::printf(
        "round of %d echoes: %.2f ms | %d x %d ms gap: %.0f ms | ratio %.3f | "
        "%d single probes: %.2f ms | ratio %.3f\n",
        kEchoes, round, kEchoes, kGapMs, gaps, round / gaps, kEchoes, singles, round / singles);

    QuietWindow window;
    SetMainWindowHandle(&window);
    double pass1 = 0;
    double passN = 0;
    const double one = OverheadPerNodeMs(1, &pass1);
    const double many = OverheadPerNodeMs(kEchoes, &passN);
    std::printf(
        "pass overhead per PING node (%d nodes, best of %d): Echoes=1 %.3f ms "
        "(pass %.1f ms) | Echoes=%d %.3f ms (pass %.1f ms) | difference %.3f ms\n",
        kNodes, kRounds, one, pass1, kEchoes, many, passN, many - one);
    SetMainWindowHandle(nullptr);
    bench::ResetEngine();
    SetCurrentSettings({});
    return 0;
}
