// The setup sheet as a whole: what OK, Cancel, Esc and the close box carry back,
// the length rule of every page, the General page and the caller's save cycle.
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTabBar>
#include <QtTest>

#include "config/settings.h"
#include "engine/node_table.h"
#include "setup_fixtures.h"
#include "setup_test_util.h"
#include "support/temp_dir.h"
#include "ui/dialogs.h"
#include "ui/help_window.h"
#include "ui/node_dlg.h"
#include "ui/setup_sheet.h"

using namespace sentrel;
using namespace sentrel::testing;
using sentrel::ui::CNodeDlg;
using sentrel::ui::CSetup;

namespace {

void ClickTab(CSetup* sheet, int index) {
    QTabBar* bar = sheet->Tabs()->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
}

QPushButton* SheetButton(CSetup* sheet, const char* name) {
    return Find<QPushButton>(sheet, name);
}

// Writes the settings as the program would, adds the hand-edited keys the
// program never writes, and gives back the file's bytes.
std::string PrepareFile(const ConfigHomeGuard& home, const MonitorSettings& s) {
    if (!SaveSettings(s)) {
        return {};
    }
    std::string bytes = ReadFileBytes(home.IniPath());
    const std::string eol = bytes.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    const std::string header = "[Alerts]" + eol;
    const auto at = bytes.find(header);
    if (at == std::string::npos) {
        return {};
    }
    bytes.insert(at + header.size(), "Pager_Delay=9" + eol + "Com_1_Device=/dev/ttyUSB0" + eol);
    bytes += "[Screen]" + eol + "Left=10" + eol;
    WriteFileBytes(home.IniPath(), bytes);
    return bytes;
}

}  // namespace

class SetupSheetTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() { ui::SetDialogTestModeForTesting(true); }
    void init() { ui::ClearDialogTestStateForTesting(); }
    void cleanup() {
        CheckDialogsSettled();
        ResetSettingsForTesting();
    }

    void sheetHasFourTabsAndItsButtons() {
        CSetup sheet(nullptr, MonitorSettings{});
        sheet.show();
        QCOMPARE(sheet.windowTitle(), QStringLiteral("Setup"));
        QTabWidget* tabs = sheet.Tabs();
        QCOMPARE(tabs->count(), 4);
        QCOMPARE(tabs->tabText(0), QStringLiteral("General"));
        QCOMPARE(tabs->tabText(1), QStringLiteral("SERVERS/NODES to monitor"));
        QCOMPARE(tabs->tabText(2), QStringLiteral("Reporting"));
        QCOMPARE(tabs->tabText(3), QStringLiteral("Alerts"));
        QCOMPARE(tabs->currentIndex(), 0);
        QVERIFY(!SheetButton(&sheet, "applyButton")->isEnabled());
        for (int i : {1, 2, 3, 0}) {
            ClickTab(&sheet, i);
            QCOMPARE(tabs->currentIndex(), i);
            QVERIFY(!SheetButton(&sheet, "applyButton")->isEnabled());
        }

        // Help opens the bundled help beside the sheet.
        ClickTab(&sheet, 1);
        Click(SheetButton(&sheet, "helpButton"));
        QVERIFY(ui::CurrentHelpWindow() != nullptr);
        QVERIFY(ui::CurrentHelpWindow()->isVisible());
        ui::CurrentHelpWindow()->close();
    }

    void okRightAfterOpeningKeepsTheFileByteForByte() {
        ConfigHomeGuard home;
        const std::string before = PrepareFile(home, FullSettings());
        QVERIFY(!before.empty());
        LoadSettings();
        QCOMPARE(CurrentSettings().Pager_Delay, 9);
        QCOMPARE(CurrentSettings().NodeList[99].address, std::string("node99.example"));

        // Once with no page opened, once after a visit to every page.
        for (bool visit : {false, true}) {
            ModalWatchdog watchdog;
            WhenShown<CSetup>([visit](CSetup* sheet) {
                if (visit) {
                    for (int i : {1, 2, 3, 0, 3}) {
                        ClickTab(sheet, i);
                    }
                }
                Click(SheetButton(sheet, "okButton"));
            });
            QVERIFY(ui::RunSetupAndSave(nullptr));
            QVERIFY(!watchdog.fired());
            QCOMPARE(ReadFileBytes(home.IniPath()), before);
        }
    }

    void okGivesBackEveryFieldOfTheCopy() {
        const MonitorSettings given = FullSettings();
        for (bool visit : {false, true}) {
            MonitorSettings settings = given;
            ModalWatchdog watchdog;
            WhenShown<CSetup>([visit](CSetup* sheet) {
                if (visit) {
                    for (int i : {1, 2, 3}) {
                        ClickTab(sheet, i);
                    }
                }
                Click(SheetButton(sheet, "okButton"));
            });
            QVERIFY(ui::RunSetupSheet(nullptr, settings));
            QVERIFY(settings == given);
        }
        // Free slots that still carry a port or title come back as they were.
        MonitorSettings sparse;
        sparse.NodeList[0] = {"a.example", "", "", PING};
        sparse.NodeList[1] = {"", "81", "left over", PING};
        sparse.NodeList[5] = {"beyond.example", "", "", HTTPD};
        MonitorSettings settings = sparse;
        WhenShown<CSetup>([](CSetup* sheet) {
            ClickTab(sheet, 1);
            Click(SheetButton(sheet, "okButton"));
        });
        QVERIFY(ui::RunSetupSheet(nullptr, settings));
        QVERIFY(settings == sparse);
    }

    void cancelEscAndCloseTakeNothingBack() {
        ConfigHomeGuard home;
        const std::string before = PrepareFile(home, FullSettings());
        QVERIFY(!before.empty());
        LoadSettings();
        const MonitorSettings loaded = CurrentSettings();

        for (int closer = 0; closer < 3; ++closer) {
            ModalWatchdog watchdog;
            WhenShown<CSetup>([closer](CSetup* sheet) {
                TypeInto(Find<QLineEdit>(sheet, "secsEdit"), QStringLiteral("5"));
                Click(Find<QCheckBox>(sheet, "autoStartCheck"));
                ClickTab(sheet, 1);
                auto* list = Find<QListWidget>(sheet, "nodeList");
                list->setCurrentRow(0);
                ui::QueueMessageAnswerForTesting(MessageAnswer::Yes);
                Click(Find<QPushButton>(sheet, "deleteButton"));
                ClickTab(sheet, 2);
                Click(Find<QCheckBox>(sheet, "fmtTextCheck"));
                TypeInto(Find<QLineEdit>(sheet, "logFileEdit"), QStringLiteral("/tmp/other.log"));
                ClickTab(sheet, 3);
                TypeInto(Find<QLineEdit>(sheet, "pagerPhoneEdit"), QStringLiteral("999"));
                Click(Find<QCheckBox>(sheet, "com1Check"));
                if (closer == 0) {
                    Click(SheetButton(sheet, "cancelButton"));
                } else if (closer == 1) {
                    QTest::keyClick(sheet, Qt::Key_Escape);
                } else {
                    sheet->close();
                }
            });
            QVERIFY(!ui::RunSetupAndSave(nullptr));
            QVERIFY(!watchdog.fired());
            QCOMPARE(ReadFileBytes(home.IniPath()), before);
            QVERIFY(CurrentSettings() == loaded);
        }
        QCOMPARE(ui::ShownMessagesForTesting().size(), 3);  // the three "Are you sure?"
    }

    void valuesAtTheirLimitsComeBackWhole() {
        ConfigHomeGuard home;
        LoadSettings();
        const QString address(49, u'a');
        const QString title = QStringLiteral("T") + QString(48, u'x');
        const QString phone(40, u'7');
        const QString message = QStringLiteral("1234567890").repeated(4);

        ModalWatchdog watchdog;
        WhenShown<CSetup>([&](CSetup* sheet) {
            TypeInto(Find<QLineEdit>(sheet, "secsEdit"), QStringLiteral("3600"));
            TypeInto(Find<QLineEdit>(sheet, "maxSecsEdit"), QStringLiteral("9999"));
            ClickTab(sheet, 1);
            WhenShown<CNodeDlg>([&](CNodeDlg* dialog) {
                TypeInto(Find<QLineEdit>(dialog, "addressEdit"), address + QStringLiteral("zz"));
                TypeInto(Find<QLineEdit>(dialog, "titleEdit"), title + QStringLiteral("zz"));
                TypeInto(Find<QLineEdit>(dialog, "portEdit"), QStringLiteral("100001"));
                Click(Find<QPushButton>(dialog, "okButton"));
            });
            Click(Find<QPushButton>(sheet, "addButton"));
            ClickTab(sheet, 3);
            TypeInto(Find<QLineEdit>(sheet, "pagerPhoneEdit"), phone + QStringLiteral("8"));
            TypeInto(Find<QLineEdit>(sheet, "pagerMessageEdit"), message + QStringLiteral("9"));
            TypeInto(Find<QLineEdit>(sheet, "maxAlarmsEdit"), QStringLiteral("1234"));
            Click(SheetButton(sheet, "okButton"));
        });
        QVERIFY(ui::RunSetupAndSave(nullptr));
        QVERIFY(!watchdog.fired());

        // Typing stopped at each limit; the reload gives every value whole.
        const MonitorSettings s = CurrentSettings();
        QCOMPARE(s.Secs, std::string("3600"));
        QCOMPARE(s.MAXSecs, std::string("9999"));
        QCOMPARE(QString::fromStdString(s.NodeList[0].address), address);
        QCOMPARE(QString::fromStdString(s.NodeList[0].title), title);
        QCOMPARE(s.NodeList[0].port, std::string("10000"));
        QCOMPARE(QString::fromStdString(s.Pager_Phone), phone);
        QCOMPARE(QString::fromStdString(s.Pager_Message), message);
        QCOMPARE(s.Max_Alarms, std::string("123"));
        QCOMPARE(NodeTable::Instance().Get(0).node.port, std::string("10000"));

        // Opened again, the sheet shows them.
        WhenShown<CSetup>([](CSetup* sheet) {
            QCOMPARE(Find<QLineEdit>(sheet, "secsEdit")->text(), QStringLiteral("3600"));
            Click(SheetButton(sheet, "cancelButton"));
        });
        QVERIFY(!ui::RunSetupAndSave(nullptr));
    }

    void longAlertsTextsAreSavedWholeAndReadBackCut() {
        ConfigHomeGuard home;
        LoadSettings();
        const QString server = QStringLiteral("smtp.") + QString(55, u's');
        const QString command = QStringLiteral("echo ") + QString(95, u'c');
        ModalWatchdog watchdog;
        WhenShown<CSetup>([&](CSetup* sheet) {
            ClickTab(sheet, 3);
            TypeInto(Find<QLineEdit>(sheet, "numFailsEdit"), QStringLiteral("12345"));
            TypeInto(Find<QLineEdit>(sheet, "emailSmtpEdit"), server);
            TypeInto(Find<QLineEdit>(sheet, "commandLineEdit"), command);
            Click(SheetButton(sheet, "okButton"));
        });
        QVERIFY(ui::RunSetupAndSave(nullptr));
        QVERIFY(!watchdog.fired());
        const std::string file = ReadFileBytes(home.IniPath());
        QVERIFY(file.find("Num_Fails=12345") != std::string::npos);
        QVERIFY(file.find(server.toStdString()) != std::string::npos);
        QVERIFY(file.find(command.toStdString()) != std::string::npos);
        const MonitorSettings s = CurrentSettings();
        QCOMPARE(s.Num_Fails, std::string("123"));
        QCOMPARE(s.Email_SMTP, server.left(39).toStdString());
        QCOMPARE(s.Command_Line, command.left(39).toStdString());
    }

    void aFieldBeyondItsLimitHoldsTheSheet() {
        // Only a value that never came through typing can be too long.
        MonitorSettings settings;
        settings.Secs = "123456";
        settings.Max_Alarms = "10";
        ModalWatchdog watchdog;
        WhenShown<CSetup>([](CSetup* sheet) {
            ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
            ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
            auto* secs = Find<QLineEdit>(sheet, "secsEdit");
            QCOMPARE(secs->text(), QStringLiteral("123456"));  // shown whole, not cut
            ClickTab(sheet, 2);
            QCOMPARE(sheet->Tabs()->currentIndex(), 0);
            QCOMPARE(sheet->focusWidget(), secs);
            Click(SheetButton(sheet, "okButton"));
            QVERIFY(sheet->isVisible());
            TypeInto(secs, QStringLiteral("12"));
            ClickTab(sheet, 3);
            QCOMPARE(sheet->Tabs()->currentIndex(), 3);
            Click(SheetButton(sheet, "okButton"));
        });
        QVERIFY(ui::RunSetupSheet(nullptr, settings));
        QVERIFY(!watchdog.fired());
        QCOMPARE(settings.Secs, std::string("12"));
        const auto shown = ui::ShownMessagesForTesting();
        QCOMPARE(shown.size(), 2);
        for (const auto& m : shown) {
            QCOMPARE(m.text, QStringLiteral("Please enter no more than 4 characters."));
            QCOMPARE(m.caption, QStringLiteral("sentrel"));
            QCOMPARE(m.icon, MessageIcon::Exclamation);
            QCOMPARE(m.buttons, MessageButtons::Ok);
        }
    }

    void generalPageTakesWhatItsFieldsAllow() {
        MonitorSettings settings;
        settings.Secs = "60";
        settings.MAXSecs = "60";
        WhenShown<CSetup>([](CSetup* sheet) {
            QCOMPARE(Find<QCheckBox>(sheet, "autoStartCheck")->text(),
                     QStringLiteral("Automatically begin monitoring on startup."));
            QVERIFY(Find<QWidget>(sheet, "otherOptionsGroup"));
            TypeInto(Find<QLineEdit>(sheet, "secsEdit"), QStringLiteral("abc"));
            TypeInto(Find<QLineEdit>(sheet, "maxSecsEdit"), QStringLiteral("1a2-b 3"));
            Click(Find<QCheckBox>(sheet, "autoStartCheck"));
            Click(SheetButton(sheet, "okButton"));
        });
        QVERIFY(ui::RunSetupSheet(nullptr, settings));
        QCOMPARE(settings.Secs, std::string("abc"));     // any character for the interval
        QCOMPARE(settings.MAXSecs, std::string("123"));  // digits only for the wait
        QVERIFY(settings.AutoStart);
        QVERIFY(ui::ShownMessagesForTesting().isEmpty());
    }

    void nonUtf8TextsSurviveAVisit() {
        MonitorSettings settings;
        settings.Wave_File = "/sounds/al\xe9rte.wav";  // a single-byte name
        settings.Secs = "6\xb0";
        const MonitorSettings given = settings;
        WhenShown<CSetup>([](CSetup* sheet) {
            ClickTab(sheet, 3);
            Click(SheetButton(sheet, "okButton"));
        });
        QVERIFY(ui::RunSetupSheet(nullptr, settings));
        QVERIFY(settings == given);
    }

    // The seam itself, unanswered: the real message box and file chooser.
    void seamShowsRealMessageBoxesAndChoosers() {
        ui::SetDialogTestModeForTesting(false);
        ModalWatchdog watchdog(10000);
        WhenShown<QMessageBox>([](QMessageBox* box) {
            QCOMPARE(box->windowTitle(), QStringLiteral("Pager Test Invoked"));
            QCOMPARE(box->text(), QStringLiteral("Ready?"));
            QCOMPARE(box->icon(), QMessageBox::NoIcon);
            QCOMPARE(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
            box->button(QMessageBox::No)->click();
        });
        QCOMPARE(ui::ShowMessageBox(nullptr, QStringLiteral("Ready?"),
                                    QStringLiteral("Pager Test Invoked"), MessageIcon::None,
                                    MessageButtons::YesNo),
                 MessageAnswer::No);
        WhenShown<QMessageBox>([](QMessageBox* box) {
            QCOMPARE(box->icon(), QMessageBox::Critical);
            QCOMPARE(box->standardButtons(), QMessageBox::Ok);
            box->button(QMessageBox::Ok)->click();
        });
        QCOMPARE(ui::ShowMessageBox(nullptr, QStringLiteral("x"), QStringLiteral("Paging Error"),
                                    MessageIcon::Stop),
                 MessageAnswer::Ok);
        WhenShown<QMessageBox>([](QMessageBox* box) {
            QCOMPARE(box->icon(), QMessageBox::Warning);
            box->button(QMessageBox::Ok)->click();
        });
        ui::ShowMessageBox(nullptr, QStringLiteral("y"), QStringLiteral("*Error*"),
                           MessageIcon::Exclamation);

        TempDir dir;
        WriteFileBytes(dir.File("old.log"), "x");
        ui::SaveFileRequest request;
        request.filters = {QStringLiteral("Log Files (*.log)"), QStringLiteral("All Files (*.*)")};
        request.defaultSuffix = QStringLiteral("log");
        WhenShown<QFileDialog>([&](QFileDialog* chooser) {
            QCOMPARE(chooser->acceptMode(), QFileDialog::AcceptSave);
            QCOMPARE(chooser->fileMode(), QFileDialog::AnyFile);
            QVERIFY(chooser->testOption(QFileDialog::DontConfirmOverwrite));
            QCOMPARE(chooser->nameFilters(), request.filters);
            QCOMPARE(chooser->selectedNameFilter(), request.filters.first());
            chooser->setDirectory(QString::fromStdString(dir.path()));
            QTest::qWait(300);
            auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            QVERIFY(name);
            name->setText(QStringLiteral("typed"));
            static_cast<QDialog*>(chooser)->accept();
        });
        QCOMPARE(ui::ChooseSaveFile(nullptr, request),
                 QString::fromStdString(dir.File("typed.log")));
        // An existing file is taken without a question about replacing it.
        WhenShown<QFileDialog>([&](QFileDialog* chooser) {
            // Let the chooser list the directory before the name goes in.
            chooser->setDirectory(QString::fromStdString(dir.path()));
            QTest::qWait(300);
            auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            QVERIFY(name);
            name->setText(QStringLiteral("old.log"));
            static_cast<QDialog*>(chooser)->accept();
        });
        QCOMPARE(ui::ChooseSaveFile(nullptr, request), QString::fromStdString(dir.File("old.log")));
        request.fileMustExist = true;
        WhenShown<QFileDialog>([](QFileDialog* chooser) {
            QCOMPARE(chooser->fileMode(), QFileDialog::ExistingFile);
            chooser->reject();
        });
        QVERIFY(ui::ChooseSaveFile(nullptr, request).isEmpty());
        ui::SetDialogTestModeForTesting(true);
        QVERIFY(!watchdog.fired());
    }
};

QTEST_MAIN(SetupSheetTest)
#include "test_setup_sheet.moc"
