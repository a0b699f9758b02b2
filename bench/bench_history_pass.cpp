// What keeping history adds to a pass: 100 HTTPD nodes on loopback, passes with
// the history writer listening and without it, alternated in one run. Prints the
// difference per node (goal: at most 0.1 ms more with history on).
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_host.h"
#include "bench_util.h"
#include "config/node_table.h"
#include "config/settings.h"
#include "engine/pass_events.h"
#include "engine/scan_pass.h"
#include "history/history_writer.h"

using namespace sentrel;
using Clock = std::chrono::steady_clock;

namespace {

// Answers "GET /" with a short page and closes.
bool Answer(int fd) {
    char buffer[256];
    (void)::recv(fd, buffer, sizeof buffer, 0);
    const std::string page = "<html>" + std::string(500, 'x') + "</html>\n";
    (void)::send(fd, page.data(), page.size(), MSG_NOSIGNAL);
    ::close(fd);
    return false;
}

double PassMs() {
    const auto t0 = Clock::now();
    ScanCycle(bench::Host());
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    bench::LoopbackServer server(128, Answer);
    if (server.port() == 0) {
        std::fprintf(stderr, "bench_history_pass: no loopback server\n");
        return 1;
    }
    std::string dir = (std::filesystem::temp_directory_path() / "sentrel-bench-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) {
        return 1;
    }
    MonitorSettings settings;
    settings.MAXSecs = "5";
    bench::ResetEngine();
    for (int i = 0; i < kMaxNodes; ++i) {
        settings.NodeList[static_cast<std::size_t>(i)] = {
            "127.0.0.1", std::to_string(server.port()), "node " + std::to_string(i), HTTPD};
        NodeTable::Instance().SetNode(i, settings.NodeList[static_cast<std::size_t>(i)]);
    }
    SetCurrentSettings(settings);

    auto writer =
        std::make_shared<history::HistoryWriter>(history::WriterOptions{dir + "/history.sqlite"});
    writer->MonitoringChanged(true, NowUtcMs());
    constexpr int kRounds = 15;
    std::vector<double> off, on;
    PassMs();  // warm-up: first connections, first file
    for (int round = 0; round < kRounds; ++round) {
        off.push_back(PassMs());
        bench::Host().Add(writer);
        on.push_back(PassMs());
        bench::Host().Remove(writer);
        writer->Flush();  // the next pass starts with the writer idle, as a minute later
    }
    const double perNode = (Median(on) - Median(off)) / kMaxNodes;
    std::printf("pass, median of %d: history off %.2f ms, on %.2f ms\n", kRounds, Median(off),
                Median(on));
    std::printf("history adds %.4f ms per node (goal <= 0.1 ms); history still on: %s\n", perNode,
                writer->Enabled() ? "yes" : "no");
    writer.reset();
    std::filesystem::remove_all(dir);
    return 0;
}
