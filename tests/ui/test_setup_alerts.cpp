// The Alerts page: the checks behind its enable boxes, the COM boxes, the wave
// file chooser, and the pager and e-mail tests against real peers (a
// pseudo-terminal modem, an SMTP server on 127.0.0.1).
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <QPushButton>
#include <QtTest>

#include "alerts/pager.h"
#include "alerts/smtp_mailer.h"
#include "config/settings.h"
#include "setup_test_util.h"
#include "support/pty_modem.h"
#include "support/smtp_peer.h"
#include "ui/alerts_page.h"
#include "ui/dialogs.h"

using namespace sentrel;
using namespace sentrel::testing;
using sentrel::ui::CAlerts;

namespace {

const QString kError = QStringLiteral("*Error*");

QCheckBox* Box(CAlerts* page, const char* name) {
    return Find<QCheckBox>(page, name);
}
QLineEdit* Edit(CAlerts* page, const char* name) {
    return Find<QLineEdit>(page, name);
}
QPushButton* Button(CAlerts* page, const char* name) {
    return Find<QPushButton>(page, name);
}

QStringList ShownTexts() {
    QStringList texts;
    for (const auto& m : ui::ShownMessagesForTesting()) {
        texts << m.text;
    }
    return texts;
}

// Moves the calling thread into a network namespace of its own (no route to any
// name server, so a lookup fails at once and nothing leaves the machine) and
// back again when it goes out of scope.
class PrivateNetwork {
  public:
    PrivateNetwork() {
        saved_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        entered_ = saved_ >= 0 && ::unshare(CLONE_NEWNET) == 0;
    }
    ~PrivateNetwork() {
        if (entered_) {
            ::setns(saved_, CLONE_NEWNET);
        }
        if (saved_ >= 0) {
            ::close(saved_);
        }
    }
    bool entered() const { return entered_; }

  private:
    int saved_ = -1;
    bool entered_ = false;
};

MonitorSettings MailSettings() {
    MonitorSettings s;
    s.Email_SMTP = "127.0.0.1";
    s.Email_From = "saved-from@example";
    s.Email_To = "saved-to@example";
    s.Email_Subject = "saved subject";
    return s;
}

}  // namespace

class AlertsPageTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        ui::SetDialogTestModeForTesting(true);
        SetPagerPauseUnitForTesting(5);
    }
    void cleanupTestCase() { SetPagerPauseUnitForTesting(1000); }
    void init() { ui::ClearDialogTestStateForTesting(); }
    void cleanup() {
        CheckDialogsSettled();
        SetSmtpPortForTesting(0);
    }

    void enableBoxesNameTheFirstMissingField_data() {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QStringList>("fields");    // filled one by one between tries
        QTest::addColumn<QStringList>("messages");  // expected at each try, in order
        QTest::newRow("audio") << "audioFlagCheck" << QStringList{"waveFileEdit"}
                               << QStringList{"You haven't selected a wave file yet."};
        QTest::newRow("paging") << "pagerFlagCheck"
                                << QStringList{"pagerPhoneEdit", "pagerMessageEdit"}
                                << QStringList{"You haven't specified a phone number.",
                                               "You haven't specified a pager message."};
        QTest::newRow("email") << "emailFlagCheck"
                               << QStringList{"emailSmtpEdit", "emailFromEdit", "emailToEdit",
                                              "emailSubjectEdit"}
                               << QStringList{"You haven't specified an SMTP server.",
                                              "You haven't specified an Email From.",
                                              "You haven't specified an Email TO.",
                                              "You haven't specified an Email subject."};
    }

    void enableBoxesNameTheFirstMissingField() {
        QFETCH(QString, box);
        QFETCH(QStringList, fields);
        QFETCH(QStringList, messages);
        auto page = ShownPage<CAlerts>(MonitorSettings{});
        QCheckBox* check = Box(page.get(), box.toLatin1().constData());
        for (int i = 0; i < fields.size(); ++i) {
            ui::ClearDialogTestStateForTesting();
            ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
            Click(check);
            QVERIFY(!check->isChecked());
            const auto shown = ui::ShownMessagesForTesting();
            QCOMPARE(shown.size(), 1);
            QCOMPARE(shown[0].text, messages[i]);
            QCOMPARE(shown[0].caption, kError);
            QCOMPARE(shown[0].icon, MessageIcon::Exclamation);
            TypeInto(Edit(page.get(), fields[i].toLatin1().constData()), QStringLiteral("x"));
        }
        // Everything there: the box stays ticked. E-mail adds its reminder.
        ui::ClearDialogTestStateForTesting();
        const bool email = box == QStringLiteral("emailFlagCheck");
        if (email) {
            ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
        }
        Click(check);
        QVERIFY(check->isChecked());
        const auto shown = ui::ShownMessagesForTesting();
        QCOMPARE(shown.size(), email ? 1 : 0);
        if (email) {
            QCOMPARE(shown[0].text,
                     QStringLiteral("Please test to make sure the Email information is correct."));
            QCOMPARE(shown[0].caption, QStringLiteral("sentrel"));
            QCOMPARE(shown[0].icon, MessageIcon::Exclamation);
        }
        // Clearing never asks, even with the fields emptied again.
        for (const QString& field : fields) {
            TypeInto(Edit(page.get(), field.toLatin1().constData()), QString());
        }
        ui::ClearDialogTestStateForTesting();
        Click(check);
        QVERIFY(!check->isChecked());
        QVERIFY(ui::ShownMessagesForTesting().isEmpty());
    }

    void emailNamesToBeforeSubject() {
        MonitorSettings s;
        s.Email_SMTP = "mail";
        s.Email_From = "me";
        auto page = ShownPage<CAlerts>(s);
        ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
        Click(Box(page.get(), "emailFlagCheck"));
        QCOMPARE(ShownTexts(), QStringList{"You haven't specified an Email TO."});
    }

    void launchIsCheckedOnEveryClick() {
        auto page = ShownPage<CAlerts>(MonitorSettings{});
        QCheckBox* launch = Box(page.get(), "launchFlagCheck");
        for (int i = 0; i < 2; ++i) {
            ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
            Click(launch);
            QVERIFY(!launch->isChecked());
        }
        // A box ticked in the settings, cleared with an empty command line, complains too.
        MonitorSettings s;
        s.Launch_Flag = true;
        auto ticked = ShownPage<CAlerts>(s);
        ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
        Click(Box(ticked.get(), "launchFlagCheck"));
        QVERIFY(!Box(ticked.get(), "launchFlagCheck")->isChecked());
        QCOMPARE(ShownTexts(), QStringList(3, "You haven't specified a command line."));
        QCOMPARE(ui::ShownMessagesForTesting()[0].caption, kError);

        ui::ClearDialogTestStateForTesting();
        TypeInto(Edit(page.get(), "commandLineEdit"), QStringLiteral("true"));
        Click(launch);
        QVERIFY(launch->isChecked());
        Click(launch);
        QVERIFY(!launch->isChecked());
        QVERIFY(ui::ShownMessagesForTesting().isEmpty());
    }

    void comBoxesExcludeEachOther() {
        MonitorSettings s;
        s.Com_2 = true;
        auto page = ShownPage<CAlerts>(s);
        QCheckBox* one = Box(page.get(), "com1Check");
        QCheckBox* two = Box(page.get(), "com2Check");
        Click(one);
        QVERIFY(one->isChecked() && !two->isChecked());
        Click(one);
        QVERIFY(!one->isChecked() && !two->isChecked());
        Click(two);
        Click(one);
        QVERIFY(one->isChecked() && !two->isChecked());
        Click(two);
        QVERIFY(!one->isChecked() && two->isChecked());
        QVERIFY(page->ReadPage());
        QVERIFY(!page->Com_1 && page->Com_2);
    }

    void waveChooserWantsAnExistingFile() {
        auto page = ShownPage<CAlerts>(MonitorSettings{});
        TypeInto(Edit(page.get(), "pagerPhoneEdit"), QStringLiteral("123"));
        ui::QueueSavePathForTesting(QStringLiteral("/sounds/alarm"));
        Click(Button(page.get(), "waveBrowseButton"));
        QCOMPARE(Edit(page.get(), "waveFileEdit")->text(), QStringLiteral("/sounds/alarm.wav"));
        QCOMPARE(Edit(page.get(), "pagerPhoneEdit")->text(), QStringLiteral("123"));
        ui::QueueSavePathForTesting(QString());
        Click(Button(page.get(), "waveBrowseButton"));
        QCOMPARE(Edit(page.get(), "waveFileEdit")->text(), QStringLiteral("/sounds/alarm.wav"));
        const auto requests = ui::SaveRequestsForTesting();
        QCOMPARE(requests.size(), 2);
        QCOMPARE(requests[0].filters, (QStringList{QStringLiteral("Wave Files (*.wav)"),
                                                   QStringLiteral("All Files (*.*)")}));
        QCOMPARE(requests[0].defaultSuffix, QStringLiteral("wav"));
        QVERIFY(requests[0].fileMustExist);

        // The audio test without a file only complains.
        TypeInto(Edit(page.get(), "waveFileEdit"), QString());
        ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
        Click(Button(page.get(), "audioTestButton"));
        QCOMPARE(ShownTexts(), QStringList{"You haven't selected a wave file yet."});
    }

    void pagerTestChecksAsksAndNeedsAPort() {
        PtyModem modem;
        QVERIFY2(modem.ok(), modem.error().c_str());
        SeamWindow window;
        MonitorSettings s;
        s.Com_1_Device = modem.slavePath();
        s.Pager_Flag = true;
        auto page = ShownPage<CAlerts>(s);
        QCheckBox* paging = Box(page.get(), "pagerFlagCheck");

        // Missing phone, then missing message: "Enable Paging" is cleared, and
        // stays clear when it already was.
        ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
        Click(Button(page.get(), "pagerTestButton"));
        QVERIFY(!paging->isChecked());
        TypeInto(Edit(page.get(), "pagerPhoneEdit"), QStringLiteral("5551234"));
        ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
        Click(Button(page.get(), "pagerTestButton"));
        QVERIFY(!paging->isChecked());
        QCOMPARE(ShownTexts(), (QStringList{"You haven't specified a phone number.",
                                            "You haven't specified a pager message."}));
        QCOMPARE(Edit(page.get(), "pagerPhoneEdit")->text(), QStringLiteral("5551234"));

        // Answered No: nothing reaches the port.
        TypeInto(Edit(page.get(), "pagerMessageEdit"), QStringLiteral("42"));
        Click(Box(page.get(), "com1Check"));
        ui::ClearDialogTestStateForTesting();
        ui::QueueMessageAnswerForTesting(MessageAnswer::No);
        Click(Button(page.get(), "pagerTestButton"));
        const auto asked = ui::ShownMessagesForTesting();
        QCOMPARE(asked.size(), 1);
        QCOMPARE(asked[0].text,
                 QStringLiteral("Make sure you've selected the correct COMM port.  Selecting a COM "
                                "port that is not a modem may cause unpredictable results. \nAre "
                                "you ready to test? "));
        QCOMPARE(asked[0].caption, QStringLiteral("Pager Test Invoked"));
        QCOMPARE(asked[0].icon, MessageIcon::None);
        QCOMPARE(asked[0].buttons, MessageButtons::YesNo);
        QVERIFY(!modem.WaitForBytes(1, std::chrono::milliseconds(200)));

        // No port chosen.
        Click(Box(page.get(), "com1Check"));
        ui::ClearDialogTestStateForTesting();
        ui::QueueMessageAnswerForTesting(MessageAnswer::Yes);
        ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
        Click(Button(page.get(), "pagerTestButton"));
        auto shown = ui::ShownMessagesForTesting();
        QCOMPARE(shown.size(), 2);
        QCOMPARE(shown[1].text, QStringLiteral("Could not send data to Comm Port.."));
        QCOMPARE(shown[1].caption, QStringLiteral("Paging Error"));
        QCOMPARE(shown[1].icon, MessageIcon::Stop);
        QVERIFY(modem.Bytes().empty());

        // COM2 has no device behind it here: the pager's own message comes through.
        Click(Box(page.get(), "com2Check"));
        page->Com_2_Device = "/nonexistent/sentrel-tty";
        ui::ClearDialogTestStateForTesting();
        ui::QueueMessageAnswerForTesting(MessageAnswer::Yes);
        ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
        Click(Button(page.get(), "pagerTestButton"));
        shown = ui::ShownMessagesForTesting();
        QCOMPARE(shown.size(), 2);
        QCOMPARE(shown[1].text, QStringLiteral("Comm Port could not be used."));
        QCOMPARE(shown[1].caption, QStringLiteral("Paging Error"));
    }

    void pagerTestDialsTheUnsavedValues() {
        PtyModem modem;
        QVERIFY2(modem.ok(), modem.error().c_str());
        SeamWindow window;
        MonitorSettings s;
        s.Pager_Phone = "1111111";
        s.Pager_Message = "000";
        s.Pager_Delay = 2;
        s.Com_1_Device = modem.slavePath();
        auto page = ShownPage<CAlerts>(s);
        TypeInto(Edit(page.get(), "pagerPhoneEdit"), QStringLiteral("5551234"));
        TypeInto(Edit(page.get(), "pagerMessageEdit"), QStringLiteral("911"));
        Click(Box(page.get(), "com1Check"));
        ui::QueueMessageAnswerForTesting(MessageAnswer::Yes);
        QElapsedTimer clock;
        clock.start();
        Click(Button(page.get(), "pagerTestButton"));
        const std::string expected = "atz\ratd5551234,,,911\r\rath0\ratz\r";
        QVERIFY(modem.WaitForBytes(expected.size(), std::chrono::milliseconds(5000)));
        QCOMPARE(modem.Bytes(), expected);
        QCOMPARE(ui::ShownMessagesForTesting().size(), 1);  // the question only
        QVERIFY(clock.elapsed() < 20000);
        // The test changed no setting.
        QCOMPARE(page->Pager_Delay, 2);
        QVERIFY(!page->Pager_Flag);
    }

    void emailTestSendsTheUnsavedValues() {
        SmtpPeer peer;
        peer.Start();
        SetSmtpPortForTesting(peer.port());
        auto page = ShownPage<CAlerts>(MailSettings());
        TypeInto(Edit(page.get(), "emailFromEdit"), QStringLiteral("page-from@example"));
        TypeInto(Edit(page.get(), "emailToEdit"), QStringLiteral("page-to@example"));
        TypeInto(Edit(page.get(), "emailSubjectEdit"), QStringLiteral("page subject"));
        ui::QueueMessageAnswerForTesting(MessageAnswer::Yes);
        Click(Button(page.get(), "emailTestButton"));
        QVERIFY(peer.WaitForEndedSessions(1, std::chrono::milliseconds(10000)));
        const auto shown = ui::ShownMessagesForTesting();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, QStringLiteral("Send an Email? "));
        QCOMPARE(shown[0].caption, QStringLiteral("Email Test Invoked"));
        QCOMPARE(shown[0].icon, MessageIcon::None);
        QCOMPARE(shown[0].buttons, MessageButtons::YesNo);
        const std::string received = peer.Sessions().at(0).received;
        for (const char* part : {"page-from@example", "page-to@example", "page subject",
                                 "This is a TEST message from Sentrel."}) {
            QVERIFY2(received.find(part) != std::string::npos, part);
        }
        QVERIFY(received.find("saved") == std::string::npos);
        QVERIFY(!Box(page.get(), "emailFlagCheck")->isChecked());
    }

    void emailTestChecksAndFailures() {
        auto page = ShownPage<CAlerts>(MonitorSettings{});
        // The fields in order; "Enable Email" is not touched.
        ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
        Click(Button(page.get(), "emailTestButton"));
        TypeInto(Edit(page.get(), "emailSmtpEdit"), QStringLiteral("127.0.0.1"));
        TypeInto(Edit(page.get(), "emailToEdit"), QStringLiteral("to@example"));
        ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
        Click(Button(page.get(), "emailTestButton"));
        QCOMPARE(ShownTexts(), (QStringList{"You haven't specified an SMTP server.",
                                            "You haven't specified an Email From."}));

        // Answered No: no connection.
        SmtpPeer peer;
        peer.Start();
        SetSmtpPortForTesting(peer.port());
        TypeInto(Edit(page.get(), "emailFromEdit"), QStringLiteral("from@example"));
        TypeInto(Edit(page.get(), "emailSubjectEdit"), QStringLiteral("s"));
        ui::ClearDialogTestStateForTesting();
        ui::QueueMessageAnswerForTesting(MessageAnswer::No);
        Click(Button(page.get(), "emailTestButton"));
        QCOMPARE(ShownTexts(), QStringList{"Send an Email? "});
        QTest::qWait(200);
        QCOMPARE(peer.Connections(), 0);

        // No server there: the mailer fails at once.
        std::uint16_t closedPort = 0;
        {
            SmtpPeer gone;
            closedPort = gone.port();
        }
        SetSmtpPortForTesting(closedPort);
        ui::ClearDialogTestStateForTesting();
        ui::QueueMessageAnswerForTesting(MessageAnswer::Yes);
        ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
        Click(Button(page.get(), "emailTestButton"));
        auto shown = ui::ShownMessagesForTesting();
        QCOMPARE(shown.size(), 2);
        QCOMPARE(shown[1].text, QStringLiteral("Email could not be sent."));
        QCOMPARE(shown[1].caption, QStringLiteral("Email Test Failed"));
        QCOMPARE(shown[1].icon, MessageIcon::Exclamation);

        // A name that begins with a digit is taken as it is, without a lookup:
        // the question comes, and the mailer cannot use it.
        TypeInto(Edit(page.get(), "emailSmtpEdit"), QStringLiteral("1mail.example"));
        ui::ClearDialogTestStateForTesting();
        ui::QueueMessageAnswerForTesting(MessageAnswer::Yes);
        ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
        Click(Button(page.get(), "emailTestButton"));
        QCOMPARE(ShownTexts(), (QStringList{"Send an Email? ", "Email could not be sent."}));
        QVERIFY(!Box(page.get(), "emailFlagCheck")->isChecked());
    }

    void unresolvableServerIsNamedBeforeAnyQuestion() {
        auto page = ShownPage<CAlerts>(MailSettings());
        TypeInto(Edit(page.get(), "emailSmtpEdit"), QStringLiteral("no-such-host.invalid"));
        ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
        {
            PrivateNetwork isolated;
            if (!isolated.entered()) {
                ui::ClearDialogTestStateForTesting();
                QSKIP("no private network namespace (needs CAP_SYS_ADMIN)");
            }
            QElapsedTimer clock;
            clock.start();
            Click(Button(page.get(), "emailTestButton"));
            QVERIFY(clock.elapsed() < 20000);
        }
        const auto shown = ui::ShownMessagesForTesting();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, QStringLiteral("*ERROR* Invalid SMTP Host"));
        QCOMPARE(shown[0].caption, QStringLiteral("sentrel"));
        QCOMPARE(shown[0].icon, MessageIcon::Exclamation);
    }
};

QTEST_MAIN(AlertsPageTest)
#include "test_setup_alerts.moc"
