// Round-trip accuracy of PingProbe against iputils ping, on echo replies delayed
// by a known amount.
//
// Needs root. Builds a private network namespace with one TUN device; the
// addresses 10.77.0.0/24 are routed to it. A responder thread answers an echo
// request for 10.77.0.N after N milliseconds, and never for N >= 200. Inside the
// namespace (no ICMP datagram sockets there, so PingProbe goes through the helper
// sentrel-ping) it measures PingProbe and `ping -c 20 -i 0.2` on the same addresses
// and prints the median difference per delay. No packet leaves the namespace,
// which is deleted at the end.
//
//   bench_rtt_accuracy [samples]      (default 20 probes per address)

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/ping_helper_client.h"
#include "engine/ping_probe.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kNamespace = "sentrel-rtt";
constexpr const char* kDevice = "sntl0";
constexpr int kSilentFrom = 200;  // 10.77.0.N with N >= 200 never answers

int Run(const std::string& command) {
    int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string InNamespace(const std::string& command) {
    return std::string("ip netns exec ") + kNamespace + " " + command;
}

std::uint16_t Checksum(const std::uint8_t* data, std::size_t size) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
    }
    if (size % 2 != 0) {
        sum += static_cast<std::uint32_t>(data[size - 1] << 8);
    }
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

void PutChecksum(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value & 0xff);
}

// Reads echo requests from the TUN device and writes each reply when its delay
// has passed. Runs until Stop().
class DelayResponder {
  public:
    explicit DelayResponder(int tunFd) : fd_(tunFd) {}

    void Start() {
        thread_ = std::thread([this] { Loop(); });
    }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    int Requests() const { return requests_; }
    int Replies() const { return replies_; }

  private:
    void Loop() {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        std::multimap<Clock::time_point, std::vector<std::uint8_t>> pending;
        std::uint8_t packet[2048];
        while (!stop_) {
            int timeoutMs = 50;
            if (!pending.empty()) {
                auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                                pending.begin()->first - Clock::now())
                                .count();
                timeoutMs = left > 1500 ? static_cast<int>(left / 1000) - 1 : 0;
            }
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN)) {
                ssize_t n = read(fd_, packet, sizeof packet);
                Clock::time_point arrived = Clock::now();
                int delay = 0;
                if (n > 0 && MakeReply(packet, static_cast<std::size_t>(n), &delay)) {
                    ++requests_;
                    if (delay < kSilentFrom) {
                        pending.emplace(arrived + std::chrono::milliseconds(delay),
                                        std::vector<std::uint8_t>(packet, packet + n));
                    }
                }
            }
            // Replies due within the next 1.5 ms are sent at their exact time.
            while (!pending.empty() &&
                   pending.begin()->first - Clock::now() < std::chrono::microseconds(1500)) {
                auto due = pending.begin()->first;
                auto ns =
                    std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch())
                        .count();
                timespec ts{static_cast<time_t>(ns / 1000000000),
                            static_cast<long>(ns % 1000000000)};
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
                const auto& reply = pending.begin()->second;
                if (write(fd_, reply.data(), reply.size()) == static_cast<ssize_t>(reply.size())) {
                    ++replies_;
                }
                pending.erase(pending.begin());
            }
        }
    }

    // Turns an IPv4 echo request for 10.77.0.N in place into its reply; false for
    // any other packet. delay receives N.
    static bool MakeReply(std::uint8_t* pkt, std::size_t size, int* delay) {
        if (size < 20 || (pkt[0] >> 4) != 4) {
            return false;
        }
        std::size_t ihl = static_cast<std::size_t>(pkt[0] & 0x0f) * 4;
        if (ihl < 20 || size < ihl + 8 || pkt[9] != IPPROTO_ICMP) {
            return false;
        }
        std::uint8_t* dst = pkt + 16;
        if (dst[0] != 10 || dst[1] != 77 || dst[2] != 0) {
            return false;
        }
        std::uint8_t* icmp = pkt + ihl;
        if (icmp[0] != ICMP_ECHO || icmp[1] != 0) {
            return false;
        }
        *delay = dst[3];
        std::uint8_t src[4];
        std::memcpy(src, pkt + 12, 4);
        std::memcpy(pkt + 12, dst, 4);
        std::memcpy(pkt + 16, src, 4);
        pkt[8] = 64;  // ttl
        PutChecksum(pkt + 10, 0);
        PutChecksum(pkt + 10, Checksum(pkt, ihl));
        icmp[0] = ICMP_ECHOREPLY;
        PutChecksum(icmp + 2, 0);
        PutChecksum(icmp + 2, Checksum(icmp, size - ihl));
        return true;
    }

    int fd_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::atomic<int> replies_{0};
    std::thread thread_;
};

double Median(std::vector<double> v) {
    if (v.empty()) {
        return NAN;
    }
    std::sort(v.begin(), v.end());
    std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// The round-trip times ping printed, in milliseconds.
std::vector<double> IputilsPing(const std::string& address, int count, int* sent) {
    std::string command =
        InNamespace("ping -n -c " + std::to_string(count) + " -i 0.2 -W 5 " + address + " 2>&1");
    std::vector<double> times;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return times;
    }
    char line[512];
    std::string lastLine;
    *sent = 0;
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        if (const char* t = std::strstr(line, "time=")) {
            times.push_back(std::atof(t + 5));
        }
        int tx = 0;
        if (std::sscanf(line, "%d packets transmitted", &tx) == 1) {
            *sent = tx;
        }
        lastLine = line;
    }
    if (pclose(pipe) != 0 && *sent == 0) {
        std::printf("ping %s did not run: %s", address.c_str(), lastLine.c_str());
    }
    return times;
}

