// Fault matrix, HTTP peers: every kind of misbehaving web server among healthy
// nodes in one pass. Each fails (or counts) only its own node, within its time
// bound, and every other node, log line and report line is still there.
//
// The probe on its own is covered per behaviour in tests/engine/test_httpd_probe.cpp
// (RefusedPortIsAFailureAtOnce, ServerThatClosesOrResetsIsAFailure,
// SilentServerIsGivenUpBetweenMaxSecsAndOneSecondMore, LargeAnswerCountsOnlyTheFirstRead,
// FirstSegmentCountsEvenWhenTheServerThenHangs); here the same peers meet a whole pass.
#include <gtest/gtest.h>

#include "engine/node_table.h"
#include "fault/fault_pass.h"
#include "support/http_answer_server.h"
#include "support/recording_window.h"
#include "support/tcp_peer.h"

namespace sentrel::fault {
namespace {

using testing::HttpAnswerServer;
using testing::RecordingWindow;
using testing::TcpPeer;
using Behaviour = testing::TcpPeer::Behaviour;

const std::string kAnswer = "<html>still here</html>\n";

TEST_F(FaultPass, MisbehavingWebServersFailOnlyTheirOwnNode) {
    HttpAnswerServer healthy(kAnswer);
    TcpPeer reset(Behaviour::ResetAfterAccept);
    TcpPeer silent(Behaviour::Silent);
    TcpPeer flood(Behaviour::Flood);  // 1 MB
    TcpPeer oneByte(Behaviour::OneByteThenHang);
    TcpPeer empty(Behaviour::CloseWithoutData);
    ASSERT_TRUE(healthy.ok() && reset.listening() && silent.listening() && flood.listening() &&
                oneByte.listening() && empty.listening());

    AddNode(0, "127.0.0.1", healthy.portText());
    AddNode(1, "127.0.0.1", std::to_string(HttpAnswerServer::RefusedPort()));
    AddNode(2, "127.0.0.1", std::to_string(reset.port()));
    AddNode(3, "127.0.0.1", std::to_string(silent.port()));
    AddNode(4, "127.0.0.1", std::to_string(flood.port()));
    AddNode(5, "127.0.0.1", std::to_string(oneByte.port()));
    AddNode(6, "127.0.0.1", std::to_string(empty.port()));
    AddNode(7, "127.0.0.1", healthy.portText());
    LogAndReport();
    RecordingWindow window;

    const std::string ok = "HTTP: " + std::to_string(kAnswer.size()) + " bytes. ";
    for (int pass = 1; pass <= 2; ++pass) {
        // MAXSecs 1: the silent peer holds the pass 1 to 2 s; nothing else may.
        const double took = Seconds(RunPass());
        EXPECT_GE(took, 1.0);
        EXPECT_LT(took, 2.0 + 3.0);

        const std::string failed = "*ERROR* count: " + std::to_string(pass);
        EXPECT_EQ(Slot(0).status.statusText, ok);
        EXPECT_EQ(Slot(1).status.statusText, failed);  // refused
        EXPECT_EQ(Slot(2).status.statusText, failed);  // reset after the accept
        EXPECT_EQ(Slot(3).status.statusText, failed);  // accepts, never answers
        // 1 MB: only the first read counts, and never more than 30000 bytes.
        const std::string big = Slot(4).status.statusText;
        ASSERT_EQ(big.rfind("HTTP: ", 0), 0u) << big;
        const int bytes = std::stoi(big.substr(6));
        EXPECT_GE(bytes, 1);
        EXPECT_LE(bytes, 30000);
        EXPECT_EQ(Slot(5).status.statusText, "HTTP: 1 bytes. ");  // one byte, then hangs
        EXPECT_EQ(Slot(6).status.statusText, failed);             // closes without data
        EXPECT_EQ(Slot(7).status.statusText, ok);
        EXPECT_EQ(Slot(4).status.failCount, 0);
        EXPECT_EQ(Slot(5).status.failCount, 0);

        ASSERT_FALSE(window.Titles().empty());
        EXPECT_EQ(window.Titles().back(), "Sentrel v1.2 - sleeping...");
    }
    // Probe failures are statuses, never messages.
    EXPECT_TRUE(window.Messages().empty());
    EXPECT_EQ(healthy.connections(), 4);

    std::vector<std::string> statuses;
    for (int pass = 1; pass <= 2; ++pass) {
        const std::string failed = "*ERROR* count: " + std::to_string(pass);
        const std::string big = pass == 2 ? Slot(4).status.statusText : std::string();
        statuses.insert(statuses.end(),
                        {ok, failed, failed, failed, big, "HTTP: 1 bytes. ", failed, ok});
    }
    // The flood node's first pass may have read a different amount: take it from the log.
    const auto lines = SplitLines(testing::ReadFileBytes(settings_.Log_File_Name));
    ASSERT_EQ(lines.size(), 16u);
    const std::size_t at = lines[4].find(" - HTTP: ");
    ASSERT_NE(at, std::string::npos) << lines[4];
    statuses[4] = lines[4].substr(at + 3, lines[4].size() - at - 3 - 3);
    ExpectLog(statuses);
    // The report holds the second pass only.
    ExpectReport({statuses.begin() + 8, statuses.end()});
}

}  // namespace
}  // namespace sentrel::fault
