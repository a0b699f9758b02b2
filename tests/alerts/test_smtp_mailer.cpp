// The mailer's dialogue against a scripted SMTP server on 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <regex>
#include <thread>

#include "alerts/smtp_mailer.h"
#include "platform/net_names.h"
#include "support/smtp_peer.h"

namespace sentrel {
namespace {

using namespace std::chrono_literals;
using testing::SmtpPeer;
using testing::SmtpReply;
using testing::SmtpSession;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class SmtpDialogue : public ::testing::Test {
  protected:
    void TearDown() override {
        SetSmtpPortForTesting(0);
        SetSmtpTimingForTesting(0ms, 0ms);
    }

    // Starts the peer and points the mailer at it.
    void Begin() {
        peer_.Start();
        SetSmtpPortForTesting(peer_.port());
    }

    // The one session, once the peer has seen it end.
    SmtpSession OnlySession() {
        EXPECT_TRUE(peer_.WaitForEndedSessions(1, 5s));
        const std::vector<SmtpSession> sessions = peer_.Sessions();
        EXPECT_EQ(sessions.size(), 1u);
        return sessions.empty() ? SmtpSession{} : sessions.front();
    }

    SmtpPeer peer_;
};

std::vector<SmtpReply> Except(const std::string& verb, std::vector<SmtpReply> answer,
                              const std::string& command) {
    if (command.rfind(verb, 0) == 0) {
        return answer;
    }
    return SmtpPeer::StandardReply(command);
}

TEST_F(SmtpDialogue, CleanDialogueSendsEveryLineByteForByte) {
    Begin();
    const std::time_t before = std::time(nullptr);
    const MailResult result =
        SendAlertMail("127.0.0.1", "alerts@example.com", "ops@example.com", "Node down",
                      "This is a message from Sentrel.\nThe following Server is NOT "
                      "responding:\nweb1.example.com");
    const std::time_t after = std::time(nullptr);
    ASSERT_EQ(result, MailSent);
    const SmtpSession s = OnlySession();

    std::string host;
    ASSERT_TRUE(LocalHostName(&host));

    // The Date line is taken from the clock: it must be the line of a second
    // within the call, in the local zone.
    const std::size_t dateAt = s.received.find("DATA\r\n");
    ASSERT_NE(dateAt, std::string::npos);
    const std::size_t dateStart = dateAt + 6;
    const std::string dateLine =
        s.received.substr(dateStart, s.received.find("\r\n", dateStart) + 2 - dateStart);
    EXPECT_TRUE(std::regex_match(
        dateLine, std::regex("Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [0-9]{2} "
                             "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
                             "[0-9]{2}:[0-9]{2}:[0-9]{2} [+-][0-9]{4}\r\n")))
        << dateLine;
    bool matchesClock = false;
    for (std::time_t t = before; t <= after; ++t) {
        std::tm local{};
        localtime_r(&t, &local);
        matchesClock = matchesClock || MailDateLine(local, local.tm_gmtoff) == dateLine;
    }
    EXPECT_TRUE(matchesClock) << dateLine;

    const std::string expected = "HELO " + host + "\r\n" +                // 1
                                 "MAIL From: <alerts@example.com>\r\n"    // 2
                                 "RCPT To: <ops@example.com>\r\n"         // 3
                                 "DATA\r\n" +                             // 4
                                 dateLine +                               // 5
                                 "From: alerts@example.com\r\n"           // 6
                                 "Sender: alerts@example.com\r\n"         // 7
                                 "Reply-to: alerts@example.com\r\n"       // 8
                                 "Subject: Node down\r\n"                 // 9
                                 "X-Mailer:[Brightfen EMailer v1.0]\r\n"  // 10
                                 "\r\n\r\n"                               // 11
                                 "* ALERT! Server Not Responding! *\r\n"  // 12
                                 "This is a message from Sentrel.\r\n"    // 13
                                 "The following Server is NOT responding:\r\n"
                                 "web1.example.com\r\n"
                                 "*END*\r\n"  // 14
                                 "\r\n.\r\n"  // 15
                                 "QUIT\r\n";  // 16
    EXPECT_EQ(s.received, expected);
    EXPECT_TRUE(s.dataComplete);
    EXPECT_TRUE(s.quitAfterDataReply);
    EXPECT_EQ(s.commands.size(), 5u);  // HELO MAIL RCPT DATA QUIT
}

TEST_F(SmtpDialogue, GreetingInTwoPiecesPassesOverTheLeftoverLine) {
    peer_.SetGreeting({{"220-peer.test first greeting line\r\n"}});
    peer_.SetResponder([](const std::string& command) {
        // The rest of the greeting arrives only now, and the HELO answer after it.
        return Except("HELO",
                      {{"220 peer.test second greeting line\r\n"}, {"250 hello\r\n", 300ms}},
                      command);
    });
    Begin();
    EXPECT_EQ(SendAlertMail("127.0.0.1", "a@example.com", "b@example.com", "s", "m"), MailSent);
    const SmtpSession s = OnlySession();
    ASSERT_EQ(s.commands.size(), 5u);
    EXPECT_EQ(s.commands[1], "MAIL From: <a@example.com>");
    EXPECT_TRUE(s.quitAfterDataReply);
}

TEST_F(SmtpDialogue, RcptRefusedThenClosedFailsWithoutData) {
    peer_.SetResponder([](const std::string& command) {
        return Except("RCPT", {{"550 5.1.1 no such user\r\n"}, {"", 100ms, true}}, command);
    });
    Begin();
    const auto start = Clock::now();
    EXPECT_EQ(SendAlertMail("127.0.0.1", "a@example.com", "nobody@example.com", "s", "m"),
              MailFailed);
    const double took = SecondsSince(start);
    // One attempt read the 550; the four empty receives that follow each pause 500 ms.
    EXPECT_GE(took, 1.9);
    EXPECT_LT(took, 8.0);
    const SmtpSession s = OnlySession();
    ASSERT_EQ(s.commands.size(), 3u);
    EXPECT_EQ(s.commands[2], "RCPT To: <nobody@example.com>");
    EXPECT_EQ(s.received.find("DATA"), std::string::npos);
    EXPECT_EQ(s.received.find("QUIT"), std::string::npos);
}

TEST_F(SmtpDialogue, RefusalWithTheConnectionKeptOpenEndsWithinTheReceiveBounds) {
    SetSmtpTimingForTesting(300ms, 55'000ms);
    peer_.SetResponder([](const std::string& command) {
        return Except("MAIL", {{"550 5.7.1 go away\r\n"}}, command);
    });
    Begin();
    const auto start = Clock::now();
    EXPECT_EQ(SendAlertMail("127.0.0.1", "a@example.com", "b@example.com", "s", "m"), MailFailed);
    const double took = SecondsSince(start);
    // 550, then four receives of 300 ms, each followed by the 500 ms pause.
    EXPECT_GE(took, 3.0);
    EXPECT_LT(took, 8.0);
    const SmtpSession s = OnlySession();
    EXPECT_EQ(s.commands.size(), 2u);
    EXPECT_TRUE(s.clientClosed);
}

TEST_F(SmtpDialogue, SilentServerFailsAfterFiveBoundedReceives) {
    SetSmtpTimingForTesting(400ms, 55'000ms);
    peer_.SetGreeting({});
    Begin();
    const auto start = Clock::now();
    EXPECT_EQ(SendAlertMail("127.0.0.1", "a@example.com", "b@example.com", "s", "m"), MailFailed);
    const double took = SecondsSince(start);
    EXPECT_GE(took, 4.0);  // 5 x (400 ms + 500 ms)
    EXPECT_LT(took, 9.0);
    const SmtpSession s = OnlySession();
    EXPECT_TRUE(s.received.empty());
    EXPECT_TRUE(s.clientClosed);
}

TEST_F(SmtpDialogue, SlowServerIsCutOffByTheCallBudget) {
    // Each answer comes after 1 s: the whole dialogue would take some 6 s and
    // succeed, but the call may last 3 s only.
    SetSmtpTimingForTesting(2'000ms, 3'000ms);
    peer_.SetGreeting({{"220 slow\r\n", 1000ms}});
    peer_.SetResponder([](const std::string& command) {
        std::vector<SmtpReply> reply = SmtpPeer::StandardReply(command);
        reply.front().delay = 1000ms;
        return reply;
    });
    Begin();
    const auto start = Clock::now();
    EXPECT_EQ(SendAlertMail("127.0.0.1", "a@example.com", "b@example.com", "s", "m"), MailFailed);
    const double took = SecondsSince(start);
    EXPECT_GE(took, 2.8);
    EXPECT_LT(took, 4.5);
    const SmtpSession s = OnlySession();
    EXPECT_FALSE(s.dataComplete);
}

TEST_F(SmtpDialogue, ServerClosingAtOnceFails) {
    peer_.SetGreeting({{"", 0ms, true}});
    Begin();
    const auto start = Clock::now();
    EXPECT_EQ(SendAlertMail("127.0.0.1", "a@example.com", "b@example.com", "s", "m"), MailFailed);
    const double took = SecondsSince(start);
    EXPECT_GE(took, 2.4);  // five empty receives, 500 ms after each
    EXPECT_LT(took, 6.0);
    EXPECT_TRUE(OnlySession().received.empty());
}

TEST_F(SmtpDialogue, ServerTextThatIsNotADottedAddressMakesNoConnection) {
    Begin();
    for (const char* server : {"mail.example.com", "", "127.0.0", "256.0.0.1", "127.0.0.1x"}) {
        const auto start = Clock::now();
        EXPECT_EQ(SendAlertMail(server, "a@example.com", "b@example.com", "s", "m"), MailFailed)
            << server;
        EXPECT_LT(SecondsSince(start), 1.0) << server;
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(peer_.Connections(), 0);
}

TEST_F(SmtpDialogue, EnvelopeGetsBracketsOnlyWhenItHasNoneAndHeadersKeepTheText) {
    Begin();
    ASSERT_EQ(SendAlertMail("127.0.0.1", "<alerts@example.com>", "ops@example.com", "s", "m"),
              MailSent);
    const SmtpSession s = OnlySession();
    ASSERT_GE(s.commands.size(), 3u);
    EXPECT_EQ(s.commands[1], "MAIL From: <alerts@example.com>");
    EXPECT_EQ(s.commands[2], "RCPT To: <ops@example.com>");
    EXPECT_NE(s.data.find("\r\nFrom: <alerts@example.com>\r\nSender: <alerts@example.com>\r\n"
                          "Reply-to: <alerts@example.com>\r\n"),
              std::string::npos);
    EXPECT_EQ(s.data.find("To: "), std::string::npos);  // no To: header
}

TEST_F(SmtpDialogue, ALoneDotLineInTheMessageDoesNotEndTheData) {
    Begin();
    ASSERT_EQ(SendAlertMail("127.0.0.1", "a@example.com", "b@example.com", "s",
                            "first\n.\n.second\nlast"),
              MailSent);
    const SmtpSession s = OnlySession();
    ASSERT_TRUE(s.dataComplete);
    const std::string tail =
        "* ALERT! Server Not Responding! "
        "*\r\nfirst\r\n..\r\n..second\r\nlast\r\n*END*\r\n\r\n.\r\n";
    ASSERT_GE(s.data.size(), tail.size());
    EXPECT_EQ(s.data.substr(s.data.size() - tail.size()), tail);
    EXPECT_EQ(s.commands.back(), "QUIT");
}

TEST_F(SmtpDialogue, OverlappingCallsEachKeepTheirOwnDialogue) {
    Begin();
    MailResult first = MailFailed;
    MailResult second = MailFailed;
    std::thread other(
        [&] { first = SendAlertMail("127.0.0.1", "a@example.com", "b@example.com", "one", "1"); });
    second = SendAlertMail("127.0.0.1", "a@example.com", "b@example.com", "two", "2");
    other.join();
    EXPECT_EQ(first, MailSent);
    EXPECT_EQ(second, MailSent);
    ASSERT_TRUE(peer_.WaitForEndedSessions(2, 5s));
    int subjects = 0;
    for (const SmtpSession& s : peer_.Sessions()) {
        subjects += s.data.find("Subject: one\r\n") != std::string::npos;
        subjects += s.data.find("Subject: two\r\n") != std::string::npos;
    }
    EXPECT_EQ(subjects, 2);
}

TEST(MailBodyText, BareLineFeedsBecomeCrLfAndLeadingDotsAreDoubled) {
    EXPECT_EQ(MailBodyText(""), "");
    EXPECT_EQ(MailBodyText("plain"), "plain");
    EXPECT_EQ(MailBodyText("a\nb\n"), "a\r\nb\r\n");
    EXPECT_EQ(MailBodyText("a\r\nb"), "a\r\nb");  // already CR LF: unchanged
    EXPECT_EQ(MailBodyText("\n\n"), "\r\n\r\n");
    EXPECT_EQ(MailBodyText(".start"), "..start");
    EXPECT_EQ(MailBodyText("a\n.\nb"), "a\r\n..\r\nb");
    EXPECT_EQ(MailBodyText("a\r\n..b"), "a\r\n...b");
    EXPECT_EQ(MailBodyText("a.b\nc. d."), "a.b\r\nc. d.");  // dots inside a line stay
}

std::tm LocalTime(int year, int month, int day, int wday, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_wday = wday;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

TEST(MailDateLine, FormatsDayMonthYearTimeAndZone) {
    EXPECT_EQ(MailDateLine(LocalTime(1997, 1, 2, 4, 9, 5, 7), 0),
              "Date: Thu, 02 Jan 1997 09:05:07 +0000\r\n");
    EXPECT_EQ(MailDateLine(LocalTime(2001, 3, 5, 1, 23, 59, 0), 0),
              "Date: Mon, 05 Mar 2001 23:59:00 +0000\r\n");
    const std::tm t = LocalTime(2001, 3, 5, 1, 0, 0, 0);
    EXPECT_EQ(MailDateLine(t, -(3 * 3600 + 30 * 60)), "Date: Mon, 05 Mar 2001 00:00:00 -0330\r\n");
    EXPECT_EQ(MailDateLine(t, 5 * 3600 + 30 * 60), "Date: Mon, 05 Mar 2001 00:00:00 +0530\r\n");
    EXPECT_EQ(MailDateLine(t, 3600), "Date: Mon, 05 Mar 2001 00:00:00 +0100\r\n");
    EXPECT_EQ(MailDateLine(t, -5 * 3600), "Date: Mon, 05 Mar 2001 00:00:00 -0500\r\n");
    EXPECT_EQ(MailDateLine(t, 14 * 3600), "Date: Mon, 05 Mar 2001 00:00:00 +1400\r\n");
    EXPECT_EQ(MailDateLine(LocalTime(2024, 12, 31, 0, 12, 0, 0), 0),
              "Date: Sun, 31 Dec 2024 12:00:00 +0000\r\n");
    EXPECT_EQ(MailDateLine(LocalTime(2023, 7, 15, 6, 8, 9, 1), 0),
              "Date: Sat, 15 Jul 2023 08:09:01 +0000\r\n");
}

}  // namespace
}  // namespace sentrel
