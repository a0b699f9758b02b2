// The main window with real buttons, offscreen: start-up states, the status
// list through real passes against loopback peers, RUN/STOP and Enter, the icon
// animation, the layout, the about box and help, messages from the scan thread,
// and closing while a pass runs.
#include <QAction>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTextBrowser>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <chrono>
#include <memory>

#include "config/placement.h"
#include "engine/ping_probe.h"
#include "engine/scan_pass.h"
#include "program_test_util.h"
#include "support/tcp_peer.h"
#include "ui/about_dlg.h"
#include "ui/help_window.h"
#include "ui/monitor_dlg.h"
#include "ui/qt_scan_window.h"

using namespace sentrel;
using namespace sentrel::testing;
using sentrel::ui::CMonitorDlg;

namespace {

std::string Row(const std::string& name, const std::string& status) {
    return name + std::string(name.size() < 41 ? 41 - name.size() : 0, ' ') + status;
}

QStringList ListRows(QListWidget* list) {
    QStringList rows;
    for (int i = 0; i < list->count(); ++i) {
        rows << list->item(i)->text();
    }
    return rows;
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<ConfigHomeGuard> home_;
    std::unique_ptr<CMonitorDlg> dlg_;

    // Writes tarn.ini, then builds and starts the window as the program does.
    CMonitorDlg* Start(const IniText& ini, bool show = true) {
        WriteFileBytes(home_->IniPath(), ini.str());
        dlg_ = std::make_unique<CMonitorDlg>();
        if (dlg_->Initialise() != CMonitorDlg::StartResult::Ready) {
            qWarning("start-up did not complete");
        }
        if (show) {
            dlg_->show();
        }
        return dlg_.get();
    }
    QListWidget* List() { return Child<QListWidget>(dlg_.get(), "statusList"); }
    QPushButton* Button(const char* name) { return Child<QPushButton>(dlg_.get(), name); }

  private slots:
    void init() {
        ResetProgramState();
        home_ = std::make_unique<ConfigHomeGuard>();
    }

    void cleanup() {
        if (dlg_ && !dlg_->Closing()) {
            dlg_->reject();
        }
        dlg_.reset();
        ScanAbort = 1;
        QVERIFY(WaitForScanPass(std::chrono::seconds(10)));
        if (ui::CurrentHelpWindow()) {
            delete ui::CurrentHelpWindow();
        }
        ResetProgramState();
        home_.reset();
    }

    void autoStartRunsFromTheFirstRedrawAndShowsResults() {
        TcpPeer peer(TcpPeer::Behaviour::Answer, 1234);
        QVERIFY(peer.listening());
        const std::string port = std::to_string(peer.port());
        IniText ini;
        ini.Section("General").Key("AutoStart", "1").Key("Secs", "60").Key("MAXSecs", "3");
        ini.Section("Servers").Node(0, "127.0.0.1", port, HTTPD, "Web");
        ini.Node(1, "127.0.0.1", port, HTTPD);
        CMonitorDlg* dlg = Start(ini);

        // Before any event is handled: the first redraw has run at show.
        QCOMPARE(Button("runButton")->text(), QStringLiteral("STOP"));
        QVERIFY(!Button("setupButton")->isEnabled());
        const QString unknownRow0 = QString::fromStdString(Row("Web", "*unknown*"));
        const QString unknownRow1 =
            QString::fromStdString(Row("127.0.0.1 port:" + port, "*unknown*"));
        QCOMPARE(ListRows(List()), (QStringList{unknownRow0, unknownRow1}));
        QCOMPARE(dlg->windowTitle(), QStringLiteral("Sentrel v1.2"));
        QVERIFY(Child<QLabel>(dlg, "lastScanValue")->text().isEmpty());

        // A pass against the peer.
        QVERIFY(
            WaitUntil([&] { return dlg->windowTitle() == "Sentrel v1.2 - sleeping..."; }, 5000));
        const QString ok = QString::fromStdString(Row("Web", "HTTP: 1234 bytes. "));
        QCOMPARE(List()->item(0)->text(), ok);
        QCOMPARE(List()->item(1)->text(),
                 QString::fromStdString(Row("127.0.0.1 port:" + port, "HTTP: 1234 bytes. ")));
        std::string lastScan = GetLastScanText();
        QCOMPARE(lastScan.size(), std::size_t{25});
        lastScan.pop_back();
        QCOMPARE(Child<QLabel>(dlg, "lastScanValue")->text(), QString::fromStdString(lastScan));
        QVERIFY(!Child<QLabel>(dlg, "lastScanValue")->isEnabled());  // shown grey
        QCOMPARE(peer.accepted(), 2);

        // STOP: every row back to "*unknown*"; the title keeps its last text.
        QTest::mouseClick(Button("runButton"), Qt::LeftButton);
        QCOMPARE(Button("runButton")->text(), QStringLiteral("RUN"));
        QVERIFY(Button("setupButton")->isEnabled());
        QCOMPARE(ListRows(List()), (QStringList{unknownRow0, unknownRow1}));
        QCOMPARE(dlg->windowTitle(), QStringLiteral("Sentrel v1.2 - sleeping..."));
    }

    void withoutAutoStartNothingRuns() {
        TcpPeer peer(TcpPeer::Behaviour::Answer, 10);
        IniText ini;
        ini.Section("General").Key("AutoStart", "0").Key("Secs", "1");
        ini.Section("Servers").Node(0, "127.0.0.1", std::to_string(peer.port()), HTTPD, "A");
        Start(ini);
        QCOMPARE(Button("runButton")->text(), QStringLiteral("RUN"));
        QVERIFY(Button("setupButton")->isEnabled());
        QTest::qWait(200);
        QCOMPARE(peer.accepted(), 0);
        QCOMPARE(MonitorRunning.load(), 0);
        QCOMPARE(ListRows(List()), QStringList{QString::fromStdString(Row("A", "*unknown*"))});
    }

    void noNodesGiveAnEmptyList() {
        IniText ini;
        ini.Section("General").Key("AutoStart", "1").Key("Secs", "1");
        Start(ini);
        QVERIFY(
            WaitUntil([&] { return dlg_->windowTitle() == "Sentrel v1.2 - sleeping..."; }, 3000));
        QCOMPARE(List()->count(), 0);
    }

    void enterPressesRunAndStop() {
        IniText ini;
        ini.Section("General").Key("Secs", "0");  // running, but no pass starts
        Start(ini);
        List()->setFocus();
        QTest::keyClick(List(), Qt::Key_Return);
        QCOMPARE(Button("runButton")->text(), QStringLiteral("STOP"));
        QCOMPARE(MonitorRunning.load(), 1);
        QTest::keyClick(List(), Qt::Key_Enter);
        QCOMPARE(Button("runButton")->text(), QStringLiteral("RUN"));
        QCOMPARE(MonitorRunning.load(), 0);
        QVERIFY(Button("runButton")->isDefault());
    }

    void iconAnimatesFromFrameOneAndKeepsItsLastFrame() {
        IniText ini;
        ini.Section("General").Key("Secs", "0");
        CMonitorDlg* dlg = Start(ini);
        QList<int> frames;
        connect(dlg, &QWidget::windowIconChanged, this, [&] { frames << dlg->IconFrame(); });
        QTest::qWait(400);
        QVERIFY2(frames.isEmpty(), "no animation while monitoring is off");
        QCOMPARE(dlg->IconFrame(), -1);

        QTest::mouseClick(Button("runButton"), Qt::LeftButton);
        QVERIFY(WaitUntil([&] { return frames.size() >= 8; }, 3000));
        QCOMPARE(frames.mid(0, 8), (QList<int>{1, 2, 3, 4, 5, 0, 1, 2}));

        QTest::mouseClick(Button("runButton"), Qt::LeftButton);
        const int last = dlg->IconFrame();
        const qint64 iconKey = dlg->windowIcon().cacheKey();
        const int changes = frames.size();
        QTest::qWait(450);
        QCOMPARE(dlg->IconFrame(), last);
        QCOMPARE(dlg->windowIcon().cacheKey(), iconKey);
        QCOMPARE(frames.size(), changes);
    }

    void layoutFollowsTheWindowEdges() {
        IniText ini;
        ini.Section("General").Key("Secs", "0");
        CMonitorDlg* dlg = Start(ini);
        QWidget* client = Child<QWidget>(dlg, "clientArea");
        for (const QSize size : {QSize(900, 640), QSize(600, 400), QSize(1000, 300)}) {
            dlg->resize(size);
            QTRY_COMPARE(dlg->size(), size);
            const int cx = client->width();
            const int cy = client->height();
            QCOMPARE(Button("setupButton")->pos(), QPoint(36, cy - 57));
            QCOMPARE(Button("runButton")->pos(), QPoint(238, cy - 57));
            QCOMPARE(Button("exitButton")->pos(), QPoint(442, cy - 57));
            QCOMPARE(List()->pos(), QPoint(28, 66));
            QCOMPARE(List()->size(), QSize(cx - 76, cy - 152));
        }
    }

    void aboutBoxShowsNameIconAndPicture() {
        IniText ini;
        ini.Section("General").Key("Secs", "0");
        CMonitorDlg* dlg = Start(ini);
        bool checked = false;
        QTimer::singleShot(50, this, [&] {
            auto* about = qobject_cast<ui::CAboutDlg*>(QApplication::activeModalWidget());
            QVERIFY(about);
            QCOMPARE(about->windowTitle(), QStringLiteral("About Sentrel"));
            QCOMPARE(Child<QLabel>(about, "aboutText")->text(), QStringLiteral("Sentrel  v1.2"));
            QVERIFY(!Child<QLabel>(about, "aboutIcon")->pixmap().isNull());
            QVERIFY(!Child<QLabel>(about, "aboutPicture")->pixmap().isNull());
            auto* ok = Child<QPushButton>(about, "aboutOk");
            QVERIFY(ok->isDefault());
            checked = true;
            QTest::keyClick(about, Qt::Key_Return);
        });
        Child<QAction>(dlg, "aboutAction")->trigger();
        QVERIFY(checked);
        QVERIFY(!QApplication::activeModalWidget());
    }

    void helpMenuAndGlyphOpenTheMainWindowTopic() {
        IniText ini;
        ini.Section("General").Key("Secs", "0");
        CMonitorDlg* dlg = Start(ini);
        Child<QAction>(dlg, "helpAction")->trigger();
        ui::HelpWindow* help = ui::CurrentHelpWindow();
        QVERIFY(help);
        QVERIFY(help->isVisible());
        QCOMPARE(help->CurrentAnchor(), QStringLiteral("main"));
        QCOMPARE(help->Browser()->source().fragment(), QStringLiteral("main"));
        const QString text = help->Browser()->toPlainText();
        for (const char* needle : {"Last Scan:", "*unknown*", "*ERROR* count: n", "RUN", "STOP",
                                   "Setup...", "Max alarms per failure", "Enable Launch"}) {
            QVERIFY2(text.contains(QLatin1String(needle)), needle);
        }
        help->close();
        QTRY_VERIFY(!ui::CurrentHelpWindow());

        // The glyph sits at the top right of the window and opens the same topic.
        auto* glyph = Child<QToolButton>(dlg, "helpGlyph");
        QVERIFY(glyph->isVisible());
        const QPoint glyphAt = glyph->mapTo(dlg, QPoint(0, 0));
        QVERIFY(glyphAt.x() > dlg->width() - 73);
        QVERIFY(glyphAt.y() < 30);
        QTest::mouseClick(glyph, Qt::LeftButton);
        QVERIFY(ui::CurrentHelpWindow());
        QCOMPARE(ui::CurrentHelpWindow()->CurrentAnchor(), QStringLiteral("main"));
    }

    void helpTopicsHaveAnchors() {
        for (const char* topic : {"3", "main", "status", "run", "setup", "general", "servers",
                                  "node", "reporting", "alerts", "alarms", "files", "messages"}) {
            ui::OpenHelp(nullptr, QString::fromLatin1(topic));
            ui::HelpWindow* help = ui::CurrentHelpWindow();
            QVERIFY(help);
            const QString anchor = help->CurrentAnchor();
            QVERIFY2(!anchor.isEmpty(), topic);
            QVERIFY2(help->Browser()->document()->toHtml().contains(
                         QStringLiteral("name=\"%1\"").arg(anchor)),
                     topic);
        }
        QCOMPARE(ui::HelpTopicAnchor(QStringLiteral("no such topic")), QString());
    }

    void aMessageFromTheScanThreadHoldsThePassWhileTheWindowStaysLive() {
        TcpPeer peer(TcpPeer::Behaviour::Answer, 50);
        const std::string port = std::to_string(peer.port());
        IniText ini;
        ini.Section("General").Key("AutoStart", "1").Key("Secs", "60").Key("MAXSecs", "3");
        ini.Section("Servers").Node(0, "127.0.0.1", port, HTTPD, "First");
        ini.Node(1, "127.0.0.1", port, HTTPD, "Second");
        // A directory cannot be opened as the log file.
        ini.Section("Reports").Key("Log_Flag", "1").Key("Success", "1");
        ini.Key("Log_File_Name", home_->dir().path());
        CMonitorDlg* dlg = Start(ini);

        // The boxes are modal: everything below runs from timers inside their loops.
        struct Seen {
            QString text, caption;
            QMessageBox::Icon icon = QMessageBox::NoIcon;
            int busy = -1, accepted = -1, ticksWhileShown = -1, rowsWhileShown = -1;
            QString title, row0;
        };
        QList<Seen> seen;
        int ticks = 0;
        QTimer poll;
        poll.setInterval(20);
        connect(&poll, &QTimer::timeout, this, [&] {
            ++ticks;
            QMessageBox* box = ShownMessageBox();
            // Boxes live on the stack and may reuse an address: mark each one.
            if (!box || box->property("seenByTest").toBool()) {
                return;
            }
            box->setProperty("seenByTest", true);
            Seen s;
            s.text = box->text();
            s.caption = box->windowTitle();
            s.icon = box->icon();
            s.title = dlg->windowTitle();
            s.row0 = List()->item(0)->text();
            const int ticksAtShow = ticks;
            seen << s;
            const int index = static_cast<int>(seen.size()) - 1;
            // Hold the box for a while: the pass must wait, the window must not.
            QTimer::singleShot(400, box, [&, box, index, ticksAtShow] {
                seen[index].busy = ScanBusy.load();
                seen[index].accepted = peer.accepted();
                seen[index].ticksWhileShown = ticks - ticksAtShow;
                dlg->resize(dlg->width() + 20, dlg->height() + 10);
                seen[index].rowsWhileShown = List()->count();
                QTest::keyClick(box, Qt::Key_Return);
            });
        });
        poll.start();
        QVERIFY(WaitUntil([&] { return ScanBusy.load() == 0 && seen.size() == 2; }, 10000));
        QVERIFY(
            WaitUntil([&] { return dlg->windowTitle() == "Sentrel v1.2 - sleeping..."; }, 2000));
        poll.stop();

        QCOMPARE(seen.size(), 2);  // one message per line that could not be written
        for (int i = 0; i < 2; ++i) {
            const Seen& s = seen[i];
            QCOMPARE(s.text, QStringLiteral("*ERROR* Could not open LOG file."));
            QCOMPARE(s.caption, QStringLiteral("sentrel"));
            QCOMPARE(s.icon, QMessageBox::Warning);
            QCOMPARE(s.busy, 1);          // the pass waited for the answer
            QCOMPARE(s.accepted, i + 1);  // and probed no further node meanwhile
            QVERIFY2(s.ticksWhileShown >= 10, "the user-interface thread must keep running");
            QCOMPARE(s.rowsWhileShown, 2);
            QCOMPARE(s.title, QStringLiteral("Sentrel v1.2 - scanning: 127.0.0.1"));
        }
        QCOMPARE(seen[0].row0, QString::fromStdString(Row("First", "HTTP: 50 bytes. ")));
        QCOMPARE(ui::ShownMessagesForTesting().size(), 2);
    }

    void closingDuringAPassEndsItAfterItsNodeAndWritesOnlyScreen() {
        TcpPeer peer(TcpPeer::Behaviour::Silent);
        const std::string port = std::to_string(peer.port());
        IniText ini = SlowPassIni(port);
        ini.Section("Reports").Key("Report_Flag", "1");
        ini.Key("Report_File_Name", home_->dir().File("report.rpt")).Key("Fmt_Text", "1");
        ini.Section("Alerts").Key("Num_Fails", "1").Key("Max_Alarms", "5");
        CMonitorDlg* dlg = Start(ini);
        const std::string before = ReadFileBytes(home_->IniPath());

        QVERIFY(WaitUntil([&] { return peer.accepted() == 1; }, 3000));
        bool finished = false;
        connect(dlg, &QDialog::finished, this, [&] { finished = true; });
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(Button("exitButton"), Qt::LeftButton);
        QVERIFY(finished);
        QVERIFY(dlg->ClosedCleanly());
        QVERIFY(clock.elapsed() < 5000);
        QVERIFY(!ScanPassRunning());
        QVERIFY(!PingLibraryLoaded());
        QCOMPARE(peer.accepted(), 1);  // the nodes after the one in progress were not probed
        // The node in progress was finished: its row, its report line.
        QCOMPARE(List()->item(0)->text(),
                 QString::fromStdString(Row("slow 0", "*ERROR* count: 1")));
        QCOMPARE(dlg->windowTitle(), QStringLiteral("Sentrel v1.2 - sleeping..."));
        const std::string report = ReadFileBytes(home_->dir().File("report.rpt"));
        QVERIFY(report.find("*ERROR* count: 1") != std::string::npos);

        const std::string after = ReadFileBytes(home_->IniPath());
        QCOMPARE(LinesWithoutScreen(after), LinesWithoutScreen(before));
        const auto screen = SectionKeys(after, "Screen");
        QCOMPARE(screen.size(), std::size_t{4});
        QCOMPARE(screen.at("WIDTH"), std::to_string(dlg->width()));
        QCOMPARE(screen.at("HEIGHT"), std::to_string(dlg->height()));
        QCOMPARE(screen.at("XPOS"), std::to_string(dlg->frameGeometry().x()));
        QCOMPARE(screen.at("YPOS"), std::to_string(dlg->frameGeometry().y()));
    }

    void escapeAndTheCloseBoxCloseTheWindow() {
        IniText ini;
        ini.Section("General").Key("Secs", "0");
        CMonitorDlg* dlg = Start(ini);
        QTest::keyClick(dlg, Qt::Key_Escape);
        QVERIFY(dlg->Closing());
        QVERIFY(!dlg->isVisible());
        QCOMPARE(SectionKeys(ReadFileBytes(home_->IniPath()), "Screen").size(), std::size_t{4});

        // The close box takes the same road.
        ResetProgramState();
        WriteFileBytes(home_->IniPath(), ini.str());
        CMonitorDlg second;
        QCOMPARE(second.Initialise(), CMonitorDlg::StartResult::Ready);
        second.show();
        QVERIFY(second.close());
        QVERIFY(second.Closing());
        QCOMPARE(SectionKeys(ReadFileBytes(home_->IniPath()), "Screen").size(), std::size_t{4});
    }

    void setupOpensOnlyWhileStoppedAndItsOkResetsTheRows() {
        TcpPeer peer(TcpPeer::Behaviour::CloseWithoutData);
        IniText ini;
        ini.Section("General").Key("AutoStart", "1").Key("Secs", "60").Key("MAXSecs", "2");
        ini.Section("Servers").Node(0, "127.0.0.1", std::to_string(peer.port()), HTTPD, "N");
        CMonitorDlg* dlg = Start(ini);
        QVERIFY(
            WaitUntil([&] { return dlg->windowTitle() == "Sentrel v1.2 - sleeping..."; }, 4000));
        QCOMPARE(List()->item(0)->text(), QString::fromStdString(Row("N", "*ERROR* count: 1")));
        dlg->OnSetup();  // refused while monitoring runs: no sheet opens
        QVERIFY(!QApplication::activeModalWidget());

        QTest::mouseClick(Button("runButton"), Qt::LeftButton);  // STOP
        const std::string before = ReadFileBytes(home_->IniPath());
        // Cancel writes nothing.
        QTimer::singleShot(50, this, [] {
            QWidget* sheet = QApplication::activeModalWidget();
            QVERIFY(sheet && sheet->objectName() == "setupSheet");
            QTest::keyClick(sheet, Qt::Key_Escape);
        });
        QTest::mouseClick(Button("setupButton"), Qt::LeftButton);
        QCOMPARE(ReadFileBytes(home_->IniPath()), before);

        // STOP kept the failure count: the next pass counts on. OK then clears it.
        QTest::mouseClick(Button("runButton"), Qt::LeftButton);
        QVERIFY(WaitUntil(
            [&] { return List()->item(0)->text().toStdString() == Row("N", "*ERROR* count: 2"); },
            4000));
        QTest::mouseClick(Button("runButton"), Qt::LeftButton);  // STOP
        // The pass's last title and redraw need this thread: wait with events running.
        QVERIFY(WaitUntil([] { return WaitForScanPass(std::chrono::milliseconds(0)); }, 5000));
        QCOMPARE(NodeTable::Instance().Get(0).status.failCount, 2);
        QTimer::singleShot(50, this, [] {
            QWidget* sheet = QApplication::activeModalWidget();
            QVERIFY(sheet && sheet->objectName() == "setupSheet");
            QTest::mouseClick(Child<QPushButton>(sheet, "okButton"), Qt::LeftButton);
        });
        QTest::mouseClick(Button("setupButton"), Qt::LeftButton);
        QCOMPARE(List()->item(0)->text(), QString::fromStdString(Row("N", "*unknown*")));
        QCOMPARE(NodeTable::Instance().Get(0).status.failCount, 0);
        QCOMPARE(SectionKeys(ReadFileBytes(home_->IniPath()), "Servers").at("s0title"),
                 std::string("N"));
    }
};

QTEST_MAIN(MainWindowTest)
#include "test_main_window.moc"
