// Dotted addresses, the digit-first rule, lookups and the host name.
#include "platform/net_names.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "support/net_namespace.h"

namespace sentrel {
namespace {

TEST(NetNames, ParsesOnlyStrictDottedQuads) {
    const struct {
        const char* text;
        std::uint32_t value;  // host order
    } good[] = {
        {"127.0.0.1", 0x7F000001},       {"10.0.0.7", 0x0A000007},      {"0.0.0.0", 0},
        {"255.255.255.255", 0xFFFFFFFF}, {"192.168.100.9", 0xC0A86409},
    };
    for (const auto& g : good) {
        in_addr a{};
        EXPECT_TRUE(ParseDottedIPv4(g.text, &a)) << g.text;
        EXPECT_EQ(ntohl(a.s_addr), g.value) << g.text;
    }
    for (const char* bad :
         {"", "3com.example", "256.0.0.1", "1.2.3", "1.2.3.4.5", "1..3.4", " 1.2.3.4", "1.2.3.4 ",
          "1.2.3.4\n", "01.2.3.4", "1.2.3.-4", "+1.2.3.4", "0x7f.0.0.1", "1.2.3.4a", "1234.1.1.1",
          "1.2.3.", ".1.2.3", "localhost", "1.2.3.1000"}) {
        in_addr a{};
        a.s_addr = 0x12345678;
        EXPECT_FALSE(ParseDottedIPv4(bad, &a)) << '"' << bad << '"';
    }
}

TEST(NetNames, DigitFirstNamesAreNeverLookedUp) {
    std::string dotted = "old";
    ASSERT_TRUE(NameToDotted("10.0.0.7", &dotted));
    EXPECT_EQ(dotted, "10.0.0.7");
    // Not an address at all, but it begins with a digit: taken as it stands.
    ASSERT_TRUE(NameToDotted("3com.example", &dotted));
    EXPECT_EQ(dotted, "3com.example");
    dotted = "old";
    EXPECT_FALSE(NameToDotted("", &dotted));
    EXPECT_EQ(dotted, "old");
}

TEST(NetNames, LooksUpTheFirstIPv4Address) {
    std::string dotted;
    ASSERT_TRUE(NameToDotted("localhost", &dotted));
    in_addr a{};
    ASSERT_TRUE(ParseDottedIPv4(dotted, &a)) << dotted;
    EXPECT_EQ(ntohl(a.s_addr) >> 24, 127U) << dotted;
    EXPECT_FALSE(LookupHostIPv4("", &dotted));
}

TEST(NetNames, FailedLookupLeavesTheTextAlone) {
    // In a namespace of its own the resolver cannot reach any server, so the lookup
    // fails quickly and without traffic leaving the machine.
    bool answered = true;
    std::string dotted = "untouched";
    double seconds = 0;
    std::string why;
    const bool ran = testing::RunInFreshNetNamespace(
        [&] {
            const auto start = std::chrono::steady_clock::now();
            answered = NameToDotted("no-such-host.invalid", &dotted);
            seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        },
        &why);
    if (!ran) {
        GTEST_SKIP() << "no private network namespace: " << why;
    }
    EXPECT_FALSE(answered);
    EXPECT_EQ(dotted, "untouched");
    EXPECT_LT(seconds, 20.0);
}

TEST(NetNames, LocalHostNameIsCutTo49Characters) {
    char raw[256] = {};
    ASSERT_EQ(::gethostname(raw, sizeof raw - 1), 0);
    std::string name;
    ASSERT_TRUE(LocalHostName(&name));
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), 49U);
    EXPECT_EQ(name, std::string(raw).substr(0, 49));
}

}  // namespace
}  // namespace sentrel
