// Fault matrix, SMTP server: every misbehaving mail server, first against the
// mailer alone (the result and what the server saw), then as the server of an
// alarm in a whole pass, which must end in time and go on to its other alerts
// with every log line written.
//
// The mailer alone is also covered in tests/alerts/test_smtp_mailer.cpp:
// silent after connect (SilentServerFailsAfterFiveBoundedReceives), closing
// (ServerClosingAtOnceFails), 550 to RCPT (RcptRefusedThenClosedFailsWithoutData,
// RefusalWithTheConnectionKeptOpenEndsWithinTheReceiveBounds). New here: 421 to
// HELO, replies in one-byte pieces, and every row inside a pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "alerts/smtp_mailer.h"
#include "fault/fault_pass.h"
#include "support/http_answer_server.h"
#include "support/recording_window.h"
#include "support/smtp_peer.h"

namespace sentrel::fault {
namespace {

using namespace std::chrono_literals;
using testing::RecordingWindow;
using testing::SmtpPeer;
using testing::SmtpReply;

// Short receive bound and call budget, so a row ends in seconds.
constexpr auto kReceive = 400ms;
constexpr auto kBudget = 3000ms;

struct SmtpRow {
    const char* name;
    std::function<void(SmtpPeer&)> script;
    // The command verbs the server must have seen (QUIT never: no row succeeds).
    std::vector<std::string> commands;
};

std::vector<SmtpReply> OneBytePieces(const std::string& text) {
    std::vector<SmtpReply> pieces;
    for (char c : text) {
        pieces.push_back({std::string(1, c), 40ms});
    }
    return pieces;
}

std::vector<SmtpRow> Rows() {
    return {
        {"SilentAfterConnect", [](SmtpPeer& p) { p.SetGreeting({}); }, {}},
        {"ClosesAfterTheGreeting",
         [](SmtpPeer& p) {
             p.SetGreeting({{"220 ready\r\n", 0ms, true}});
         },
         {}},
        {"Answers421ToHelo",
         [](SmtpPeer& p) {
             p.SetResponder([](const std::string& command) -> std::vector<SmtpReply> {
                 if (command.rfind("HELO", 0) == 0) {
                     return {{"421 4.3.2 service shutting down\r\n"}};
                 }
                 return SmtpPeer::StandardReply(command);
             });
         },
         {"HELO"}},
        {"Answers550ToRcptAndWaits",
         [](SmtpPeer& p) {
             p.SetResponder([](const std::string& command) -> std::vector<SmtpReply> {
                 if (command.rfind("RCPT", 0) == 0) {
                     return {{"550 5.1.1 no such user\r\n"}};
                 }
                 return SmtpPeer::StandardReply(command);
             });
         },
         {"HELO", "MAIL", "RCPT"}},
        // Each receive gets one byte, whose number is never the awaited code.
        {"SplitsEveryReplyIntoOneBytePieces",
         [](SmtpPeer& p) {
             p.SetGreeting(OneBytePieces("220 peer.test ready\r\n"));
             p.SetResponder([](const std::string& command) {
                 std::vector<SmtpReply> pieces;
                 for (const SmtpReply& r : SmtpPeer::StandardReply(command)) {
                     for (SmtpReply& b : OneBytePieces(r.text)) {
                         pieces.push_back(b);
                     }
                 }
                 return pieces;
             });
         },
         {}},
    };
}

std::vector<std::string> Verbs(const testing::SmtpSession& session) {
    std::vector<std::string> verbs;
    for (const std::string& c : session.commands) {
        verbs.push_back(c.substr(0, 4));
    }
    return verbs;
}

class SmtpFaultRow : public FaultPass, public ::testing::WithParamInterface<SmtpRow> {
  protected:
    void SetUp() override {
        FaultPass::SetUp();
        SetSmtpTimingForTesting(kReceive, kBudget);
    }
    void TearDown() override {
        SetSmtpTimingForTesting(0ms, 0ms);
        SetSmtpPortForTesting(0);
        FaultPass::TearDown();
    }
};

TEST_P(SmtpFaultRow, EndsBoundedAndThePassGoesOn) {
    const SmtpRow& row = GetParam();

    // The mailer alone: MailFailed within its budget, and no further than the row allows.
    {
        SmtpPeer peer;
        row.script(peer);
        peer.Start();
        SetSmtpPortForTesting(peer.port());
        const auto start = Clock::now();
        EXPECT_EQ(SendAlertMail("127.0.0.1", "ops@example.org", "pager@example.org", "down",
                                "This is a message from Sentrel.\n"),
                  MailFailed);
        EXPECT_LT(Seconds(Clock::now() - start), Seconds(kBudget) + 1.0);
        ASSERT_TRUE(peer.WaitForEndedSessions(1, 5s));
        const auto sessions = peer.Sessions();
        ASSERT_EQ(sessions.size(), 1u);
        EXPECT_EQ(Verbs(sessions[0]), row.commands);
        EXPECT_FALSE(sessions[0].dataComplete);
    }

    // The same server behind an alarm: the pass ends in time, runs its launch
    // command after the mail, and loses no line.
    SmtpPeer peer;
    row.script(peer);
    peer.Start();
    SetSmtpPortForTesting(peer.port());
    testing::HttpAnswerServer healthy("<html>ok</html>\n");
    AddNode(0, "127.0.0.1", std::to_string(testing::HttpAnswerServer::RefusedPort()));
    AddNode(1, "127.0.0.1", healthy.portText());
    LogAndReport();
    settings_.Num_Fails = "1";
    settings_.Max_Alarms = "10";
    settings_.Email_Flag = true;
    settings_.Email_SMTP = "127.0.0.1";
    settings_.Email_From = "ops@example.org";
    settings_.Email_To = "pager@example.org";
    settings_.Email_Subject = "Sentrel alarm";
    settings_.Launch_Flag = true;
    const std::string mark = dir_.File("launched");
    settings_.Command_Line = "touch " + mark;
    RecordingWindow window;

    const double took = Seconds(RunPass());
    EXPECT_LT(took, Seconds(kBudget) + 3.0);
    EXPECT_EQ(peer.Connections(), 1);
    EXPECT_EQ(Slot(0).status.alarmCount, 1);
    EXPECT_TRUE(std::filesystem::exists(mark)) << "the pass did not go on to its launch";
    const auto titles = window.Titles();
    EXPECT_NE(std::find(titles.begin(), titles.end(), "Sentrel - sending Email..."), titles.end());
    ASSERT_FALSE(titles.empty());
    EXPECT_EQ(titles.back(), "Sentrel v1.2 - sleeping...");
    EXPECT_TRUE(window.Messages().empty());
    ExpectLog({"*ERROR* count: 1", "HTTP: 16 bytes. "});
    ExpectReport({"*ERROR* count: 1", "HTTP: 16 bytes. "});
}

INSTANTIATE_TEST_SUITE_P(Rows, SmtpFaultRow, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<SmtpRow>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace sentrel::fault
