// Fault matrix, node names: a name that does not resolve, an address of the
// full 99 characters that begins with a digit, IPv6 literals. Each fails its own
// node as an ordinary probe failure, the pass goes on, and the lines stay whole.
//
// Runs in a network namespace of its own: the resolver can reach no server
// there, so the failing lookup ends at once and sends nothing off the machine.
// Digit-first names alone: tests/engine/test_scan_pass.cpp (AddressesPortsAndLookups).
#include <algorithm>

#include "fault/fault_pass.h"
#include "support/http_answer_server.h"
#include "support/net_namespace.h"
#include "support/recording_window.h"

namespace sentrel::fault {
namespace {

using testing::HttpAnswerServer;
using testing::RecordingWindow;

TEST_F(FaultPass, UnusableNamesFailTheirOwnNodeOnly) {
    const std::string longAddress = "10.1.1.1" + std::string(91, '9');  // 99 characters
    ASSERT_EQ(longAddress.size(), 99u);
    bool ran = false;
    std::string why;
    const bool made = testing::RunInFreshNetNamespace(
        [&] {
            ran = true;
            HttpAnswerServer healthy("<html>ok</html>\n");
            ASSERT_TRUE(healthy.ok());
            AddNode(0, "no-such-node.invalid", healthy.portText());
            AddNode(1, longAddress, "", PING);
            AddNode(2, "::1", healthy.portText());
            AddNode(3, "2001:db8::1", healthy.portText());
            AddNode(4, "127.0.0.1", healthy.portText());
            LogAndReport();
            RecordingWindow window;

            for (int pass = 1; pass <= 2; ++pass) {
                window.Clear();
                EXPECT_LT(Seconds(RunPass()), 10.0);
                const std::string failed = "*ERROR* count: " + std::to_string(pass);
                for (int i = 0; i < 4; ++i) {
                    EXPECT_EQ(Slot(i).status.statusText, failed) << "node " << i;
                }
                EXPECT_EQ(Slot(4).status.statusText, "HTTP: 16 bytes. ");
                // Names that do not resolve are looked up again at every pass.
                EXPECT_EQ(Slot(0).status.ipText, "");
                EXPECT_EQ(Slot(2).status.ipText, "");
                const auto calls = window.Calls();
                EXPECT_EQ(std::count(calls.begin(), calls.end(), "cursor:on"), 2);
                EXPECT_EQ(std::count(calls.begin(), calls.end(), "cursor:off"), 2);
                // The title never exceeds 100 characters, however long the address.
                for (const std::string& title : window.Titles()) {
                    EXPECT_LE(title.size(), 100u);
                }
                EXPECT_TRUE(window.Messages().empty());
            }
            EXPECT_EQ(healthy.connections(), 2);
            // The rows cut the long address to 40 characters before the status column.
            const auto rows = StatusRows();
            ASSERT_EQ(rows.size(), 5u);
            EXPECT_EQ(rows[1], longAddress.substr(0, 40) + " *ERROR* count: 2");

            // The log keeps every address whole.
            std::vector<std::string> statuses;
            for (int pass = 1; pass <= 2; ++pass) {
                const std::string failed = "*ERROR* count: " + std::to_string(pass);
                statuses.insert(statuses.end(),
                                {failed, failed, failed, failed, "HTTP: 16 bytes. "});
            }
            ExpectLog(statuses);
            ExpectReport({statuses.begin() + 5, statuses.end()});
        },
        &why);
    if (!made) {
        GTEST_SKIP() << "no private network namespace: " << why;
    }
    EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace sentrel::fault
