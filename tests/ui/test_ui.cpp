// The window program offscreen through its real widgets, the Alerts page's Test buttons against
// a pseudo-terminal modem and an SMTP peer on 127.0.0.1.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

#include "alerts/pager.h"
#include "alerts/smtp_mailer.h"
#include "config/hold_file.h"
#include "config/placement.h"
#include "config/settings.h"
#include "engine/pass_host.h"
#include "engine/scan_pass.h"
#include "support/harness.h"
#include "support/pty_modem.h"
#include "ui/alarm_notifier.h"
#include "ui/dialogs.h"
#include "ui/monitor_dlg.h"
#include "ui/node_dlg.h"
#include "ui/setup_sheet.h"

using namespace sentrel;
using namespace sentrel::testing;
using ui::CMonitorDlg;
using ui::CSetup;

namespace {

// The desktop notifier with its Show (called by name) only counted.
class CountingNotifier : public ui::DesktopNotifier {
    Q_OBJECT

  public:
    Q_INVOKABLE void Show(const QString& node, const QString&, const QString&, int) {
        nodes << node;
    }
    QStringList nodes;
};

template <typename T = QAbstractButton>
T* Find(QWidget* root, const char* name) {
    return root->findChild<T*>(QString::fromLatin1(name));
}

void Type(QWidget* root, const char* name, const QString& text) {
    auto* edit = Find<QLineEdit>(root, name);
    edit->setFocus();
    edit->selectAll();
    edit->del();
    for (const QChar c : text) {  // as typed, letters of any script included
        QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

// Near the left edge: a check box stretched across its page takes clicks only there.
void Click(QWidget* root, const char* name) {
    QTest::mouseClick(Find(root, name), Qt::LeftButton, {}, QPoint(8, 8));
}

// Runs `script` inside the modal loop of the next modal window of type T.
template <typename T>
void OnModal(std::function<void(T*)> script) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, script] {
        if (auto* modal = qobject_cast<T*>(QApplication::activeModalWidget())) {
            timer->deleteLater();
            timer->stop();
            script(modal);
            modal->hide();  // a script that failed to close it ends its loop: no hang
        }
    });
    timer->start(10);
}

QStringList Shown() {  // caption|text of every message since the last clear
    QStringList shown;
    for (const ui::DialogRecord& m : ui::ShownMessagesForTesting()) {
        shown << m.caption + u'|' + m.text;
    }
    return shown;
}

// A row of the main list: the name cut to 40 letters, blanks up to column 41, the status.
QString Row(const QString& name, const QString& status) {
    return name.left(40).leftJustified(41) + status;
}

std::string Ini(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\r\n";
    }
    return text;
}

}  // namespace

class UiTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<TempDir> home_;
    PassHost host_;  // declared first: it outlives the window and its passes
    std::unique_ptr<CMonitorDlg> dlg_;

    CMonitorDlg* Start(const std::string& ini) {
        WriteFile(home_->iniPath(), ini);
        ResetFirstPaintPendingForTesting();
        dlg_ = std::make_unique<CMonitorDlg>(host_);
        dlg_->Initialise();
        dlg_->show();
        return dlg_.get();
    }
    QListWidget* List() { return Find<QListWidget>(dlg_.get(), "statusList"); }
    QString Caption() { return Find(dlg_.get(), "runButton")->text(); }
    static bool PassEnded() {
        return QTest::qWaitFor([] { return WaitForScanPass(0ms); });
    }

  private slots:
    void initTestCase() {
        ui::SetDialogTestModeForTesting(true);  // a message without an answer fails the test
        SetPagerPauseUnitForTesting(5);
    }
    void init() {
        testing::ResetEngine();
        SetCurrentSettings({});
        ui::ClearDialogTestStateForTesting();
        home_ = std::make_unique<TempDir>();
        home_->UseAsConfigHome();
    }
    void cleanup() {
        if (dlg_ && !dlg_->Closing()) {
            dlg_->reject();
        }
        dlg_.reset();
        QVERIFY(WaitForScanPass(10s));
        QCOMPARE(ui::UnansweredDialogsForTesting(), 0);
        QVERIFY(!ui::DialogAnswersPendingForTesting());
    }

    // An outage's length as people say it; Notify_Flag=0 shows nothing; two nodes on one
    // host are two notifications.
    void notificationsByNode() {
        QCOMPARE(ui::OutageText(7'500'000), QStringLiteral("2 h 5 min"));
        QCOMPARE(ui::OutageText(97'260'000), QStringLiteral("1 d 3 h"));
        CountingNotifier shown;
        ui::AlarmNotifyListener listener(&shown);
        NodeAlarmEvent event{
            .address = "127.0.0.1", .title = {}, .statusText = {}, .alarmCount = 2};
        for (const bool flag : {false, true}) {
            MonitorSettings settings;
            settings.Notify_Flag = flag;
            SetCurrentSettings(settings);
            for (event.index = 0; event.index < 2; ++event.index) {
                listener.NodeAlarmed(event);
            }
        }
        QTRY_COMPARE(shown.nodes.size(), 2);
        QVERIFY2(shown.nodes[0] != shown.nodes[1], qPrintable(shown.nodes[0]));
    }

    // Every check the sheet makes before it lets a value go, with its message.
    void sheetMessages() {
        using Typed = std::vector<std::pair<const char*, QString>>;
        struct Case {
            int page;
            Typed typed;
            const char* clicked;
            QString shown;
            bool ticked = false;  // the clicked box after the click
        };
        const QString no = QStringLiteral("*Error*|You haven't specified ");
        const QString wave = QStringLiteral("*Error*|You haven't selected a wave file yet.");
        const QString length = QStringLiteral("sentrel|Please enter no more than %1 characters.");
        const Typed mail{{"emailSmtpEdit", "m"},
                         {"emailFromEdit", "f"},
                         {"emailToEdit", "t"},
                         {"emailSubjectEdit", "s"}};
        auto first = [&](int n) { return Typed(mail.begin(), mail.begin() + n); };
        const Case cases[] = {
            {3, {}, "audioFlagCheck", wave},
            {3, {}, "audioTestButton", wave},
            {3, {}, "pagerFlagCheck", no + "a phone number."},
            {3, {{"pagerPhoneEdit", "5"}}, "pagerTestButton", no + "a pager message."},
            {3, {}, "emailFlagCheck", no + "an SMTP server."},
            {3, first(1), "emailTestButton", no + "an Email From."},
            {3, first(2), "emailFlagCheck", no + "an Email TO."},
            {3, first(3), "emailFlagCheck", no + "an Email subject."},
            {3, mail, "emailFlagCheck",
             "sentrel|Please test to make sure the Email information is correct.", true},
            {3, {}, "launchFlagCheck", no + "a command line."},
            {1, {}, "addButton", "sentrel|*LIMIT* Only 100 nodes can be monitored."},
            // Limits count the bytes the settings file keeps: é takes two.
            {0, {{"secsEdit", "ééé"}}, "okButton", length.arg(4)},
            {3, {{"pagerPhoneEdit", QString(21, u'é')}}, "okButton", length.arg(40)},
        };
        MonitorSettings full;
        for (int i = 0; i < kMaxNodes; ++i) {
            full.NodeList[i] = {"n" + std::to_string(i), "", "", PING};
        }
        for (const Case& c : cases) {
            ui::ClearDialogTestStateForTesting();
            CSetup sheet(nullptr, full);
            sheet.show();
            sheet.Tabs()->setCurrentIndex(c.page);
            for (const auto& [name, text] : c.typed) {
                Type(&sheet, name, text);
            }
            ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
            Click(&sheet, c.clicked);
            QCOMPARE(Shown(), QStringList{c.shown});
            QCOMPARE(ui::ShownMessagesForTesting()[0].icon, MessageIcon::Exclamation);
            QVERIFY(sheet.isVisible());
            QCOMPARE(Find(&sheet, c.clicked)->isChecked(), c.ticked);
        }
    }

    // OK on a sheet whose fields were seen but not touched writes the very bytes
    // the file held: single-byte texts, hand-edited keys and comments included.
    void untouchedOkKeepsTheFileByteForByte() {
        MonitorSettings s;
        s.AutoStart = s.Fmt_HTML = s.Com_2 = true;
        s.Secs = "6\xb0";
        for (int i = 0; i < kMaxNodes; ++i) {
            s.NodeList[i] = {"n" + std::to_string(i), i % 3 ? "81" : "", i % 4 ? "T\xe9" : "",
                             i % 2};
        }
        s.Log_File_Name = "/var/log/caf\xe9.log";
        s.Wave_File = "/sounds/al\xe9rte.wav";
        s.Pager_Phone = std::string(39, '5') + "\xe9";  // 40 bytes, shown as 40 letters
        QVERIFY(SaveSettings(s));
        std::string before = ReadFile(home_->iniPath());
        before.insert(before.find("[Alerts]\r\n") + 10, "Pager_Delay=9\r\n; by hand\r\n");
        WriteFile(home_->iniPath(), before += "[Screen]\r\nXPOS=10\r\n");
        OnModal<CSetup>([](CSetup* sheet) {
            for (int i : {1, 2, 3, 0, 3}) {
                sheet->Tabs()->setCurrentIndex(i);
            }
            Click(sheet, "okButton");
        });
        QVERIFY(ui::RunSetupAndSave(nullptr));
        QCOMPARE(ReadFile(home_->iniPath()), before);
        QVERIFY(Shown().isEmpty());
    }

    // Nodes of every kind: the list names each kind; the dialog shows a kind's
    // own fields only; OK on an untouched dialog keeps the kind (a type of no
    // button included) and every key, which move with their node on a delete.
    void nodeKindsAndTheirKeys() {
        const std::string ini = Ini({"[Servers]", "s0node=a", "s0type=7", "s1node=w", "s1type=3",
                                     "s1path=/h", "s1expect=ok", "s1parent=gone", "s2node=d",
                                     "s2type=4", "s2query=q.test", "s2qtype=AAAA", "s2expect=::1"});
        WriteFile(home_->iniPath(), ini);
        LoadSettings();
        OnModal<CSetup>([](CSetup* sheet) {
            sheet->Tabs()->setCurrentIndex(1);
            auto* list = Find<QListWidget>(sheet, "nodeList");
            QVERIFY(list->item(0)->text().endsWith(QStringLiteral("TYPE: ")));
            QVERIFY(list->item(2)->text().endsWith(QStringLiteral("TYPE: DNS")));
            for (int row : {0, 1, 2}) {
                list->setCurrentRow(row);
                OnModal<ui::CNodeDlg>([row](ui::CNodeDlg* node) {
                    QCOMPARE(Find<QLineEdit>(node, "queryEdit")->isVisible(), row == 2);
                    QCOMPARE(Find<QLineEdit>(node, "pathEdit")->isVisible(), row == 1);
                    Click(node, "okButton");
                });
                Click(sheet, "editButton");
            }
            const auto said = [sheet] { return Find<QLabel>(sheet, "holdProblemsLabel")->text(); };
            QCOMPARE(said(),
                     QStringLiteral("s1parent of w: no node has the address gone; ignored"));
            list->setCurrentRow(0);
            ui::QueueMessageAnswerForTesting(MessageAnswer::Yes);
            Click(sheet, "deleteButton");
            QCOMPARE(said(),
                     QStringLiteral("s0parent of w: no node has the address gone; ignored"));
            Click(sheet, "okButton");
        });
        QVERIFY(ui::RunSetupAndSave(nullptr));
        const NodeEntry https = CurrentSettings().NodeList[0];
        const NodeEntry dns = CurrentSettings().NodeList[1];
        QCOMPARE(https, (NodeEntry{"w", "", "", HTTPS, "/h", "ok", "", "", "gone"}));
        QCOMPARE(dns, (NodeEntry{"d", "", "", DNS, "", "::1", "q.test", "AAAA"}));
        WriteFile(home_->iniPath(), ini);  // the type of no button, edited alone
        LoadSettings();
        OnModal<CSetup>([](CSetup* sheet) {
            sheet->Tabs()->setCurrentIndex(1);
            Find<QListWidget>(sheet, "nodeList")->setCurrentRow(0);
            OnModal<ui::CNodeDlg>([](ui::CNodeDlg* node) { Click(node, "okButton"); });
            Click(sheet, "editButton");
            Click(sheet, "okButton");
        });
        QVERIFY(ui::RunSetupAndSave(nullptr));
        QCOMPARE(CurrentSettings().NodeList[0].probeType, 7);
    }

    // A title in any script is taken up to the file's limit of 49 bytes and comes
    // back whole; the main list cuts it by letters and keeps the status column.
    void titlesInOtherScripts() {
        for (const QString& title :
             {QString(39, u'a') + QStringLiteral("é") + QString(8, u'b'),
              QString(24, QChar(0x3BB)) + u'x', QString(16, QChar(0x7F51)) + u'x'}) {
            ui::ClearDialogTestStateForTesting();
            CMonitorDlg* dlg = Start(Ini({"[General]", "Secs=60"}));
            OnModal<CSetup>([title](CSetup* sheet) {
                sheet->Tabs()->setCurrentIndex(1);
                OnModal<ui::CNodeDlg>([title](ui::CNodeDlg* node) {
                    Type(node, "addressEdit", QStringLiteral("127.0.0.1"));
                    Type(node, "titleEdit", title + title.back());
                    ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
                    Click(node, "okButton");  // one letter too many: refused
                    Type(node, "titleEdit", title);
                    Click(node, "okButton");
                });
                Click(sheet, "addButton");
                Click(sheet, "okButton");
            });
            Click(dlg, "setupButton");
            QCOMPARE(Shown(), QStringList{"sentrel|Please enter no more than 49 characters."});
            QCOMPARE(QString::fromStdString(CurrentSettings().NodeList[0].title), title);
            QCOMPARE(List()->item(0)->text(), Row(title, "*unknown*"));
        }
    }

    // RUN and STOP by the Enter key; Setup only while stopped; a message of the
    // scan thread belongs to the main window.
    void runStopByEnter() {
        LoopbackPeer peer(LoopbackPeer::Mode::Answer, std::string(1234, 'x'));
        CMonitorDlg* dlg =
            Start(Ini({"[General]", "Secs=60", "MAXSecs=3", "[Servers]", "s0node=127.0.0.1",
                       "s0port=" + peer.portText(), "s0title=Web", "[Reports]", "Log_Flag=1",
                       "Success=1", "Log_File_Name=" + home_->path()}));  // a folder: not writable
        ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
        List()->setFocus();
        QTest::keyClick(List(), Qt::Key_Return);
        QCOMPARE(Caption(), QStringLiteral("STOP"));
        QVERIFY(!Find(dlg, "setupButton")->isEnabled());
        QVERIFY(QTest::qWaitFor([&] { return peer.accepted() == 1; }, 5000) && PassEnded());
        QCOMPARE(List()->item(0)->text(), Row("Web", "HTTP: 1234 bytes. "));
        QCOMPARE(Shown(), QStringList{"sentrel|*ERROR* Could not open LOG file."});
        QVERIFY(ui::ShownMessagesForTesting()[0].window == dlg);
        QTest::keyClick(List(), Qt::Key_Enter);
        QCOMPARE(Caption(), QStringLiteral("RUN"));
        QVERIFY(Find(dlg, "setupButton")->isEnabled());
        QCOMPARE(List()->item(0)->text(), Row("Web", "*unknown*"));
    }

    // STOP ends a pass after its node in progress; closing during a pass waits
    // for it and writes nothing but the placement.
    void stopAndCloseDuringAPass() {
        LoopbackPeer peer(LoopbackPeer::Mode::Silent);  // a pass that outlasts the actions
        const std::string ini =
            Ini({"[General]", "AutoStart=1", "Secs=1", "MAXSecs=2", "[Servers]", "s0node=127.0.0.1",
                 "s0port=" + peer.portText(), "s0title=slow 0", "s1node=127.0.0.1",
                 "s1port=" + peer.portText(), "s1title=slow 1"});
        CMonitorDlg* dlg = Start(ini);
        QVERIFY(QTest::qWaitFor([&] { return peer.accepted() == 1; }, 5000));
        Click(dlg, "runButton");
        QCOMPARE(Caption(), QStringLiteral("RUN"));
        QVERIFY(PassEnded());
        QCOMPARE(peer.accepted(), 1);  // the node in progress was finished, no other probed
        QCOMPARE(List()->item(0)->text(), Row("slow 0", "*ERROR* count: 1"));
        QCOMPARE(List()->item(1)->text(), Row("slow 1", "*unknown*"));

        Click(dlg, "runButton");
        QVERIFY(QTest::qWaitFor([&] { return peer.accepted() == 2; }, 5000));
        Click(dlg, "exitButton");
        QVERIFY(dlg->ClosedCleanly() && !ScanPassRunning());
        QCOMPARE(peer.accepted(), 2);
        QCOMPARE(List()->item(0)->text(), Row("slow 0", "*ERROR* count: 2"));
        QVERIFY(ReadFile(home_->iniPath()).rfind(ini + "\r\n[Screen]\r\n", 0) == 0);
    }

    // The hold menu: an hour's hold shows its end beside the silence label and the
    // failing row says it is held; ending it hides the label.
    void holdMenuHoldsEveryAlarmForAnHour() {
        CMonitorDlg* dlg = Start(Ini({"[General]", "AutoStart=1", "Secs=1", "[Servers]",
                                      "s0node=127.0.0.1", "s0port=1", "s0title=shut"}));
        Find<QAction>(dlg, "holdHourAction")->trigger();
        const std::time_t until = ReadHoldFile(), left = until - std::time(nullptr);
        QVERIFY2(left >= 3599 && left <= 3660, std::to_string(left).c_str());
        QLabel* held = Find<QLabel>(dlg, "heldLabel");
        QVERIFY(held->isVisible());
        QCOMPARE(held->text(), QString::fromStdString("Alarms held until " + HoldText(until)));
        QVERIFY(QTest::qWaitFor([&] { return List()->item(0)->text().endsWith("maintenance)"); }));
        Find<QAction>(dlg, "endHoldAction")->trigger();
        QCOMPARE(ReadHoldFile(), std::time_t{0});
        QVERIFY(!held->isVisible());
    }

    // OK on the sheet while a stopped pass finishes its node waits for that pass:
    // the node's result never lands on the node that takes its slot.
    void setupOkWhileAStoppedPassFinishes() {
        LoopbackPeer peer(LoopbackPeer::Mode::Silent);
        CMonitorDlg* dlg =
            Start(Ini({"[General]", "AutoStart=1", "Secs=1", "MAXSecs=2", "[Servers]",
                       "s0node=127.0.0.1", "s0port=" + peer.portText(), "s1node=127.0.0.2"}));
        QVERIFY(QTest::qWaitFor([&] { return peer.accepted() == 1; }, 5000));
        Click(dlg, "runButton");
        OnModal<CSetup>([](CSetup* sheet) {
            sheet->Tabs()->setCurrentIndex(1);
            Find<QListWidget>(sheet, "nodeList")->setCurrentRow(0);
            ui::QueueMessageAnswerForTesting(MessageAnswer::Yes);
            Click(sheet, "deleteButton");
            Click(sheet, "okButton");
        });
        Click(dlg, "setupButton");
        QVERIFY(PassEnded());
        QCOMPARE(List()->item(0)->text(), Row("127.0.0.2", "*unknown*"));
    }

    // The placement is applied at start and written back at close, in place.
    void placementRoundTrip() {
        auto ini = [](int x, int y, int w, int h) {
            return Ini({"[General]", "Secs=60", "[Screen]", "XPOS=" + std::to_string(x),
                        "YPOS=" + std::to_string(y), "WIDTH=" + std::to_string(w),
                        "HEIGHT=" + std::to_string(h), "[Alerts]", "Num_Fails=3"});
        };
        WriteFile(home_->iniPath(), ini(150, 120, 640, 420));
        for (const QRect place : {QRect(150, 120, 640, 420), QRect(200, 90, 700, 450)}) {
            CMonitorDlg* dlg = Start(ReadFile(home_->iniPath()));
            QCOMPARE(dlg->frameGeometry().topLeft(), place.topLeft());
            QCOMPARE(dlg->size(), place.size());
            dlg->move(200, 90);
            dlg->resize(700, 450);
            QTRY_COMPARE(dlg->size(), QSize(700, 450));
            dlg->reject();
            QCOMPARE(ReadFile(home_->iniPath()), ini(200, 90, 700, 450));
        }
    }

    // The Alerts page's Test buttons use the values on the page, and every
    // message they raise belongs to the sheet, the pager's own port errors too.
    void alertTestButtons() {
        PtyModem modem;
        QVERIFY(modem.ok());
        LoopbackPeer smtp([](Connection& c) {  // a mail server's replies
            std::string line;
            bool data = false;
            c.Send("220 ready\r\n");
            while (c.ReadLine(&line)) {
                if (!data || line == ".\r\n") {
                    data = !data && line.rfind("DATA", 0) == 0;
                    c.Send(data ? "354 go on\r\n" : "250 ok\r\n");
                }
            }
        });
        CMonitorDlg* dlg = Start(Ini(
            {"[General]", "Secs=60", "[Alerts]", "Pager_Delay=2", "Email_Port=" + smtp.portText(),
             "Com_1_Device=" + modem.slavePath(), "Com_2_Device=/nonexistent",
             "Email_SMTP=127.0.0.1", "Email_From=saved", "Email_To=saved", "Email_Subject=saved"}));
        bool onSheet = false;
        OnModal<CSetup>([&](CSetup* sheet) {
            sheet->Tabs()->setCurrentIndex(3);
            Type(sheet, "pagerPhoneEdit", "5551234");
            Type(sheet, "pagerMessageEdit", "911");
            // COM1 (the modem), then none, then COM2 with no device behind it.
            for (const char* port : {"com1Check", "com1Check", "com2Check"}) {
                Click(sheet, port);
                ui::QueueMessageAnswerForTesting(MessageAnswer::Yes);
                if (!Find(sheet, "com1Check")->isChecked()) {
                    ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
                }
                Click(sheet, "pagerTestButton");
            }
            Type(sheet, "emailFromEdit", "page-from@example");
            Type(sheet, "emailToEdit", "page-to@example");
            Type(sheet, "emailSubjectEdit", "page subject");
            ui::QueueMessageAnswerForTesting(MessageAnswer::Yes);
            Click(sheet, "emailTestButton");
            Type(sheet, "emailSmtpEdit", "127.0.0.2");  // nothing listens there
            ui::QueueMessageAnswerForTesting(MessageAnswer::Yes);
            ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
            Click(sheet, "emailTestButton");
            const auto shown = ui::ShownMessagesForTesting();
            onSheet =
                std::all_of(shown.begin(), shown.end(), [&](auto& m) { return m.window == sheet; });
            Click(sheet, "cancelButton");
        });
        Click(dlg, "setupButton");
        const std::string dialled = "atz\ratd5551234,,,911\r\rath0\ratz\r";
        QVERIFY(modem.WaitForBytes(dialled.size(), 5s));
        QCOMPARE(modem.Bytes(), dialled);
        const QString ask = QStringLiteral(
            "Pager Test Invoked|Make sure you've selected the correct COMM port.  Selecting a COM "
            "port that is not a modem may cause unpredictable results. \nAre you ready to test? ");
        QCOMPARE(Shown(), (QStringList{ask, ask, "Paging Error|Could not send data to Comm Port..",
                                       ask, "Paging Error|Comm Port could not be used.",
                                       "Email Test Invoked|Send an Email? ",
                                       "Email Test Invoked|Send an Email? ",
                                       "Email Test Failed|Email could not be sent."}));
        QVERIFY2(onSheet, "a message of the sheet belongs to another window");
        QCOMPARE(smtp.received().size(), std::size_t{1});
        for (const char* part : {"page-from@example", "page-to@example", "page subject"}) {
            QVERIFY2(smtp.received()[0].find(part) != std::string::npos, part);
        }
    }
};

QTEST_MAIN(UiTest)
#include "test_ui.moc"
