// Runs on the calling thread with its own libcurl handle and deadline, so any
// number of them may run at once; a pass being stopped (ScanAbort) ends it.
#include "engine/https_probe.h"

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "config/node_table.h"
#include "config/version.h"
#include "engine/echo_round.h"
#include "engine/httpd_probe.h"
#include "engine/tcp_probe.h"
#include "platform/curl_tls.h"
#include "platform/ip_address.h"

namespace sentrel {

namespace {

constexpr int kDefaultHttpsPort = 443;
constexpr std::int64_t kSecondsPerDay = 24 * 60 * 60;

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// The first kKeywordWindow bytes of the body; the transfer ends once they are in.
std::size_t KeepBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* body = static_cast<std::string*>(user);
    const std::size_t room = kKeywordWindow - body->size();
    body->append(data, std::min(room, size * count));
    return body->size() < kKeywordWindow ? size * count : 0;
}

int StopWithPass(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return ScanAbort.load() == 1 ? 1 : 0;
}

// The earliest end among the certificates the server showed; 0 when none is known.
std::int64_t EarliestEnd(CURL* handle) {
    curl_certinfo* chain = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_CERTINFO, &chain) != CURLE_OK || chain == nullptr) {
        return 0;
    }
    std::int64_t earliest = 0;
    static constexpr char kExpire[] = "Expire date:";
    for (int i = 0; i < chain->num_of_certs; ++i) {
        for (const curl_slist* line = chain->certinfo[i]; line != nullptr; line = line->next) {
            if (std::strncmp(line->data, kExpire, sizeof kExpire - 1) == 0) {
                const std::int64_t end = CertDateSeconds(line->data + sizeof kExpire - 1);
                if (end > 0 && (earliest == 0 || end < earliest)) {
                    earliest = end;
                }
            }
        }
    }
    return earliest;
}

// The URL's authority: the host (an IPv6 literal in brackets) and the port.
std::string Authority(const std::string& host, int port) {
    IpAddress address;
    const bool v6 = ParseIpAddress(host, &address) && address.family == AF_INET6;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace

std::int64_t DaysLeft(std::int64_t endSeconds, std::int64_t nowSeconds) {
    const std::int64_t left = endSeconds - nowSeconds;
    return left >= 0 ? left / kSecondsPerDay : -((-left + kSecondsPerDay - 1) / kSecondsPerDay);
}

std::int64_t CertDateSeconds(const std::string& text) {
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char month[4] = "";
    std::tm tm{};
    char zone[4] = "";
    if (std::sscanf(text.c_str(), " %3s %d %d:%d:%d %d %3s", month, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec, &tm.tm_year, zone) != 7 ||
        std::strcmp(zone, "GMT") != 0) {
        return 0;
    }
    const auto found = std::find_if(std::begin(kMonths), std::end(kMonths),
                                    [&](const char* m) { return std::strcmp(m, month) == 0; });
    if (found == std::end(kMonths)) {
        return 0;
    }
    tm.tm_mon = static_cast<int>(found - std::begin(kMonths));
    tm.tm_year -= 1900;
    const std::time_t seconds = timegm(&tm);
    return seconds > 0 ? static_cast<std::int64_t>(seconds) : 0;
}

ServiceVerdict HttpsProbe(const HttpsTarget& target) {
    const int seconds = HttpdTimeoutSeconds(target.maxSecs);
    const int port = ServicePortNumber(target.port, kDefaultHttpsPort);
    IpAddress connectTo;
    if (seconds < 0 || port == 0 || target.host.empty() ||
        !ParseIpAddress(target.ipText, &connectTo)) {
        return {};
    }
    CurlStartOnce();
    const std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
    const std::string authority = Authority(target.host, port);
    // The host is connected to at the address the pass found for it; it stays
    // the name in the URL, the Host line, SNI and the check of the certificate.
    const std::unique_ptr<curl_slist, ListDeleter> resolve(curl_slist_append(
        nullptr, (authority + ":" +
                  (connectTo.family == AF_INET6 ? "[" + target.ipText + "]" : target.ipText))
                     .c_str()));
    if (!curl || !resolve) {
        return {};
    }
    std::string path = target.path.empty() ? "/" : target.path;
    if (path.front() != '/') {
        path.insert(0, 1, '/');
    }
    const std::string url = "https://" + authority + path;
    std::string body;
    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_RESOLVE, resolve.get());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(seconds) * 1000L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    CurlVerifyPeer(h);
    curl_easy_setopt(h, CURLOPT_CERTINFO, 1L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "sentrel/" SENTREL_VERSION);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, KeepBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, StopWithPass);
    const CURLcode code = curl_easy_perform(h);

    long verify = 0;
    curl_easy_getinfo(h, CURLINFO_SSL_VERIFYRESULT, &verify);
    if (code == CURLE_PEER_FAILED_VERIFICATION && verify == X509_V_ERR_CERT_HAS_EXPIRED) {
        return FailedBecause("Certificate expired.");
    }
    // A body cut at the window ends the transfer on purpose.
    if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && body.size() == kKeywordWindow)) {
        return {};
    }
    ServiceVerdict verdict;
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    verdict.httpStatus = static_cast<std::int32_t>(status);
    verdict.certExpirySeconds = EarliestEnd(h);
    curl_off_t micros = 0;
    curl_easy_getinfo(h, CURLINFO_TOTAL_TIME_T, &micros);

    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    const std::int64_t days = DaysLeft(verdict.certExpirySeconds, now);
    if (status < 200 || status > 399) {
        verdict.failureText = "*ERROR* HTTP " + std::to_string(status) + ".";
    } else if (!target.expect.empty() && body.find(target.expect) == std::string::npos) {
        verdict.failureText = "*ERROR* Keyword missing.";
    } else if (verdict.certExpirySeconds > 0 && days < 0) {
        verdict.failureText = "*ERROR* Certificate expired.";
    } else if (verdict.certExpirySeconds > 0 && days < target.certDays) {
        verdict.failureText =
            "*ERROR* Certificate: " + std::to_string(days) + (days == 1 ? " day." : " days.");
    } else {
        verdict.result = WholeMs(static_cast<std::int64_t>(micros));
    }
    return verdict;
}

}  // namespace sentrel
