#include "ui/setup_sheet.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "config/node_table.h"
#include "engine/scan_pass.h"
#include "ui/alerts_page.h"
#include "ui/dialogs.h"
#include "ui/general_page.h"
#include "ui/help_window.h"
#include "ui/qt_scan_window.h"
#include "ui/reports_page.h"
#include "ui/servers_page.h"

namespace sentrel::ui {

namespace {

constexpr const char* kMsgPassStillRunning =
    "The scan that was stopped has not finished its node yet. Press OK again in a moment.";

}  // namespace

CSetup::CSetup(QWidget* parent, const MonitorSettings& settings)
    : QDialog(parent), original_(settings) {
    setObjectName(QStringLiteral("setupSheet"));
    setWindowTitle(QStringLiteral("Setup"));
    setModal(true);

    general_ = new CGeneral;
    servers_ = new CSERVERS;
    reports_ = new CReports;
    alerts_ = new CAlerts;
    general_->Load(settings);
    servers_->Load(settings);
    reports_->Load(settings);
    alerts_->Load(settings);

    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("setupTabs"));
    tabs_->addTab(general_, QStringLiteral("General"));
    tabs_->addTab(servers_, QStringLiteral("SERVERS/NODES to monitor"));
    tabs_->addTab(reports_, QStringLiteral("Reporting"));
    tabs_->addTab(alerts_, QStringLiteral("Alerts"));
    tabs_->setCurrentIndex(0);

    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                                        QDialogButtonBox::Apply | QDialogButtonBox::Help,
                                    this);
    buttons_->setObjectName(QStringLiteral("setupButtons"));
    buttons_->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("okButton"));
    buttons_->button(QDialogButtonBox::Ok)->setDefault(true);
    buttons_->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancelButton"));
    // No page ever reports a change, so Apply never becomes available.
    buttons_->button(QDialogButtonBox::Apply)->setObjectName(QStringLiteral("applyButton"));
    buttons_->button(QDialogButtonBox::Apply)->setEnabled(false);
    buttons_->button(QDialogButtonBox::Help)->setObjectName(QStringLiteral("helpButton"));
    connect(buttons_, &QDialogButtonBox::accepted, this, &CSetup::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &CSetup::reject);
    connect(buttons_, &QDialogButtonBox::helpRequested, this, &CSetup::OnHelp);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons_);

    shown_ = 0;
    general_->OnSetActive();
    connect(tabs_, &QTabWidget::currentChanged, this, &CSetup::OnTabChanged);
}

CSetup::~CSetup() = default;

SetupPage* CSetup::PageAt(int index) const {
    switch (index) {
        case 0:
            return general_;
        case 1:
            return servers_;
        case 2:
            return reports_;
        case 3:
            return alerts_;
        default:
            return nullptr;
    }
}

void CSetup::OnTabChanged(int index) {
    if (index == shown_) {
        return;
    }
    SetupPage* leaving = PageAt(shown_);
    if (leaving && !leaving->OnKillActive()) {
        // Refused: back to the page that holds the field too long.
        const QSignalBlocker block(tabs_);
        tabs_->setCurrentIndex(shown_);
        leaving->FocusRefusedField();
        return;
    }
    shown_ = index;
    if (SetupPage* page = PageAt(index)) {
        page->OnSetActive();
    }
}

void CSetup::accept() {
    SetupPage* page = PageAt(shown_);
    if (page && !page->OnKillActive()) {
        page->FocusRefusedField();
        return;
    }
    // A pass stopped just before the sheet opened may still be finishing its
    // node; the node table is reloaded only once it has, so that node's result
    // cannot land on the node that takes its slot.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    buttons_->setEnabled(false);  // no Cancel nor second OK while it waits
    const bool passEnded = WaitForPassWhileServing(kPassEndLimit);
    buttons_->setEnabled(true);
    QApplication::restoreOverrideCursor();
    if (!passEnded) {
        ShowMessageBox(this, QString::fromLatin1(kMsgPassStillRunning),
                       QString::fromLatin1(kAppTitle), MessageIcon::Exclamation,
                       MessageButtons::Ok);
        return;
    }
    QDialog::accept();
}

void CSetup::OnHelp() {
    // The help of the page that is shown.
    static const char* const kTopics[] = {"general", "servers", "reporting", "alerts"};
    const int index = tabs_->currentIndex();
    OpenHelp(this, index >= 0 && index < 4 ? QString::fromLatin1(kTopics[index])
                                           : QStringLiteral("setup"));
}

MonitorSettings CSetup::EditedSettings() const {
    MonitorSettings edited = original_;
    general_->Store(edited);
    servers_->Store(edited);
    reports_->Store(edited);
    alerts_->Store(edited);
    return edited;
}

bool RunSetupSheet(QWidget* parent, MonitorSettings& settings) {
    CSetup sheet(parent, settings);
    if (sheet.exec() != QDialog::Accepted) {
        return false;
    }
    settings = sheet.EditedSettings();
    return true;
}

bool RunSetupAndSave(QWidget* parent) {
    LoadSettings();
    MonitorSettings edited = CurrentSettings();
    if (!RunSetupSheet(parent, edited)) {
        return false;
    }
    SaveSettings(edited);
    ResetNodeTable();
    LoadSettings();
    return true;
}

}  // namespace sentrel::ui
