// The Reporting page: the format boxes, the greyed "Log Failures" and the file
// choosers with their default extensions.
#include <QPushButton>
#include <QtTest>

#include "config/settings.h"
#include "setup_test_util.h"
#include "support/temp_dir.h"
#include "ui/dialogs.h"
#include "ui/reports_page.h"
#include "ui/setup_sheet.h"

using namespace sentrel;
using namespace sentrel::testing;
using sentrel::ui::CReports;
using sentrel::ui::CSetup;

namespace {

std::pair<bool, bool> Formats(CReports* page) {
    return {Find<QCheckBox>(page, "fmtTextCheck")->isChecked(),
            Find<QCheckBox>(page, "fmtHtmlCheck")->isChecked()};
}

}  // namespace

class ReportsPageTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() { ui::SetDialogTestModeForTesting(true); }
    void init() { ui::ClearDialogTestStateForTesting(); }
    void cleanup() {
        CheckDialogsSettled();
        ResetSettingsForTesting();
    }

    void textAndHtmlExcludeEachOtherAndMayBothBeClear() {
        MonitorSettings s;
        s.Fmt_HTML = true;
        auto page = ShownPage<CReports>(s);
        auto* text = Find<QCheckBox>(page.get(), "fmtTextCheck");
        auto* html = Find<QCheckBox>(page.get(), "fmtHtmlCheck");
        QCOMPARE(Formats(page.get()), std::make_pair(false, true));
        Click(text);
        QCOMPARE(Formats(page.get()), std::make_pair(true, false));
        Click(text);
        QCOMPARE(Formats(page.get()), std::make_pair(false, false));
        Click(html);
        QCOMPARE(Formats(page.get()), std::make_pair(false, true));
        Click(text);
        QCOMPARE(Formats(page.get()), std::make_pair(true, false));
        QVERIFY(page->ReadPage());
        QVERIFY(page->Fmt_Text && !page->Fmt_HTML);
    }

    void bothClearIsSavedAndReadBackAsText() {
        ConfigHomeGuard home;
        MonitorSettings s;
        s.Fmt_Text = true;
        s.Fmt_HTML = true;  // as a hand-edited file may have it
        QVERIFY(SaveSettings(s));
        WriteFileBytes(home.IniPath(), ReadFileBytes(home.IniPath()) + "[Reports]\r\n");
        LoadSettings();
        QVERIFY(CurrentSettings().Fmt_Text && !CurrentSettings().Fmt_HTML);

        ModalWatchdog watchdog;
        WhenShown<CSetup>([](CSetup* sheet) {
            sheet->Tabs()->setCurrentIndex(2);
            auto* text = Find<QCheckBox>(sheet, "fmtTextCheck");
            QVERIFY(text->isChecked());
            QVERIFY(!Find<QCheckBox>(sheet, "fmtHtmlCheck")->isChecked());
            Click(text);
            Find<QPushButton>(sheet, "okButton")->click();
        });
        QVERIFY(ui::RunSetupAndSave(nullptr));
        QVERIFY(!watchdog.fired());
        const QString file = QString::fromStdString(ReadFileBytes(home.IniPath()));
        QVERIFY(file.contains(QStringLiteral("Fmt_Text=0")));
        QVERIFY(file.contains(QStringLiteral("Fmt_Html=0"), Qt::CaseInsensitive));
        QVERIFY(CurrentSettings().Fmt_Text);

        WhenShown<CSetup>([](CSetup* sheet) {
            sheet->Tabs()->setCurrentIndex(2);
            QVERIFY(Find<QCheckBox>(sheet, "fmtTextCheck")->isChecked());
            Find<QPushButton>(sheet, "cancelButton")->click();
        });
        QVERIFY(!ui::RunSetupAndSave(nullptr));
    }

    void logFailuresIsGreyedAndTicked() {
        for (bool logging : {false, true}) {
            MonitorSettings s;
            s.Log_Flag = logging;
            s.Success = logging;
            auto page = ShownPage<CReports>(s);
            auto* failures = Find<QCheckBox>(page.get(), "logFailuresCheck");
            QCOMPARE(failures->text(), QStringLiteral("Log Failures"));
            QVERIFY(failures->isChecked());
            QVERIFY(!failures->isEnabled());
            Click(failures);
            QVERIFY(failures->isChecked());
            QCOMPARE(Find<QCheckBox>(page.get(), "logFlagCheck")->isChecked(), logging);
        }
    }

    void choosersAddTheirDefaultExtensions() {
        TempDir dir;
        MonitorSettings s;
        s.Log_File_Name = "/old/monitor.log";
        auto page = ShownPage<CReports>(s);
        auto* logFile = Find<QLineEdit>(page.get(), "logFileEdit");
        auto* reportFile = Find<QLineEdit>(page.get(), "reportFileEdit");
        // An enable box with an empty name is fine.
        Click(Find<QCheckBox>(page.get(), "reportFlagCheck"));
        QVERIFY(Find<QCheckBox>(page.get(), "reportFlagCheck")->isChecked());

        ui::QueueSavePathForTesting(QString::fromStdString(dir.File("typed")));
        Click(Find<QPushButton>(page.get(), "logBrowseButton"));
        QCOMPARE(logFile->text(), QString::fromStdString(dir.File("typed.log")));
        ui::QueueSavePathForTesting(QString::fromStdString(dir.File("status")));
        Click(Find<QPushButton>(page.get(), "reportBrowseButton"));
        QCOMPARE(reportFile->text(), QString::fromStdString(dir.File("status.rpt")));
        ui::QueueSavePathForTesting(QString::fromStdString(dir.File("status.html")));
        Click(Find<QPushButton>(page.get(), "reportBrowseButton"));
        QCOMPARE(reportFile->text(), QString::fromStdString(dir.File("status.html")));
        // A cancelled chooser leaves the field; what was typed before it stays.
        TypeInto(logFile, QStringLiteral("/typed/by/hand.log"));
        ui::QueueSavePathForTesting(QString());
        Click(Find<QPushButton>(page.get(), "logBrowseButton"));
        QCOMPARE(logFile->text(), QStringLiteral("/typed/by/hand.log"));
        QVERIFY(Find<QCheckBox>(page.get(), "reportFlagCheck")->isChecked());

        const auto requests = ui::SaveRequestsForTesting();
        QCOMPARE(requests.size(), 4);
        QCOMPARE(requests[0].filters, (QStringList{QStringLiteral("Log Files (*.log)"),
                                                   QStringLiteral("All Files (*.*)")}));
        QCOMPARE(requests[0].defaultSuffix, QStringLiteral("log"));
        QVERIFY(!requests[0].fileMustExist);
        QCOMPARE(requests[1].filters, (QStringList{QStringLiteral("Report Files (*.rpt)"),
                                                   QStringLiteral("All Files (*.*)")}));
        QCOMPARE(requests[1].defaultSuffix, QStringLiteral("rpt"));

        QVERIFY(page->ReadPage());
        QCOMPARE(page->Log_File_Name, std::string("/typed/by/hand.log"));
        QCOMPARE(page->Report_File_Name, dir.File("status.html"));
        QVERIFY(page->Report_Flag);
    }
};

QTEST_MAIN(ReportsPageTest)
#include "test_setup_reports.moc"
