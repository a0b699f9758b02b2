// Which failures raise alarms and what an alarm sets off; the mailer against SMTP
// servers on 127.0.0.1 played by a script: the dialogue byte for byte, and every
// way a server fails it, within the time limits.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <map>

#include "alerts/alarm_dispatch.h"
#include "alerts/alarm_hold.h"
#include "alerts/smtp_mailer.h"
#include "config/node_table.h"
#include "platform/net_names.h"
#include "platform/sound.h"
#include "support/harness.h"

namespace sentrel {
namespace {

using namespace std::chrono_literals;
using testing::Clock;
using testing::Connection;
using testing::LoopbackPeer;
using testing::Ms;

// A server's side: replies by verb ("|" is a pause of 300 ms, "#" closes),
// `delay` before each reply, every byte in a segment of its own when asked.
struct Server {
    std::string greeting = "220 peer.test ready\r\n";
    std::map<std::string, std::string> replies;
    std::chrono::milliseconds delay{0};
    bool oneByte = false;

    bool Say(Connection& c, const std::string& text) const {
        std::this_thread::sleep_for(delay);
        for (std::size_t at = 0, n; at < text.size(); at += std::max<std::size_t>(n, 1)) {
            n = oneByte ? 1 : text.find_first_of("|#", at) - at;
            if (text[at] == '#') {
                return false;
            }
            std::this_thread::sleep_for(text[at] == '|' ? 300ms : oneByte ? 30ms : 0ms);
            (void)(text[at] == '|' || c.Send(text.substr(at, n)));
        }
        return true;
    }
    void operator()(Connection& c) const {
        std::string line;
        if (greeting.empty()) {
            return c.Hold();
        }
        for (bool open = Say(c, greeting); open && c.ReadLine(&line, 60s);) {
            const std::string verb = line.substr(0, 4);
            const auto own = replies.find(verb);
            open = Say(c, own != replies.end() ? own->second
                          : verb == "DATA"     ? "354 go on\r\n"
                          : verb == "QUIT"     ? "221 bye\r\n#"
                                               : "250 ok\r\n");
            while (verb == "DATA" && open && c.ReadLine(&line, 5s) && line != ".\r\n") {
            }
            open = open && (verb != "DATA" || Say(c, "250 queued\r\n"));
        }
    }
};

class Mailer : public ::testing::Test {
  protected:
    // One mail to a server playing the script; the result and the seconds it took.
    std::pair<MailResult, double> Mail(const Server& server,
                                       const std::string& from = "a@example.com",
                                       const std::string& to = "b@example.com",
                                       const std::string& message = "m") {
        peer_ = std::make_unique<LoopbackPeer>(server);
        MonitorSettings settings;  // the peer's port given as a user gives it
        settings.Email_Port = peer_->port();
        const auto start = Clock::now();
        MailTransport transport = MailTransportFromSettings(settings);
        transport.receiveLimit = receive_, transport.wholeLimit = whole_;
        const MailResult result =
            SendAlertMail("127.0.0.1", from, to, "Node down", message, transport);
        return {result, std::chrono::duration<double>(Clock::now() - start).count()};
    }
    std::string Verbs() const {  // what the server saw, cut to the first four letters a line
        const std::string all = peer_->received().at(0);
        std::string verbs;
        for (std::size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1)
            verbs += all.substr(at, std::min<std::size_t>(4, end - at)) + " ";
        return verbs;
    }
    std::unique_ptr<LoopbackPeer> peer_;
    Ms receive_ = MailTransport{}.receiveLimit, whole_ = MailTransport{}.wholeLimit;
};

TEST_F(Mailer, SendsTheDialogueByteForByte) {
    std::string host;
    ASSERT_TRUE(LocalHostName(&host));
    for (const auto& [from, to, message, body] : std::vector<std::array<std::string, 4>>{
             {"alerts@example.com", "ops@example.com", "Down:\nweb1", "Down:\r\nweb1"},
             // Brackets kept; lines of dots stuffed; CR LF and inner dots as they are.
             {"<alerts@example.com>", "<ops@example.com>", "first\n.\n.second\r\nlast. end",
              "first\r\n..\r\n..second\r\nlast. end"}}) {
        const std::time_t before = std::time(nullptr);
        ASSERT_EQ(Mail(Server{}, from, to, message).first, MailSent);
        // QUIT is sent without waiting for its reply: give the peer time to read it.
        testing::WaitUntil([&] { return peer_->received().at(0).ends_with("\r\n.\r\nQUIT\r\n"); });
        const std::string got = peer_->received().at(0);
        const std::size_t dateAt = got.find("DATA\r\n") + 6;
        const std::string date = got.substr(dateAt, got.find("\r\n", dateAt) + 2 - dateAt);
        const auto line = [](std::time_t t) {  // in the local zone
            std::tm local{};
            return MailDateLine(*localtime_r(&t, &local), local.tm_gmtoff);
        };
        EXPECT_TRUE(date == line(before) || date == line(std::time(nullptr))) << date;
        EXPECT_EQ(got, "HELO " + host + "\r\nMAIL From: <alerts@example.com>\r\n" +
                           "RCPT To: <ops@example.com>\r\nDATA\r\n" + date + "From: " + from +
                           "\r\nSender: " + from + "\r\nReply-to: " + from +
                           "\r\nSubject: Node down\r\nX-Mailer:[Brightfen EMailer v1.0]\r\n\r\n\r\n"
                           "* ALERT! Server Not Responding! *\r\n" +
                           body + "\r\n*END*\r\n\r\n.\r\nQUIT\r\n");
    }
}

TEST_F(Mailer, EveryFailingServerEndsTheCallWithinItsLimits) {
    struct Row {
        const char* name;
        Server server;
        int receiveMs, budgetMs;  // the program's own: 10 s, 55 s
        MailResult result;
        std::string verbs;  // "*": not examined
        double minSeconds, maxSeconds;
    };
    Server twoPieces, rcpt, mail, helo, silent, slow, closing, pieces;
    twoPieces.greeting = "220-first line\r\n";
    twoPieces.replies["HELO"] = "220 second line\r\n|250 hello\r\n";
    rcpt.replies["RCPT"] = "550 no such user\r\n|#";
    mail.replies["MAIL"] = "550 go away\r\n";
    helo.replies["HELO"] = "421 shutting down\r\n";
    silent.greeting = "", slow.delay = 1000ms, closing.greeting = "#", pieces.oneByte = true;
    for (const Row& row : std::vector<Row>{
             {"greeting in two pieces", twoPieces, 400, 3000, MailSent, "*", 0, 3},
             // then 4 empty receives, 500 ms after each
             {"RCPT refused, closed", rcpt, 10000, 55000, MailFailed, "HELO MAIL RCPT ", 1.9, 8},
             // then 4 receives of 300 ms, 500 ms after each
             {"MAIL refused, held", mail, 300, 55000, MailFailed, "HELO MAIL ", 3, 8},
             {"421 to HELO", helo, 400, 3000, MailFailed, "HELO ", 0, 4},
             {"silent", silent, 400, 55000, MailFailed, "", 4, 9},   // 5 x (400 + 500 ms)
             {"slow", slow, 2000, 3000, MailFailed, "*", 2.8, 4.5},  // answers after 1 s each
             {"closes at once", closing, 10000, 55000, MailFailed, "", 2.4, 6},
             {"one-byte pieces", pieces, 400, 3000, MailFailed, "", 0, 4}}) {
        receive_ = Ms(row.receiveMs), whole_ = Ms(row.budgetMs);
        const auto [result, seconds] = Mail(row.server);
        EXPECT_EQ(result, row.result) << row.name;
        EXPECT_GE(seconds, row.minSeconds) << row.name;
        EXPECT_LT(seconds, row.maxSeconds) << row.name;
        EXPECT_TRUE(row.verbs == "*" || Verbs() == row.verbs) << row.name << ": " << Verbs();
    }
}

using MailerLimit = Mailer;

// The program's own limits (10 s a receive, 55 s in all) against a silent server.
TEST_F(MailerLimit, SilentServerEndsWithinTheProgramsLimits) {
    Server silent;
    silent.greeting = "";
    const auto [result, seconds] = Mail(silent);
    EXPECT_EQ(result, MailFailed);
    EXPECT_GE(seconds, 50);
    EXPECT_LT(seconds, 56);
}

TEST(MailDateLine, DayMonthYearTimeAndZone) {
    const std::tm t{7, 5, 9, 2, 0, 97, 4, 0, 0, 0, nullptr};
    EXPECT_EQ(MailDateLine(t, -(3 * 3600 + 30 * 60)), "Date: Thu, 02 Jan 1997 09:05:07 -0330\r\n");
    EXPECT_EQ(MailDateLine(t, 14 * 3600), "Date: Thu, 02 Jan 1997 09:05:07 +1400\r\n");
}

class Alarms : public ::testing::Test {
  protected:
    void SetUp() override { testing::ResetEngine(); }
    void TearDown() override { testing::ResetEngine(); }
    static void Probe(int node, bool answers) {
        NodeTable::Instance().ApplyProbeResult(node, answers ? 12 : 0);
    }
    static void Nodes(const std::vector<std::string>& addresses) {
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            NodeTable::Instance().SetNode(static_cast<int>(i),
                                          NodeEntry{addresses[i], "", "", PING});
        }
    }
};

TEST_F(Alarms, ThresholdAndLimitDecideWhichFailuresAlarm) {
    // One pass a character: "." a failure, "a" an answer; expected "#" where it alarms.
    for (const auto& [numFails, maxAlarms, passes, alarms] :
         std::vector<std::array<std::string, 4>>{{"3", "2", "......a....", "..##..a..##"},
                                                 {" 1", "10 alarms", "...........", "##########."},
                                                 {"0", "5", "......", "......"},
                                                 {"-2", "5", "......", "......"},
                                                 {"1", "0", "......", "......"},
                                                 {"1", "-1", "......", "......"}}) {
        testing::ResetEngine();
        Nodes({"10.0.0.7"});
        MonitorSettings settings;
        settings.Num_Fails = numFails;
        settings.Max_Alarms = maxAlarms;
        std::string got;
        for (char pass : passes) {
            Probe(0, pass == 'a');
            got += AlarmSweep(settings) ? '#' : pass;
        }
        EXPECT_EQ(got, alarms) << "Num_Fails '" << numFails << "' Max_Alarms '" << maxAlarms << "'";
    }
}

TEST_F(Alarms, MailsInTableOrderThenSoundPageAndCommandOnce) {
    LoopbackPeer peer{Server{}};
    testing::TempDir dir;
    // Node 4 lies behind the end of the list (the first empty address).
    Nodes({"alpha.example", "10.0.0.2", "gamma.example", "", "10.0.0.5"});
    for (int pass = 0; pass < 2; ++pass) {
        for (int node : {0, 1, 2, 4}) {
            Probe(node, node == 1);
        }
    }
    MonitorSettings s;
    s.Num_Fails = "2";
    s.Max_Alarms = "3";
    s.Email_Flag = s.Audio_Flag = s.Pager_Flag = s.Launch_Flag = true;  // no sound file, no port
    s.Email_SMTP = "127.0.0.1";
    s.Email_Port = peer.port();
    s.Command_Line = "sleep 0.3; echo ran >> " + dir.file("launched");
    testing::RecordingWindow window;
    std::vector<std::string> outcomes;
    const auto record = [&](AlarmChannel c, bool ok) {
        outcomes.push_back(AlarmChannelName(c) + std::string(ok ? " sent" : " failed"));
    };
    ASSERT_TRUE(AlarmSweep(s));
    PassAlerts(s, record);
    const auto mails = peer.received();
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_NE(mails[0].find("NOT responding:\r\nalpha.example\r\n*END*"), std::string::npos);
    EXPECT_NE(mails[1].find("NOT responding:\r\ngamma.example\r\n*END*"), std::string::npos);
    const std::string t = "title:";
    EXPECT_EQ(window.Calls(),
              (std::vector<std::string>{t + kTitleSendingEmail, t + kTitleSendingEmail,
                                        t + kTitleSoundingAlarm, t + kTitlePaging,
                                        "message:Comm Port could not be used."}));
    EXPECT_EQ(testing::ReadFile(dir.file("launched")), "ran\n");  // once, and waited for
    // A sound without a player and a command the shell cannot run fail; a silenced sound does not.
    s.Wave_File = "x";
    s.Command_Line = "/nonexistent/notify-ops";
    PassAlerts(s, record);
    struct Mute : SoundPlayer {
        void Play(const std::string&, bool, bool) override {}
        void Stop() override {}
    };
    SetSoundPlayer(std::make_shared<Mute>());
    SilenceAlarmSound();
    s.Pager_Flag = false;
    s.Command_Line = "exit 3";
    PassAlerts(s, record);
    SetSoundPlayer(nullptr);
    EndAlarmSilence();
    EXPECT_EQ(outcomes, (std::vector<std::string>{"pager failed", "command sent", "sound failed",
                                                  "pager failed", "command failed", "sound sent",
                                                  "command failed"}));
    for (auto [node, alarms] : {std::pair{0, 1}, {1, 0}, {2, 1}, {4, 0}}) {
        EXPECT_EQ(NodeTable::Instance().Get(node).status.alarmCount, alarms) << node;
    }
    ScanAbort = 1;  // an aborted pass raises nothing
    Probe(0, false);
    EXPECT_FALSE(AlarmSweep(s));
    EXPECT_EQ(NodeTable::Instance().Get(0).status.alarmCount, 1);
}

// Parents in a loop or naming no node are said once and ignored (the nodes alarm); a chain
// holds each node behind its own parent; a node is down only when every node of its address is.
TEST_F(Alarms, LoopsAndMissingParentsAreIgnoredAndChainsHold) {
    MonitorSettings s;
    const std::vector<std::array<std::string, 2>> nodes{{"a", "b"}, {"b", "a"}, {"c", "gone"},
                                                        {"d", "e"}, {"e", "f"}, {"f", ""},
                                                        {"f", ""},  {"g", "d"}};
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        s.NodeList[i] = {nodes[i][0], "", "", PING};
        s.NodeList[i].parent = nodes[i][1];
        NodeTable::Instance().SetNode(static_cast<int>(i), s.NodeList[i]);
        Probe(static_cast<int>(i), i == 5);
    }
    const NodeHolds holds = DecideHolds(NodeTable::Instance().Snapshot(), s, 0);
    std::vector<std::string> behind;  // each node's parent while held
    for (std::size_t i = 0; i < nodes.size(); ++i)
        behind.push_back(holds[i].parent);
    // f answers on one of its two nodes, so e is not held
    EXPECT_EQ(behind, (std::vector<std::string>{"", "", "", "e", "", "", "", "d"}));
    std::vector<std::string> said;
    for (int load = 0; load < 2; ++load)
        SayNewHoldProblems(s, [&](const std::string& line) { said.push_back(line); });
    EXPECT_EQ(said,
              (std::vector<std::string>{"s0parent of a: b leads back to it; ignored",
                                        "s1parent of b: a leads back to it; ignored",
                                        "s2parent of c: no node has the address gone; ignored"}));
}

