// HttpdProbe against a server that accepts and never answers, MAXSecs "3": how long
// until the probe gives up, and how much processor time the wait costs.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "bench_util.h"
#include "engine/httpd_probe.h"

namespace {

double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main() {
    // Accepts connections and keeps them, silent, until it is destroyed.
    sentrel::bench::LoopbackServer server(8, [](int) { return true; });
    if (server.port() == 0) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
        return 1;
    }
    const double cpuBefore = ProcessCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const std::int32_t result =
        sentrel::HttpdProbe("127.0.0.1", std::to_string(server.port()), "3");
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = ProcessCpuSeconds() - cpuBefore;
    std::printf("result %d, given up after %.3f s (goal [3, 4] s)\n", result, wall);
    std::printf("process CPU %.4f s over %.3f s wall: %.5f CPU s per wall s (goal <= 0.01)\n", cpu,
                wall, cpu / wall);
    return result == 0 && wall >= 3.0 && wall <= 4.0 ? 0 : 1;
}
