// Soak run: many scan passes over 100 nodes on loopback with the log and the
// report on, watching memory, descriptors and the log's integrity.
//
//   bench_soak [passes]        (default 10000)
//
// The peers run in a child process, so their sockets and memory do not count.
// The node mix (MAXSecs "1", Success on, HTML report):
//   slots  0-59  HTTPD, answering 100, 1000 or 5000 bytes (three peers)
//   slots 60-69  HTTPD to "localhost" (looked up once), answering 100 bytes
//   slots 70-79  HTTPD, refused (a bound port with no listener)
//   slots 80-84  HTTPD, reset right after the accept
//   slots 85-89  HTTPD, closed without a byte after the request
//   slots 90-98  PING 127.0.0.1
//   slot  99     HTTPD answering 100 bytes, except in every 100th pass (pass
//                numbers 50, 150, ...), where it points at a peer that accepts and
//                never answers and so fails after MAXSecs (1.5 s)
// Every pass is started as the program does (StartScanPass) and waited for.
// Afterwards every log line is checked: whole (CR LF), in layout, and carrying
// exactly the status that its node must have had in its pass.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench_host.h"
#include "bench_util.h"
#include "config/node_table.h"
#include "config/settings.h"
#include "engine/scan_pass.h"
#include "platform/window_port.h"
#include "reporting/line_timestamp.h"

using namespace sentrel;
using Clock = std::chrono::steady_clock;

namespace {

enum class Kind { Answer, Silent, Reset, CloseEmpty, Refused };

struct PeerSpec {
    Kind kind;
    std::size_t bytes;  // answer size
};

// The loopback peers, served by one poll loop in a child process.
class PeerProcess {
  public:
    // Returns the ports in the order of specs; empty on failure.
    std::vector<int> Start(const std::vector<PeerSpec>& specs) {
        int ports[2];
        int stop[2];
        if (pipe(ports) != 0 || pipe(stop) != 0) {
            return {};
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(ports[0]);
            close(stop[1]);
            Serve(specs, ports[1], stop[0]);
            _exit(0);
        }
        close(ports[1]);
        close(stop[0]);
        stopFd_ = stop[1];
        std::vector<int> result(specs.size());
        std::size_t want = result.size() * sizeof(int);
        std::size_t got = 0;
        while (got < want) {
            ssize_t n = read(ports[0], reinterpret_cast<char*>(result.data()) + got, want - got);
            if (n <= 0) {
                close(ports[0]);
                return {};
            }
            got += static_cast<std::size_t>(n);
        }
        close(ports[0]);
        return result;
    }

    void Stop() {
        if (pid_ > 0) {
            close(stopFd_);
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

  private:
    struct Conn {
        int fd;
        Kind kind;
        std::size_t bytes;
        std::string request;
    };

    static int Listener(bool listening) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            (listening && listen(fd, 64) != 0)) {
            _exit(2);
        }
        return fd;
    }

    static int PortOf(int fd) {
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        return ntohs(addr.sin_port);
    }