struct ProbeRun {
    std::vector<double> results;  // PingProbe's values for the answered probes
    std::vector<double> wallMs;   // how long each call took
    int failures = 0;
};

ProbeRun SentrelPing(const std::string& address, int count) {
    ProbeRun run;
    for (int i = 0; i < count; ++i) {
        auto start = Clock::now();
        std::int32_t rtt = sentrel::PingProbe(address);
        double wall = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        run.wallMs.push_back(wall);
        if (rtt > 0) {
            run.results.push_back(rtt);
        } else {
            ++run.failures;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    int samples = argc > 1 ? std::atoi(argv[1]) : 20;
    if (samples < 1) {
        samples = 20;
    }
    if (geteuid() != 0) {
        std::printf("bench_rtt_accuracy: skipped, needs root (network namespace, TUN device)\n");
        return 0;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    Run(std::string("ip netns del ") + kNamespace + " 2>/dev/null");
    if (Run(std::string("ip netns add ") + kNamespace) != 0) {
        std::printf("bench_rtt_accuracy: cannot create network namespace %s\n", kNamespace);
        return 1;
    }
    int result = 1;
    int nsFd = open((std::string("/run/netns/") + kNamespace).c_str(), O_RDONLY | O_CLOEXEC);
    // This thread enters the namespace before any other thread exists, so the
    // responder, the probes and the TUN device all live in it.
    if (nsFd < 0 || setns(nsFd, CLONE_NEWNET) != 0) {
        std::printf("bench_rtt_accuracy: cannot enter the namespace: %s\n", std::strerror(errno));
    } else {
        int tun = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        ifreq ifr{};
        std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", kDevice);
        ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
        if (tun < 0 || ioctl(tun, TUNSETIFF, &ifr) != 0) {
            std::printf("bench_rtt_accuracy: cannot make the TUN device: %s\n",
                        std::strerror(errno));
        } else if (Run(InNamespace(std::string("sh -c 'ip link set lo up && ip addr add "
                                               "10.77.1.1/24 dev ") +
                                   kDevice + " && ip link set " + kDevice +
                                   " up && ip route add 10.77.0.0/24 dev " + kDevice + "'")) != 0) {
            std::printf("bench_rtt_accuracy: cannot configure %s\n", kDevice);
        } else {
            DelayResponder responder(tun);
            responder.Start();
            bool loaded = sentrel::PingLibraryLoad();
            std::printf("PingLibraryLoad: %s; %d samples per address, 0.2 s apart\n",
                        loaded ? "ok" : "FAILED", samples);
            // The namespace allows no ICMP datagram socket: probes go through the helper.
            std::printf("helper %s: %s\n", sentrel::PingHelperPath().c_str(),
                        sentrel::PingHelperStart() ? "ready" : "not started, raw socket");
            bool goal = loaded;

            std::printf("\n%-12s %7s %16s %14s %12s %18s\n", "address", "delay", "PingProbe med.",
                        "ping med.", "difference", "probe wall med.");
            for (int delay : {0, 20, 50}) {
                std::string address = "10.77.0." + std::to_string(delay);
                ProbeRun mine = SentrelPing(address, samples);
                int sent = 0;
                std::vector<double> theirs = IputilsPing(address, samples, &sent);
                double a = Median(mine.results);
                double b = Median(theirs);
                double diff = a - b;
                std::printf("%-12s %4d ms %13.3f ms %11.3f ms %+9.3f ms %15.3f ms", address.c_str(),
                            delay, a, b, diff, Median(mine.wallMs));
                std::printf("   (%zu/%d and %zu/%d answered)", mine.results.size(), samples,
                            theirs.size(), sent);
                bool ok = mine.failures == 0 && theirs.size() == static_cast<std::size_t>(samples);
                if (delay == 0) {
                    // A sub-millisecond answer is reported as 1 ms by design.
                    ok = ok && a == 1.0;
                    std::printf("  %s (0 ms is shown as 1 ms)\n", ok ? "ok" : "MISSED");
                } else {
                    ok = ok && std::fabs(diff) <= 0.5;
                    std::printf("  %s\n", ok ? "ok" : "MISSED");
                }
                goal = goal && ok;
            }

            std::string silent = "10.77.0.250";
            std::vector<double> wall;
            int answered = 0;
            for (int i = 0; i < 3; ++i) {
                auto start = Clock::now();
                if (sentrel::PingProbe(silent) != 0) {
                    ++answered;
                }
                wall.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            }
            double silentMed = Median(wall);
            double silentMin = *std::min_element(wall.begin(), wall.end());
            double silentMax = *std::max_element(wall.begin(), wall.end());
            int sent = 0;
            std::vector<double> silentPing = IputilsPing(silent, 5, &sent);
            bool silentOk = answered == 0 && std::fabs(silentMin - 5000) <= 50 &&
                            std::fabs(silentMax - 5000) <= 50 && silentPing.empty();
            std::printf(
                "%-12s  never  PingProbe failed %d/3 after %.1f ms median (%.1f..%.1f), ping "
                "answered %zu/%d  %s\n",
                silent.c_str(), 3 - answered, silentMed, silentMin, silentMax, silentPing.size(),
                sent, silentOk ? "ok" : "MISSED");
            goal = goal && silentOk;

            responder.Stop();
            std::printf("\nresponder: %d echo requests read, %d replies written\n",
                        responder.Requests(), responder.Replies());
            std::printf("goal (|difference| <= 0.5 ms, silent fails at 5000 +- 50 ms): %s\n",
                        goal ? "met" : "MISSED");
            sentrel::PingLibraryRelease();
            result = goal ? 0 : 1;
        }
        if (tun >= 0) {
            close(tun);
        }
    }
    if (nsFd >= 0) {
        close(nsFd);
    }
    Run(std::string("ip netns del ") + kNamespace);
    return result;
}
