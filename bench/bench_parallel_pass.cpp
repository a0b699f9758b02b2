// Pass times with Parallel=1 and Parallel=32 side by side in one run: 100 HTTPD
// nodes on loopback of which 20 accept and never answer (MAXSecs=2), and 50 PING
// nodes to 127.0.0.x with Echoes=5. Prints each pass time and the ratio.
#include <chrono>
#include <cstdio>
#include <string>

#include "bench_util.h"
#include "config/node_table.h"
#include "config/settings.h"
#include "engine/scan_pass.h"

using namespace sentrel;
using Clock = std::chrono::steady_clock;

namespace {

double PassSeconds(MonitorSettings settings, int parallel) {
    settings.Parallel = parallel;
    ResetEngineStateForTesting();
    for (int i = 0; i < kMaxNodes; ++i) {
        NodeTable::Instance().SetNode(i, settings.NodeList[static_cast<std::size_t>(i)]);
    }
    SetCurrentSettingsForTesting(settings);
    const auto start = Clock::now();
    ScanCycle();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Compare(const char* what, const MonitorSettings& settings) {
    const double serial = PassSeconds(settings, 1);
    const double parallel = PassSeconds(settings, 32);
    std::printf("%-44s Parallel=1 %7.2f s   Parallel=32 %6.2f s   ratio %5.1f\n", what, serial,
                parallel, serial / parallel);
}

}  // namespace

int main() {
    const std::string answer = "<html>" + std::string(500, 'x') + "</html>\n";
    sentrel::bench::LoopbackServer web(
        128, [&](int c) { return sentrel::bench::AnswerRequest(c, answer); });
    sentrel::bench::LoopbackServer silent(128, [](int) { return true; });  // held open
    if (web.port() == 0 || silent.port() == 0) {
        std::fprintf(stderr, "bench_parallel_pass: no loopback server\n");
        return 1;
    }
    MonitorSettings settings;
    settings.MAXSecs = "2";
    for (int i = 0; i < kMaxNodes; ++i) {
        const int port = i % 5 == 4 ? silent.port() : web.port();  // every fifth silent
        settings.NodeList[static_cast<std::size_t>(i)] = {"127.0.0.1", std::to_string(port), "",
                                                          HTTPD};
    }
    Compare("100 HTTPD nodes, 20 silent, MAXSecs=2:", settings);

    MonitorSettings ping;
    ping.Echoes = 5;
    for (int i = 0; i < 50; ++i) {
        ping.NodeList[static_cast<std::size_t>(i)] = {"127.0.0." + std::to_string(i + 1), "", "",
                                                      PING};
    }
    Compare("50 PING nodes to 127.0.0.x, Echoes=5:", ping);
    ResetEngineStateForTesting();
    ResetSettingsForTesting();
    return 0;
}
