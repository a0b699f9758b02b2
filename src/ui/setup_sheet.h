// The setup sheet: a modal tabbed dialog through which the operator edits every
// setting. It works on a copy; only OK hands the edited copy back.
#pragma once

#include <QDialog>

#include <array>

#include "config/settings.h"

class QDialogButtonBox;
class QTabWidget;

namespace sentrel::ui {

class SetupPage;
class CGeneral;
class CSERVERS;
class CReports;
class CAlerts;

class CSetup : public QDialog {
    Q_OBJECT
  public:
    // The pages are filled from `settings`; the sheet keeps its own copy of the
    // fields no page edits (Pager_Delay, the COM devices) and hands them back whole.
    CSetup(QWidget* parent, const MonitorSettings& settings);
    ~CSetup() override;

    // The settings as the pages hold them now. Pages never opened give back
    // exactly what they were given.
    MonitorSettings EditedSettings() const;

    CGeneral* General() const { return general_; }
    CSERVERS* Servers() const { return servers_; }
    CReports* Reports() const { return reports_; }
    CAlerts* Alerts() const { return alerts_; }
    QTabWidget* Tabs() const { return tabs_; }

  public slots:
    // OK: the shown page gives up its values first; a refusal keeps the sheet open.
    void accept() override;

  private slots:
    void OnTabChanged(int index);
    void OnHelp();

  private:
    SetupPage* PageAt(int index) const;

    MonitorSettings original_;
    QTabWidget* tabs_ = nullptr;
    QDialogButtonBox* buttons_ = nullptr;
    CGeneral* general_ = nullptr;
    CSERVERS* servers_ = nullptr;
    CReports* reports_ = nullptr;
    CAlerts* alerts_ = nullptr;
    int shown_ = 0;  // index of the page that is shown (and was last set active)
};

// Runs the sheet modally on `settings`. On OK the edited copy is written into
// `settings` and true is returned; Cancel, Esc and the close box leave it alone.
bool RunSetupSheet(QWidget* parent, MonitorSettings& settings);

// The whole Setup... command but the redraw: reads the settings file, runs the
// sheet on a copy and, on OK, saves it, clears the node table and reads the file
// again. Returns true after OK (the caller then redraws its list).
bool RunSetupAndSave(QWidget* parent);

}  // namespace sentrel::ui
