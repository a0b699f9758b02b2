// HttpdProbe against a minimal blocking client doing the same work (connect, send
// "GET /\n", one receive), both measured in the same run against one local answering
// server, turn about. Prints both medians and their ratio.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_util.h"
#include "engine/httpd_probe.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 100;
constexpr int kWarmUp = 10;
constexpr std::size_t kAnswerBytes = 2000;

// Reads the request line, answers kAnswerBytes bytes and closes.
bool AnswerOnce(int c) {
    static const std::string answer(kAnswerBytes, 'a');
    return sentrel::bench::AnswerRequest(c, answer);
}

// The plainest client that does the probe's work.
long PlainClient(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    long result = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::send(fd, "GET /\n", 6, MSG_NOSIGNAL) == 6) {
        static char buffer[30000];
        result = ::recv(fd, buffer, sizeof buffer, 0);
    }
    ::close(fd);
    return result;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main() {
    // One connection at a time.
    sentrel::bench::LoopbackServer server(64, AnswerOnce);
    if (server.port() == 0) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
        return 1;
    }
    const std::string port = std::to_string(server.port());
    for (int i = 0; i < kWarmUp; ++i) {
        sentrel::HttpdProbe("127.0.0.1", port, "5");
        PlainClient(server.port());
    }
    std::vector<double> probe;
    std::vector<double> plain;
    int probeFailures = 0;
    int plainFailures = 0;
    for (int i = 0; i < kRounds; ++i) {
        auto start = Clock::now();
        probeFailures += sentrel::HttpdProbe("127.0.0.1", port, "5") <= 0;
        probe.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        start = Clock::now();
        plainFailures += PlainClient(server.port()) <= 0;
        plain.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    const double probeMedian = Median(probe);
    const double plainMedian = Median(plain);
    std::printf("HttpdProbe    median %8.1f us over %d calls (%d failed)\n", probeMedian, kRounds,
                probeFailures);
    std::printf("plain client  median %8.1f us over %d calls (%d failed)\n", plainMedian, kRounds,
                plainFailures);
    std::printf("ratio probe/plain %.3f (goal <= 1.2)\n", probeMedian / plainMedian);
    return probeFailures + plainFailures == 0 ? 0 : 1;
}
