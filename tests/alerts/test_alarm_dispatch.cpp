// Which failures raise alarms, and what an alarm pass sets off: the e-mails go
// to a scripted SMTP server on 127.0.0.1, the command appends to a temporary file.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "alerts/alarm_dispatch.h"
#include "alerts/smtp_mailer.h"
#include "engine/node_table.h"
#include "engine/scan_pass.h"
#include "support/recording_window.h"
#include "support/smtp_peer.h"
#include "support/temp_dir.h"

namespace sentrel {
namespace {

using namespace std::chrono_literals;
using testing::RecordingWindow;
using testing::SmtpPeer;
using testing::SmtpSession;
using testing::TempDir;

class AlarmDispatch : public ::testing::Test {
  protected:
    void SetUp() override { ResetEngineStateForTesting(); }
    void TearDown() override {
        ResetEngineStateForTesting();
        SetSmtpPortForTesting(0);
    }

    static void AddNodes(const std::vector<std::string>& addresses) {
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            NodeEntry node;
            node.address = addresses[i];
            node.probeType = PING;
            NodeTable::Instance().SetNode(static_cast<int>(i), node);
        }
    }
    // One probe result for the node, as the probe sweep records it.
    static void Fail(int index) { NodeTable::Instance().ApplyProbeResult(index, 0); }
    static void Answer(int index) { NodeTable::Instance().ApplyProbeResult(index, 12); }
    static NodeStatus Status(int index) { return NodeTable::Instance().Get(index).status; }

    static MonitorSettings Counting(const std::string& numFails, const std::string& maxAlarms) {
        MonitorSettings s;
        s.Num_Fails = numFails;
        s.Max_Alarms = maxAlarms;
        return s;
    }

