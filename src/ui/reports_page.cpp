#include "ui/reports_page.h"

#include <QCheckBox>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/dialogs.h"

namespace sentrel::ui {

namespace {

// The members the page shares with the settings.
template <typename Page, typename Settings, typename Copy>
void EachSetting(Page& page, Settings& s, Copy copy) {
    copy(page.Log_Flag, s.Log_Flag);
    copy(page.Log_File_Name, s.Log_File_Name);
    copy(page.Success, s.Success);
    copy(page.Report_Flag, s.Report_Flag);
    copy(page.Report_File_Name, s.Report_File_Name);
    copy(page.Fmt_Text, s.Fmt_Text);
    copy(page.Fmt_HTML, s.Fmt_HTML);
}

}  // namespace

CReports::CReports(QWidget* parent) : SetupPage(parent) {
    setObjectName(QStringLiteral("reportsPage"));

    logFlag_ = new QCheckBox(QStringLiteral("Enable Logging"), this);
    logFlag_->setObjectName(QStringLiteral("logFlagCheck"));
    auto* logFileLabel = new QLabel(QStringLiteral("To File: "), this);
    logFileLabel->setObjectName(QStringLiteral("logFileLabel"));
    logFile_ = new QLineEdit(this);
    logFile_->setObjectName(QStringLiteral("logFileEdit"));
    logFileLabel->setBuddy(logFile_);
    logBrowse_ = new QPushButton(QStringLiteral("Browse..."), this);
    logBrowse_->setObjectName(QStringLiteral("logBrowseButton"));
    success_ = new QCheckBox(QStringLiteral("Log Successful checks"), this);
    success_->setObjectName(QStringLiteral("successCheck"));
    logFailures_ = new QCheckBox(QStringLiteral("Log Failures"), this);
    logFailures_->setObjectName(QStringLiteral("logFailuresCheck"));
    logFailures_->setEnabled(false);

    reportFlag_ = new QCheckBox(QStringLiteral("Enable Reporting"), this);
    reportFlag_->setObjectName(QStringLiteral("reportFlagCheck"));
    auto* reportFileLabel = new QLabel(QStringLiteral("To File: "), this);
    reportFileLabel->setObjectName(QStringLiteral("reportFileLabel"));
    reportFile_ = new QLineEdit(this);
    reportFile_->setObjectName(QStringLiteral("reportFileEdit"));
    reportFileLabel->setBuddy(reportFile_);
    reportBrowse_ = new QPushButton(QStringLiteral("Browse..."), this);
    reportBrowse_->setObjectName(QStringLiteral("reportBrowseButton"));

    auto* format = new QGroupBox(QStringLiteral("Format of Report "), this);
    format->setObjectName(QStringLiteral("formatGroup"));
    fmtText_ = new QCheckBox(QStringLiteral("Text"), format);
    fmtText_->setObjectName(QStringLiteral("fmtTextCheck"));
    fmtHtml_ = new QCheckBox(QStringLiteral("HTML"), format);
    fmtHtml_->setObjectName(QStringLiteral("fmtHtmlCheck"));
    auto* formatLayout = new QHBoxLayout(format);
    formatLayout->addWidget(fmtText_);
    formatLayout->addWidget(fmtHtml_);
    formatLayout->addStretch(1);

    for (QPushButton* button : {logBrowse_, reportBrowse_}) {
        button->setAutoDefault(false);
    }
    connect(logBrowse_, &QPushButton::clicked, this, &CReports::OnBrowseLog);
    connect(reportBrowse_, &QPushButton::clicked, this, &CReports::OnBrowseReport);
    connect(fmtText_, &QCheckBox::clicked, this, &CReports::OnFmtText);
    connect(fmtHtml_, &QCheckBox::clicked, this, &CReports::OnFmtHtml);

    constexpr int kIndent = 24;
    auto* logBlock = new QGridLayout;
    logBlock->setColumnMinimumWidth(0, kIndent);
    logBlock->addWidget(logFileLabel, 0, 1);
    logBlock->addWidget(logFile_, 0, 2);
    logBlock->addWidget(logBrowse_, 0, 3);
    logBlock->addWidget(success_, 1, 1, 1, 2);
    logBlock->addWidget(logFailures_, 2, 1, 1, 2);
    logBlock->setColumnStretch(2, 1);

    auto* reportBlock = new QGridLayout;
    reportBlock->setColumnMinimumWidth(0, kIndent);
    reportBlock->addWidget(reportFileLabel, 0, 1);
    reportBlock->addWidget(reportFile_, 0, 2);
    reportBlock->addWidget(reportBrowse_, 0, 3);
    reportBlock->setColumnStretch(2, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(logFlag_);
    layout->addLayout(logBlock);
    layout->addWidget(reportFlag_);
    layout->addLayout(reportBlock);
    layout->addWidget(format);
    layout->addStretch(1);
}

void CReports::Load(const MonitorSettings& settings) {
    EachSetting(*this, settings, kLoadSetting);
}

void CReports::Store(MonitorSettings& settings) const {
    EachSetting(*this, settings, kStoreSetting);
}

void CReports::ShowPage() {
    PutCheck(logFlag_, Log_Flag);
    PutText(logFile_, Log_File_Name);
    PutCheck(success_, Success);
    PutCheck(logFailures_, LogFailures);
    PutCheck(reportFlag_, Report_Flag);
    PutText(reportFile_, Report_File_Name);
    PutCheck(fmtText_, Fmt_Text);
    PutCheck(fmtHtml_, Fmt_HTML);
}

bool CReports::ReadPage() {
    Log_Flag = GetCheck(logFlag_);
    Success = GetCheck(success_);
    LogFailures = GetCheck(logFailures_);
    Report_Flag = GetCheck(reportFlag_);
    Fmt_Text = GetCheck(fmtText_);
    Fmt_HTML = GetCheck(fmtHtml_);
    // No input limits here, so reading never fails.
    return GetText(logFile_, Log_File_Name) && GetText(reportFile_, Report_File_Name);
}

void CReports::OnBrowseLog() {
    BrowseInto(Log_File_Name, QStringLiteral("Log Files (*.log)"), QStringLiteral("log"));
}

void CReports::OnBrowseReport() {
    BrowseInto(Report_File_Name, QStringLiteral("Report Files (*.rpt)"), QStringLiteral("rpt"));
}

// Text and HTML exclude each other; both may be clear.
void CReports::OnFmtText() {
    ClearOtherFormat(Fmt_HTML);
}

void CReports::OnFmtHtml() {
    ClearOtherFormat(Fmt_Text);
}

void CReports::BrowseInto(std::string& member, const QString& filter, const QString& suffix) {
    ReadPage();
    const QString path = ChooseSetupFile(this, filter, suffix, /*fileMustExist=*/false);
    if (!path.isEmpty()) {
        member = QFile::encodeName(path).toStdString();
    }
    ShowPage();
}

void CReports::ClearOtherFormat(bool& other) {
    ReadPage();
    other = false;
    ShowPage();
}

}  // namespace sentrel::ui