    static void Serve(const std::vector<PeerSpec>& specs, int portsFd, int stopFd) {
        signal(SIGPIPE, SIG_IGN);
        std::vector<int> listeners;
        std::vector<int> ports;
        for (const PeerSpec& peer : specs) {
            listeners.push_back(Listener(peer.kind != Kind::Refused));
            ports.push_back(PortOf(listeners.back()));
        }
        if (write(portsFd, ports.data(), ports.size() * sizeof(int)) < 0) {
            _exit(3);
        }
        close(portsFd);
        std::map<int, Conn> conns;
        for (;;) {
            std::vector<pollfd> fds;
            fds.push_back({stopFd, POLLIN, 0});
            for (std::size_t i = 0; i < specs.size(); ++i) {
                if (specs[i].kind != Kind::Refused) {
                    fds.push_back({listeners[i], POLLIN, 0});
                }
            }
            for (const auto& [fd, conn] : conns) {
                fds.push_back({fd, POLLIN, 0});
            }
            if (poll(fds.data(), fds.size(), 1000) < 0) {
                continue;
            }
            if (fds[0].revents != 0) {
                break;  // the parent closed its end
            }
            for (std::size_t k = 1; k < fds.size(); ++k) {
                if (fds[k].revents == 0) {
                    continue;
                }
                int fd = fds[k].fd;
                auto it = conns.find(fd);
                if (it == conns.end()) {
                    std::size_t i = 0;
                    while (listeners[i] != fd) {
                        ++i;
                    }
                    int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                    if (c < 0) {
                        continue;
                    }
                    if (specs[i].kind == Kind::Reset) {
                        linger l{1, 0};
                        setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                        close(c);
                        continue;
                    }
                    conns[c] = Conn{c, specs[i].kind, specs[i].bytes, {}};
                    continue;
                }
                Conn& conn = it->second;
                char buf[512];
                ssize_t n = read(fd, buf, sizeof buf);
                if (n <= 0) {
                    close(fd);
                    conns.erase(it);
                    continue;
                }
                conn.request.append(buf, static_cast<std::size_t>(n));
                if (conn.request.find('\n') == std::string::npos || conn.kind == Kind::Silent) {
                    continue;  // a silent peer reads and never answers
                }
                if (conn.kind == Kind::Answer) {
                    std::string answer(conn.bytes, 'x');
                    std::size_t off = 0;
                    while (off < answer.size()) {
                        ssize_t w = write(fd, answer.data() + off, answer.size() - off);
                        if (w > 0) {
                            off += static_cast<std::size_t>(w);
                        } else if (w < 0 && errno == EAGAIN) {
                            pollfd p{fd, POLLOUT, 0};
                            poll(&p, 1, 1000);
                        } else {
                            break;
                        }
                    }
                }
                close(fd);
                conns.erase(it);
            }
        }
        for (auto& [fd, conn] : conns) {
            close(fd);
        }
    }

    pid_t pid_ = -1;
    int stopFd_ = -1;
};

// What the main window does on the pass's requests, minus the painting.
class CountingWindow : public ScanWindow {
  public:
    void SetTitle(const std::string&) override { ++titles; }
    void RedrawNow() override { rows += StatusRows().size(); }
    MessageAnswer ShowMessage(const std::string& text, const std::string&, MessageIcon,
                              MessageButtons) override {
        if (messages++ == 0) {
            firstMessage = text;
        }
        return MessageAnswer::Ok;
    }
    void BeginWaitCursor() override { ++cursors; }
    void EndWaitCursor() override {}

    std::atomic<long> titles{0};
    std::atomic<long> rows{0};
    std::atomic<long> messages{0};
    std::atomic<long> cursors{0};
    std::string firstMessage;  // written by the pass thread before `messages` is raised
};

long RssKb() {
    std::ifstream in("/proc/self/status");
    std::string key;
    while (in >> key) {
        if (key == "VmRSS:") {
            long kb = 0;
            in >> kb;
            return kb;
        }
        in.ignore(1 << 12, '\n');
    }
    return -1;
}

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(dir)) {
            if (e->d_name[0] != '.') {
                ++count;
            }
        }
        closedir(dir);
    }
    return count - 1;  // the directory stream's own descriptor
}

}  // namespace

