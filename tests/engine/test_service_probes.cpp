// The TCP, HTTPS and DNS probes against peers on 127.0.0.1: a listener and a
// closed port, HTTPS servers of a test CA (tests/support/service_peers.py), and
// a DNS responder that answers, denies, truncates and keeps silent.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>

#include "engine/dns_probe.h"
#include "engine/https_probe.h"
#include "engine/tcp_probe.h"
#include "support/harness.h"

namespace sentrel {
namespace {

using namespace testing;

class ServicePeers : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        peers_ = ::popen("exec python3 " SENTREL_TEST_SUPPORT "/service_peers.py", "re");
        char line[512] = "";
        std::istringstream fields(peers_ && std::fgets(line, sizeof line, peers_) ? line : "");
        for (std::string field; fields >> field;) {
            port_[field.substr(0, field.find('='))] = field.substr(field.find('=') + 1);
        }
        ::setenv("SSL_CERT_FILE", port_["ca"].c_str(), 1);
    }
    static void TearDownTestSuite() { ::pclose(peers_); }
    void SetUp() override {
        if (port_.count("dns") == 0)
            GTEST_SKIP() << "no peers (python3 and openssl are needed)";
    }
    static ServiceVerdict Https(const std::string& server, const std::string& path = "/",
                                const std::string& word = "sentrel-word", int certDays = 14) {
        return HttpsProbe({"probe.test", "127.0.0.1", port_[server], path, word, "10", certDays});
    }
    static ServiceVerdict Dns(const std::string& query, const std::string& qtype = "A",
                              const std::string& expect = {}) {
        return DnsProbe({"127.0.0.1", port_["dns"], query, qtype, expect});
    }
    static inline FILE* peers_ = nullptr;
    static inline std::map<std::string, std::string> port_;
};

TEST(TcpProbe, ConnectsToAListenerFailsOnAClosedPortAndWithoutOne) {
    std::string closed;
    {
        LoopbackPeer listener(LoopbackPeer::Mode::Silent);
        EXPECT_GE(TcpProbe("127.0.0.1", listener.portText(), "5").result, 1);
        closed = listener.portText();
    }
    EXPECT_EQ(TcpProbe("127.0.0.1", closed, "5").result, 0);
    EXPECT_EQ(SuccessStatusText(TCP, 3), "TCP: 3 ms. ");
    EXPECT_EQ(TcpProbe("127.0.0.1", "", "5").failureText, "*ERROR* Port missing.");
}

TEST_F(ServicePeers, HttpsJudgesStatusWordRedirectAndCertificates) {
    const ServiceVerdict good = Https("good");
    EXPECT_GE(good.result, 1) << good.failureText;
    EXPECT_EQ(good.httpStatus, 200);
    EXPECT_GT(DaysLeft(good.certExpirySeconds, std::time(nullptr)), 18);
    EXPECT_EQ(SuccessStatusText(HTTPS, 41, 200), "HTTPS: 200, 41 ms. ");
    const struct {
        ServiceVerdict verdict;
        const char* text;  // nullptr: a success
    } cases[] = {
        {Https("good", "/busy"), "*ERROR* HTTP 503."},
        {Https("good", "/moved", ""), nullptr},  // judged as it is, never followed to /busy
        {Https("good", "/", "absent-word"), "*ERROR* Keyword missing."},
        {Https("good", "/far"), "*ERROR* Keyword missing."},  // just past the window
        {Https("good", "/near"), nullptr},                    // ends at its last byte
        {Https("soon", "/", "", 14), "*ERROR* Certificate: 5 days."},
        {Https("soon", "/", "", 5), nullptr},
        {Https("soon", "/", "", 0), nullptr},
        {Https("expired"), "*ERROR* Certificate expired."},
        {Https("untrusted"), "*ERROR* count: n"},
        {Https("wrongname"), "*ERROR* count: n"},
    };
    for (const auto& [verdict, text] : cases) {
        SCOPED_TRACE(text ? text : "success");
        EXPECT_EQ(verdict.result > 0, text == nullptr) << verdict.failureText;
        if (text && std::string(text) != "*ERROR* count: n") {
            EXPECT_EQ(verdict.failureText, text);
        } else {
            EXPECT_EQ(verdict.failureText, "");
        }
    }
}

TEST_F(ServicePeers, DnsAnswersDenialsTruncationAndSilence) {
    const struct {
        ServiceVerdict verdict;
        const char* text;  // nullptr: a success; "": a failure without a cause of its own
    } cases[] = {
        {Dns("a.test"), nullptr},
        {Dns("a.test", "aaaa", "2001:db8:0::1"), nullptr},
        {Dns("a.test", "A", "192.0.2.2"), "*ERROR* Address missing."},
        {Dns("big.test", "A", "192.0.2.7"), nullptr},  // truncated over UDP, whole over TCP
        {Dns("missing.test"), "*ERROR* DNS NXDOMAIN."},
        {Dns("broken.test"), "*ERROR* DNS SERVFAIL."},
        {Dns("big.test", "AAAA"), "*ERROR* DNS no answer."},
        {Dns("other.test"), "*ERROR* DNS no answer."},  // a record for another name only
        {Dns("a.test", "MX"), "*ERROR* Qtype not A or AAAA."},
        {Dns(""), "*ERROR* Query missing."},
    };
    for (const auto& [verdict, text] : cases) {
        SCOPED_TRACE(text ? text : "success");
        EXPECT_EQ(verdict.result > 0, text == nullptr) << verdict.failureText;
        EXPECT_EQ(verdict.failureText, text ? text : "");
    }
    EXPECT_EQ(SuccessStatusText(DNS, 2), "DNS: 2 ms. ");
    const auto start = Clock::now();
    const ServiceVerdict silent = Dns("silent.test");
    EXPECT_EQ(silent.result, 0);
    EXPECT_EQ(silent.failureText, "");
    EXPECT_GE(Clock::now() - start, 4500ms) << "silence is waited for, the retry included";
}

}  // namespace
}  // namespace sentrel