    // Passes of one node that fails every time: which of them raised an alarm.
    static std::vector<int> AlarmPasses(const MonitorSettings& settings, int passes) {
        std::vector<int> alarms;
        for (int pass = 1; pass <= passes; ++pass) {
            Fail(0);
            if (AlarmSweep(settings)) {
                alarms.push_back(pass);
            }
        }
        return alarms;
    }
};

TEST_F(AlarmDispatch, ThresholdThreeLimitTwoAlarmsAtTheThirdAndFourthFailure) {
    AddNodes({"10.0.0.7"});
    const MonitorSettings settings = Counting("3", "2");
    EXPECT_EQ(AlarmPasses(settings, 7), (std::vector<int>{3, 4}));
    EXPECT_EQ(Status(0).failCount, 7);
    EXPECT_EQ(Status(0).alarmCount, 2);

    // One answer starts a new run of failures.
    Answer(0);
    EXPECT_FALSE(AlarmSweep(settings));
    EXPECT_EQ(Status(0).alarmCount, 0);
    EXPECT_EQ(AlarmPasses(settings, 4), (std::vector<int>{3, 4}));
}

TEST_F(AlarmDispatch, ThresholdOneLimitTenRaisesTenAlarms) {
    AddNodes({"10.0.0.7"});
    EXPECT_EQ(AlarmPasses(Counting(" 1", "10 alarms"), 11),
              (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

TEST_F(AlarmDispatch, ThresholdOrLimitOfZeroOrNoNumberNeverAlarms) {
    AddNodes({"10.0.0.7"});
    for (const auto& [numFails, maxAlarms] : std::vector<std::pair<std::string, std::string>>{
             {"", "5"}, {"0", "5"}, {"-2", "5"}, {"x3", "5"}, {"1", "0"}, {"1", ""}, {"1", "-1"}}) {
        ResetEngineStateForTesting();
        AddNodes({"10.0.0.7"});
        EXPECT_TRUE(AlarmPasses(Counting(numFails, maxAlarms), 6).empty())
            << "Num_Fails '" << numFails << "' Max_Alarms '" << maxAlarms << "'";
        EXPECT_EQ(Status(0).failCount, 6);  // failures are still counted
        EXPECT_EQ(Status(0).alarmCount, 0);
    }
}

TEST_F(AlarmDispatch, OnlyNodesThatFailedInThisPassAndOnlyUpToTheFirstEmptySlot) {
    AddNodes({"10.0.0.1", "10.0.0.2", "", "10.0.0.4"});
    for (int i = 0; i < 3; ++i) {
        Fail(0);
        Fail(1);
        Fail(3);
    }
    // Node 2 has its failures behind it but answered now: not failing in this pass.
    NodeTable::Instance().Modify(
        1, [](NodeSlot& slot) { slot.status.statusText = SuccessStatusText(PING, 4); });
    EXPECT_TRUE(AlarmSweep(Counting("1", "5")));
    EXPECT_EQ(Status(0).alarmCount, 1);
    EXPECT_EQ(Status(1).alarmCount, 0);
    EXPECT_EQ(Status(3).alarmCount, 0);  // behind the end of the list
}

TEST_F(AlarmDispatch, AbortedPassRaisesNothing) {
    AddNodes({"10.0.0.1", "10.0.0.2"});
    Fail(0);
    Fail(1);
    ScanAbort = 1;
    RecordingWindow window;
    MonitorSettings settings = Counting("1", "5");
    settings.Email_Flag = true;
    settings.Email_SMTP = "127.0.0.1";
    EXPECT_FALSE(AlarmSweep(settings));
    EXPECT_EQ(Status(0).alarmCount, 0);
    EXPECT_EQ(Status(1).alarmCount, 0);
    EXPECT_TRUE(window.Titles().empty());
}

TEST_F(AlarmDispatch, AlarmWithoutEmailStillCountsAndSounds) {
    AddNodes({"10.0.0.1"});
    Fail(0);
    RecordingWindow window;
    MonitorSettings settings = Counting("1", "1");
    settings.Audio_Flag = true;  // no wave file: the title changes, nothing plays
    ASSERT_TRUE(AlarmSweep(settings));
    EXPECT_EQ(Status(0).alarmCount, 1);
    PassAlerts(settings);
    EXPECT_EQ(window.Titles(), (std::vector<std::string>{kTitleSoundingAlarm}));
}

TEST_F(AlarmDispatch, TwoAlarmingNodesGiveTwoMailsInTableOrderThenOneOfEachAlert) {
    SmtpPeer peer;
    peer.Start();
    SetSmtpPortForTesting(peer.port());
    TempDir dir;
    const std::string launched = dir.File("launched.txt");

    AddNodes({"alpha.example", "10.0.0.2", "gamma.example"});
    for (int i = 0; i < 2; ++i) {
        Fail(0);
        Answer(1);
        Fail(2);
    }
    MonitorSettings settings = Counting("2", "3");
    settings.Email_Flag = true;
    settings.Email_SMTP = "127.0.0.1";
    settings.Email_From = "sentrel@example.com";
    settings.Email_To = "ops@example.com";
    settings.Email_Subject = "Sentrel alarm";
    settings.Audio_Flag = true;
    settings.Pager_Flag = true;  // no port chosen: the pager shows its port error
    settings.Launch_Flag = true;
    settings.Command_Line = "echo ran >> " + launched;

    RecordingWindow window;
    ASSERT_TRUE(AlarmSweep(settings));
    PassAlerts(settings);

    ASSERT_TRUE(peer.WaitForEndedSessions(2, 5s));
    const std::vector<SmtpSession> sessions = peer.Sessions();
    ASSERT_EQ(sessions.size(), 2u);
    const std::string body =
        "This is a message from Sentrel.\r\nThe following Server is NOT responding:\r\n";
    EXPECT_NE(sessions[0].data.find(body + "alpha.example\r\n*END*\r\n"), std::string::npos)
        << sessions[0].data;
    EXPECT_NE(sessions[1].data.find(body + "gamma.example\r\n*END*\r\n"), std::string::npos)
        << sessions[1].data;
    EXPECT_NE(sessions[0].data.find("\r\nSubject: Sentrel alarm\r\n"), std::string::npos);
    EXPECT_EQ(sessions[0].commands.at(1), "MAIL From: <sentrel@example.com>");
    EXPECT_EQ(sessions[0].commands.at(2), "RCPT To: <ops@example.com>");

    const std::vector<std::string> calls = window.Calls();
    const std::vector<std::string> expected = {
        std::string("title:") + kTitleSendingEmail, std::string("title:") + kTitleSendingEmail,
        std::string("title:") + kTitleSoundingAlarm, std::string("title:") + kTitlePaging,
        "message:Comm Port could not be used."};
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(testing::ReadFileBytes(launched), "ran\n");  // once, after the other alerts
    EXPECT_EQ(Status(0).alarmCount, 1);
    EXPECT_EQ(Status(1).alarmCount, 0);
    EXPECT_EQ(Status(2).alarmCount, 1);
}

TEST_F(AlarmDispatch, FailedMailDoesNotStopTheSweep) {
    // Nothing listens for the mail: each e-mail fails, both alarms still count.
    SetSmtpPortForTesting(testing::UnusedLoopbackPort());
    AddNodes({"10.0.0.1", "10.0.0.2"});
    Fail(0);
    Fail(1);
    MonitorSettings settings = Counting("1", "1");
    settings.Email_Flag = true;
    settings.Email_SMTP = "127.0.0.1";
    RecordingWindow window;
    EXPECT_TRUE(AlarmSweep(settings));
    EXPECT_EQ(Status(0).alarmCount, 1);
    EXPECT_EQ(Status(1).alarmCount, 1);
    EXPECT_EQ(window.Titles().size(), 2u);
}

TEST_F(AlarmDispatch, RealPassesAgainstARefusedPortAlarmOnceAtTheThreshold) {
    SmtpPeer peer;
    peer.Start();
    SetSmtpPortForTesting(peer.port());
    TempDir dir;
    const std::string launched = dir.File("launched.txt");

    NodeEntry node;
    node.address = "127.0.0.1";
    node.port = std::to_string(testing::UnusedLoopbackPort());
    node.probeType = HTTPD;
    NodeTable::Instance().SetNode(0, node);
    MonitorSettings settings = Counting("2", "1");
    settings.MAXSecs = "2";
    settings.Email_Flag = true;
    settings.Email_SMTP = "127.0.0.1";
    settings.Email_From = "sentrel@example.com";
    settings.Email_To = "ops@example.com";
    settings.Launch_Flag = true;
    settings.Command_Line = "echo ran >> " + launched;
    SetCurrentSettingsForTesting(settings);

    RecordingWindow window;
    std::vector<bool> mailed;
    for (int pass = 1; pass <= 3; ++pass) {
        window.Clear();
        ScanCycle();
        const std::vector<std::string> titles = window.Titles();
        mailed.push_back(std::find(titles.begin(), titles.end(), kTitleSendingEmail) !=
                         titles.end());
        EXPECT_EQ(titles.back(), kTitleSleeping);
    }
    ResetSettingsForTesting();

    EXPECT_EQ(mailed, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(Status(0).failCount, 3);
    EXPECT_EQ(Status(0).alarmCount, 1);
    ASSERT_TRUE(peer.WaitForEndedSessions(1, 5s));
    EXPECT_EQ(peer.Connections(), 1);
    EXPECT_NE(peer.Sessions()[0].data.find("NOT responding:\r\n127.0.0.1\r\n*END*"),
              std::string::npos);
    EXPECT_EQ(testing::ReadFileBytes(launched), "ran\n");
}

TEST(SmtpServerText, DigitFirstIsKeptAndCutNamesAreLookedUp) {
    EXPECT_EQ(SmtpServerText("192.168.1.5"), "192.168.1.5");
    EXPECT_EQ(SmtpServerText("3com.example"), "3com.example");  // digit first: never looked up
    const std::string longText = "1" + std::string(150, '2');
    EXPECT_EQ(SmtpServerText(longText), longText.substr(0, 99));
    EXPECT_EQ(SmtpServerText("localhost"), "127.0.0.1");
}

}  // namespace
}  // namespace sentrel

#if defined(__SANITIZE_THREAD__)
// The page runs on a QThread when called from a thread Qt did not start; Qt's
// thread start and join synchronise inside the uninstrumented Qt library, which
// ThreadSanitizer cannot see. Only races seen from our own code count here.
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}
#endif
