// Each of the TCP, HTTPS and DNS probes beside a bare client doing the same
// work against the same peer in the same run, turn about: TCP against a plain
// connect and close; HTTPS against a bare libcurl request (the URL, the test CA
// and the address only) and against the curl program (a process per request, as
// an operator's script would run it); DNS against one UDP question and its
// answer on a plain socket. The peers are tests/support/service_peers.py and a
// listener of this program. Prints the medians and their ratios.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "bench_util.h"
#include "engine/dns_probe.h"
#include "engine/https_probe.h"
#include "engine/tcp_probe.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 40;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

bool PlainConnect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Loopback(port);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// "a.test", type A, class IN, recursion desired.
bool PlainQuestion(int port) {
    static const unsigned char kQuery[] = {0x12, 0x34, 1, 0,   0,   1,   0,   0, 0, 0, 0, 0,
                                           1,    'a',  4, 't', 'e', 's', 't', 0, 0, 1, 0, 1};
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Loopback(port);
    unsigned char answer[512];
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const bool ok = ::sendto(fd, kQuery, sizeof kQuery, 0, reinterpret_cast<const sockaddr*>(&a),
                             sizeof a) == sizeof kQuery &&
                    ::recv(fd, answer, sizeof answer, 0) > 12;
    ::close(fd);
    return ok;
}

void Row(const char* kind, const char* bare, const std::function<bool()>& probe,
         const std::function<bool()>& client) {
    std::vector<double> a;
    std::vector<double> b;
    int failures = 0;
    for (int i = 0; i < kRounds + 3; ++i) {
        auto start = Clock::now();
        failures += !probe();
        const double probeUs =
            std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        start = Clock::now();
        failures += !client();
        const double clientUs =
            std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        if (i >= 3) {  // the first rounds warm up
            a.push_back(probeUs);
            b.push_back(clientUs);
        }
    }
    std::printf("%-6s probe %9.1f us   %-22s %9.1f us   ratio %5.2f   failures %d\n", kind,
                Median(a), bare, Median(b), Median(a) / Median(b), failures);
}

size_t Discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

bool BareLibcurl(const std::string& url, const std::string& resolve, const std::string& ca) {
    CURL* h = curl_easy_init();
    curl_slist* address = curl_slist_append(nullptr, resolve.c_str());
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_RESOLVE, address);
    curl_easy_setopt(h, CURLOPT_CAINFO, ca.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Discard);
    long status = 0;
    const bool ok = curl_easy_perform(h) == CURLE_OK &&
                    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
                    status == 200;
    curl_slist_free_all(address);
    curl_easy_cleanup(h);
    return ok;
}

}  // namespace

int main() {
    FILE* peers =
        ::popen("exec python3 " SENTREL_SOURCE_DIR "/tests/support/service_peers.py", "re");
    char line[512] = "";
    if (peers == nullptr || std::fgets(line, sizeof line, peers) == nullptr) {
        std::fprintf(stderr, "the peers did not start (python3 and openssl are needed)\n");
        return 1;
    }
    std::map<std::string, std::string> at;
    std::istringstream fields(line);
    for (std::string field; fields >> field;) {
        at[field.substr(0, field.find('='))] = field.substr(field.find('=') + 1);
    }
    ::setenv("SSL_CERT_FILE", at["ca"].c_str(), 1);
    sentrel::bench::LoopbackServer listener(1024, [](int c) {
        ::close(c);
        return false;
    });
    const std::string tcpPort = std::to_string(listener.port());
    Row(
        "TCP", "plain connect",
        [&] { return sentrel::TcpProbe("127.0.0.1", tcpPort, "5").result > 0; },
        [&] { return PlainConnect(listener.port()); });

    const std::string& port = at["good"];
    const std::string curl = "curl -s -o /dev/null --fail --http1.1 --cacert " + at["ca"] +
                             " --resolve probe.test:" + port +
                             ":127.0.0.1 https://probe.test:" + port + "/";
    const auto https = [&] {
        return sentrel::HttpsProbe({"probe.test", "127.0.0.1", port, "/", "sentrel-word", "5", 14})
                   .result > 0;
    };
    const std::string url = "https://probe.test:" + port + "/";
    const std::string resolve = "probe.test:" + port + ":127.0.0.1";
    Row("HTTPS", "bare libcurl", https, [&] { return BareLibcurl(url, resolve, at["ca"]); });
    Row("HTTPS", "curl (program)", https, [&] { return std::system(curl.c_str()) == 0; });

    const int dnsPort = std::stoi(at["dns"]);
    Row(
        "DNS", "plain UDP question",
        [&] {
            return sentrel::DnsProbe({"127.0.0.1", at["dns"], "a.test", "A", ""}).result > 0;
        },
        [&] { return PlainQuestion(dnsPort); });
    ::pclose(peers);
    return 0;
}
