// Pass times with Parallel=1 and Parallel=32 side by side in one run, in a
// network namespace of its own (run as root): PING nodes on 127.0.0.x answer,
// those on 10.9.0.x go out a link whose far end drops them (silent); HTTPD nodes on
// loopback of which every fifth accepts and never answers. PING runs through
// each way (datagram socket, helper, raw socket). Prints each pass time, the
// ratio, the CPU time the process used as a share of the wall time, and the
// threads and descriptors left after the pass against before it. Parallel=32 is
// timed at a next pass (which starts the nodes that failed before first) and at
// a first one. Arguments name the ways to run alone (datagram, helper, raw), and
// "answering" runs only the answering nodes' case.
#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench_host.h"
#include "bench_util.h"
#include "config/node_table.h"
#include "config/settings.h"
#include "engine/pass_events.h"
#include "engine/ping_helper_client.h"
#include "engine/scan_pass.h"

using namespace sentrel;
using Clock = std::chrono::steady_clock;

namespace {

int Entries(const char* dir) {
    int n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (::readdir(d) != nullptr) {
            ++n;
        }
        ::closedir(d);
    }
    return n;
}

double CpuSeconds() {
    rusage use{};
    ::getrusage(RUSAGE_SELF, &use);
    return static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
           static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// Echoes the answering (loopback) nodes lost in a pass.
struct Losses : PassListener {
    int lost = 0;
    void ProbeDone(const ProbeEvent& e) override {
        lost += e.address.rfind("127.", 0) == 0 ? e.echoes.sent - e.echoes.received : 0;
    }
};

struct PassFigures {
    double seconds = 0;
    double cpuShare = 0;
    int answered = 0;
    int lost = 0;
    bool idleAgain = false;  // threads and descriptors back to their count before the pass
};

// The figures of the last of `passes` passes over a fresh table: a first pass,
// or one that knows which nodes failed before, as every pass after the first.
PassFigures Pass(MonitorSettings settings, int parallel, int passes = 1) {
    settings.Parallel = parallel;
    bench::ResetEngine();
    for (int i = 0; i < kMaxNodes; ++i) {
        NodeTable::Instance().SetNode(i, settings.NodeList[static_cast<std::size_t>(i)]);
    }
    SetCurrentSettings(settings);
    while (--passes > 0) {
        ScanCycle(bench::Host());
    }
    const int threads = Entries("/proc/self/task"), fds = Entries("/proc/self/fd");
    const double cpu = CpuSeconds();
    const auto losses = std::make_shared<Losses>();
    bench::Host().Add(losses);
    const auto start = Clock::now();
    ScanCycle(bench::Host());
    bench::Host().Remove(losses);
    PassFigures f;
    f.lost = losses->lost;
    f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    f.cpuShare = (CpuSeconds() - cpu) / f.seconds;
    for (int i = 0; i < kMaxNodes; ++i) {
        f.answered += NodeTable::Instance().Get(i).status.failCount == 0 &&
                      !NodeTable::Instance().Get(i).node.address.empty();
    }
    f.idleAgain = Entries("/proc/self/task") == threads && Entries("/proc/self/fd") == fds;
    return f;
}

void Compare(const std::string& what, const MonitorSettings& settings) {
    const PassFigures one = Pass(settings, 1), first = Pass(settings, 32),
                      many = Pass(settings, 32, 2);
    std::printf(
        "%-52s Parallel=1 %7.2f s  Parallel=32 %6.2f s (first pass %6.2f s)  ratio %5.1f"
        "  answered %d/%d  lost %d/%d  CPU %.1f %%  idle after %s\n",
        what.c_str(), one.seconds, many.seconds, first.seconds, one.seconds / many.seconds,
        one.answered, many.answered, one.lost, many.lost, 100 * many.cpuShare,
        many.idleAgain ? "yes" : "no");
    std::fflush(stdout);
}

MonitorSettings PingNodes(int answering, int silent, int echoes) {
    MonitorSettings s;
    s.Echoes = echoes;
    for (int i = 0; i < answering + silent; ++i) {
        const bool quiet = i % 5 == 4 && i / 5 < silent;  // every fifth, while silent ones remain
        s.NodeList[static_cast<std::size_t>(i)] = {
            (quiet ? "10.9.0." : "127.0.0.") + std::to_string(i + 2), "", "", PING};
    }
    return s;
}

bool Sysctl(const char* name, const char* value) {
    std::ofstream file(std::string("/proc/sys/net/") + name);
    return static_cast<bool>(file << value);
}

}  // namespace

int main(int argc, char** argv) {
    if (::unshare(CLONE_NEWNET) != 0 ||
        std::system("ip link set lo up && ip link add va type veth peer name vb && "
                    "ip link set va up && ip link set vb up && ip addr add 10.8.0.1/24 dev va && "
                    "ip neigh add 10.8.0.2 lladdr 02:00:00:00:00:01 dev va nud permanent && "
                    "ip route add 10.9.0.0/24 via 10.8.0.2") != 0) {
        std::fprintf(stderr, "bench_parallel_pass: needs root for a network namespace\n");
        return 77;
    }
    const std::string answer = "<html>" + std::string(500, 'x') + "</html>\n";
    sentrel::bench::LoopbackServer web(
        128, [&](int c) { return sentrel::bench::AnswerRequest(c, answer); });
    sentrel::bench::LoopbackServer silent(128, [](int) { return true; });  // held open
    if (web.port() == 0 || silent.port() == 0) {
        std::fprintf(stderr, "bench_parallel_pass: no loopback server\n");
        return 1;
    }
    MonitorSettings httpd;
    httpd.MAXSecs = "5";
    for (int i = 0; i < kMaxNodes; ++i) {
        const int port = i % 5 == 4 ? silent.port() : web.port();  // every fifth silent
        httpd.NodeList[static_cast<std::size_t>(i)] = {"127.0.0.1", std::to_string(port), "",
                                                       HTTPD};
    }
    std::vector<std::string> ways(argv + 1, argv + argc);  // named ways only, without HTTPD
    const auto answering = std::find(ways.begin(), ways.end(), "answering");
    const bool onlyAnswering = answering != ways.end();  // only the 70 answering nodes
    if (onlyAnswering) {
        ways.erase(answering);
    }
    if (ways.empty() && !onlyAnswering) {
        Compare("100 HTTPD nodes, 20 silent, MAXSecs=5:", httpd);
        ways = {"datagram", "helper", "raw"};
    }
    for (const std::string& way : ways) {
        Sysctl("ipv4/ping_group_range", way == "datagram" ? "0 2147483647" : "1 0");
        way == "raw" ? ::setenv("SENTREL_PING_HELPER", "/nonexistent", 1)
                     : ::unsetenv("SENTREL_PING_HELPER");
        PingHelperStop();
        const std::string by = " (" + way + ")";
        if (!onlyAnswering) {
            Compare("100 PING nodes, 20 silent, Echoes=1" + by, PingNodes(80, 20, 1));
            Compare("100 PING nodes, 20 silent, Echoes=10" + by, PingNodes(80, 20, 10));
        }
        Compare("70 PING nodes, Echoes=5" + by, PingNodes(70, 0, 5));
    }
    PingHelperStop();
    bench::ResetEngine();
    SetCurrentSettings({});
    return 0;
}
