// The third page of the setup sheet: the log file and the report file.
#pragma once

#include <string>

#include "config/settings.h"
#include "ui/setup_page.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace sentrel::ui {

class CReports : public SetupPage {
    Q_OBJECT
  public:
    explicit CReports(QWidget* parent = nullptr);

    void Load(const MonitorSettings& settings);
    void Store(MonitorSettings& settings) const;

    void ShowPage() override;
    bool ReadPage() override;

    // Members, one per control.
    bool Log_Flag = false;
    std::string Log_File_Name;
    bool Success = false;
    bool LogFailures = true;  // shown only: failures are always logged
    bool Report_Flag = false;
    std::string Report_File_Name;
    bool Fmt_Text = false;
    bool Fmt_HTML = false;

  public slots:
    void OnBrowseLog();
    void OnBrowseReport();
    void OnFmtText();
    void OnFmtHtml();

  private:
    // A Browse... button: the page read, the chosen file (if any) into `member`, shown.
    void BrowseInto(std::string& member, const QString& filter, const QString& suffix);
    // A format box clicked: the page read, the other format cleared, shown.
    void ClearOtherFormat(bool& other);

    QCheckBox* logFlag_ = nullptr;
    QLineEdit* logFile_ = nullptr;
    QPushButton* logBrowse_ = nullptr;
    QCheckBox* success_ = nullptr;
    QCheckBox* logFailures_ = nullptr;
    QCheckBox* reportFlag_ = nullptr;
    QLineEdit* reportFile_ = nullptr;
    QPushButton* reportBrowse_ = nullptr;
    QCheckBox* fmtText_ = nullptr;
    QCheckBox* fmtHtml_ = nullptr;
};

}  // namespace sentrel::ui