int main(int argc, char** argv) {
    const long passes = argc > 1 ? std::atol(argv[1]) : 10000;
    if (passes < 1) {
        std::fprintf(stderr, "usage: bench_soak [passes]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // Peers: three answering sizes, silent, reset, close-empty, refused.
    PeerProcess peers;
    const std::vector<int> ports = peers.Start({{Kind::Answer, 100},
                                                {Kind::Answer, 1000},
                                                {Kind::Answer, 5000},
                                                {Kind::Silent, 0},
                                                {Kind::Reset, 0},
                                                {Kind::CloseEmpty, 0},
                                                {Kind::Refused, 0}});
    if (ports.size() != 7) {
        std::fprintf(stderr, "bench_soak: the loopback peers did not start\n");
        return 1;
    }
    const std::string answer100 = std::to_string(ports[0]);
    const std::string silentPort = std::to_string(ports[3]);

    char dirPattern[] = "/tmp/sentrel-soak-XXXXXX";
    if (mkdtemp(dirPattern) == nullptr) {
        std::fprintf(stderr, "bench_soak: no temporary directory\n");
        return 1;
    }
    const std::string dir = dirPattern;

    MonitorSettings settings;
    settings.MAXSecs = "1";
    settings.Log_Flag = true;
    settings.Success = true;
    settings.Log_File_Name = dir + "/sentrel.log";
    settings.Report_Flag = true;
    settings.Fmt_HTML = true;
    settings.Report_File_Name = dir + "/report.html";
    bench::ResetEngine();

    // expected[i]: the status text of slot i after a normal pass; failing slots
    // have an empty text and count up.
    std::vector<std::string> expected(kMaxNodes);
    for (int i = 0; i < kMaxNodes; ++i) {
        NodeEntry node;
        node.probeType = HTTPD;
        node.address = "127.0.0.1";
        if (i < 60) {
            static const std::size_t kSizes[] = {100, 1000, 5000};
            node.port = std::to_string(ports[static_cast<std::size_t>(i % 3)]);
            expected[i] = SuccessStatusText(HTTPD, static_cast<std::int32_t>(kSizes[i % 3]));
        } else if (i < 70) {
            node.address = "localhost";
            node.port = answer100;
            expected[i] = SuccessStatusText(HTTPD, 100);
        } else if (i < 80) {
            node.port = std::to_string(ports[6]);
        } else if (i < 85) {
            node.port = std::to_string(ports[4]);
        } else if (i < 90) {
            node.port = std::to_string(ports[5]);
        } else if (i < 99) {
            node.probeType = PING;
            node.port.clear();
        } else {
            node.port = answer100;
            expected[i] = SuccessStatusText(HTTPD, 100);
        }
        node.title = "soak " + std::to_string(i);
        settings.NodeList[static_cast<std::size_t>(i)] = node;
        NodeTable::Instance().SetNode(i, node);
    }
    SetCurrentSettings(settings);
    CountingWindow window;
    SetMainWindowHandle(&window);

    auto runPass = [&](long p) {
        const bool silentPass = p % 100 == 50;
        NodeEntry last = settings.NodeList[kMaxNodes - 1];
        last.port = silentPass ? silentPort : answer100;
        NodeTable::Instance().SetNode(kMaxNodes - 1, last);
        if (!StartScanPass(bench::Host()) || !WaitForScanPass(std::chrono::seconds(120))) {
            std::fprintf(stderr, "bench_soak: pass %ld did not start or end\n", p);
            std::exit(1);
        }
    };

    const long rssStart = RssKb();
    const int fdStart = OpenDescriptors();
    const auto t0 = Clock::now();
    const long warmUp = passes < 100 ? passes : 100;
    for (long p = 0; p < warmUp; ++p) {
        runPass(p);
    }
    const long rssWarm = RssKb();
    const int fdWarm = OpenDescriptors();
    for (long p = warmUp; p < passes; ++p) {
        runPass(p);
        if ((p + 1) % 1000 == 0) {
            std::printf("  pass %ld: RSS %ld kB, %d descriptors, %.0f s\n", p + 1, RssKb(),
                        OpenDescriptors(),
                        std::chrono::duration<double>(Clock::now() - t0).count());
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const long rssEnd = RssKb();
    const int fdEnd = OpenDescriptors();
    SetMainWindowHandle(nullptr);
    peers.Stop();

    // Check the log line by line.
    std::ifstream log(settings.Log_File_Name, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    long lines = 0;
    long torn = 0;
    long wrong = 0;
    std::string firstBad;
    std::vector<long> failCount(kMaxNodes, 0);
    std::size_t at = 0;
    while (at < content.size()) {
        std::size_t end = content.find("\r\n", at);
        if (end == std::string::npos) {
            ++torn;  // a last line without its CR LF
            break;
        }
        const std::string line = content.substr(at, end - at);
        at = end + 2;
        const long pass = lines / kMaxNodes;
        const int slot = static_cast<int>(lines % kMaxNodes);
        ++lines;
        const NodeEntry& node = settings.NodeList[static_cast<std::size_t>(slot)];
        std::string want;
        if (slot == kMaxNodes - 1 && pass % 100 == 50) {
            want = FailureStatusText(++failCount[slot]);
        } else if (!expected[slot].empty()) {
            failCount[slot] = 0;
            want = expected[slot];
        } else if (node.probeType == PING) {
            want = "PING: ";  // any round trip; checked by its form below
        } else {
            want = FailureStatusText(++failCount[slot]);
        }
        const std::string prefix = "  Server: " + node.address + " - ";
        bool ok = line.size() > 24 + prefix.size() &&
                  sentrel::bench::IsLineTimestamp(line.substr(0, 24)) &&
                  line.compare(24, prefix.size(), prefix) == 0 && line.back() == ' ';
        if (ok) {
            const std::string status =
                line.substr(24 + prefix.size(), line.size() - 25 - prefix.size());
            if (want == "PING: ") {
                ok = status.rfind("PING: ", 0) == 0 && status.size() > 11 &&
                     status.compare(status.size() - 5, 5, " ms. ") == 0;
            } else {
                ok = status == want;
            }
        }
        if (!ok) {
            if (wrong++ == 0) {
                firstBad =
                    "line " + std::to_string(lines) + ": " + line + "  (wanted " + want + ")";
            }
        }
    }
    std::ifstream report(settings.Report_File_Name, std::ios::binary);
    std::string reportText((std::istreambuf_iterator<char>(report)),
                           std::istreambuf_iterator<char>());
    long reportLines = 0;
    for (std::size_t p = reportText.find("\r\n<br>"); p != std::string::npos;
         p = reportText.find("\r\n<br>", p + 1)) {
        ++reportLines;
    }

    const long expectedLines = passes * kMaxNodes;
    std::printf("passes %ld over %d nodes in %.1f s (%.2f ms per pass)\n", passes, kMaxNodes,
                seconds, seconds * 1000 / static_cast<double>(passes));
    std::printf(
        "RSS: start %ld kB, after %ld warm-up passes %ld kB, end %ld kB; growth %ld kB "
        "since warm-up, %ld kB since start\n",
        rssStart, warmUp, rssWarm, rssEnd, rssEnd - rssWarm, rssEnd - rssStart);
    std::printf("descriptors: start %d, after warm-up %d, end %d\n", fdStart, fdWarm, fdEnd);
    std::printf("log: %ld lines, expected %ld; %ld torn, %ld wrong%s%s\n", lines, expectedLines,
                torn, wrong, wrong ? "; first: " : "", firstBad.c_str());
    std::printf("report: %ld node lines (expected %d), %zu bytes\n", reportLines, kMaxNodes,
                reportText.size());
    std::printf("window: %ld titles, %ld rows rebuilt, %ld messages%s%s\n", window.titles.load(),
                window.rows.load(), window.messages.load(),
                window.messages.load() ? "; first: " : "", window.firstMessage.c_str());

    const bool ok = rssEnd - rssWarm <= 1024 && fdEnd <= fdWarm && lines == expectedLines &&
                    torn == 0 && wrong == 0 && reportLines == kMaxNodes &&
                    window.messages.load() == 0;
    std::printf("goal (RSS growth <= 1 MB, no descriptor leak, no lost or torn line): %s\n",
                ok ? "met" : "MISSED");
    std::remove(settings.Log_File_Name.c_str());
    std::remove(settings.Report_File_Name.c_str());
    rmdir(dir.c_str());
    return ok ? 0 : 1;
}