// What held a password is wiped when cut and when released: the storage is the
// test's own, read again after the destructor ran.
TEST(SecretText, WipesWhatItHeldWhenCutAndWhenDestroyed) {
    alignas(SecretText) char storage[sizeof(SecretText)] = {};
    const std::string_view bytes(storage, sizeof storage);
    auto* secret = new (storage) SecretText;
    ASSERT_TRUE(secret->Append("right horse\n") && secret->AppendBase64("right horse"));
    EXPECT_EQ(secret->View(), "right horse\ncmlnaHQgaG9yc2U=");
    secret->Keep(5);
    EXPECT_EQ(bytes.find("horse"), std::string_view::npos);
    secret->~SecretText();
    EXPECT_EQ(bytes.find("right"), std::string_view::npos);
}

TEST(SmtpServerText, DigitFirstIsKeptOthersAreLookedUp) {
    EXPECT_EQ(SmtpServerText("3com.example"), "3com.example");
    EXPECT_EQ(SmtpServerText("1" + std::string(150, '2')), "1" + std::string(98, '2'));
    EXPECT_EQ(SmtpServerText("localhost"), "127.0.0.1");
    testing::TempDir dir;  // names from a private hosts file: the first IPv4 address, else IPv6
    testing::WriteFile(dir.file("h"), "fd00::5 v6.test\nfd00::6 two.test\n192.0.2.7 two.test\n");
    std::string got;
    std::thread([&] {
        if (::unshare(CLONE_NEWNS) == 0 && ::mount(0, "/", 0, MS_REC | MS_PRIVATE, 0) == 0 &&
            ::mount(dir.file("h").c_str(), "/etc/hosts", 0, MS_BIND, 0) == 0)
            got = SmtpServerText("v6.test") + " " + SmtpServerText("two.test");
    }).join();
    if (got.empty())
        GTEST_SKIP() << "no private mount namespace (needs root)";
    EXPECT_EQ(got, "fd00::5 192.0.2.7");
}

}  // namespace
}  // namespace sentrel
