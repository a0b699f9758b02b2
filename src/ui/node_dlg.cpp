#include "ui/node_dlg.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "ui/setup_page.h"

namespace sentrel::ui {

CNodeDlg::CNodeDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("nodeDialog"));
    setWindowTitle(QStringLiteral("Server / Node Setup"));
    setModal(true);

    mode_ = new QLabel(this);
    mode_->setObjectName(QStringLiteral("modeLabel"));
    mode_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

    address_ = new QLineEdit(this);
    address_->setObjectName(QStringLiteral("addressEdit"));
    address_->setMaxLength(kAddressLimit);
    title_ = new QLineEdit(this);
    title_->setObjectName(QStringLiteral("titleEdit"));
    title_->setMaxLength(kTitleLimit);
    port_ = new QLineEdit(this);
    port_->setObjectName(QStringLiteral("portEdit"));
    port_->setMaxLength(kPortLimit);

    httpd_ = new QRadioButton(QStringLiteral("HTTPD"), this);
    httpd_->setObjectName(QStringLiteral("httpdRadio"));
    ping_ = new QRadioButton(QStringLiteral("PING"), this);
    ping_->setObjectName(QStringLiteral("pingRadio"));
    type_ = new QButtonGroup(this);
    type_->setObjectName(QStringLiteral("typeGroup"));
    type_->addButton(httpd_, 0);
    type_->addButton(ping_, 1);
    connect(httpd_, &QRadioButton::clicked, this, &CNodeDlg::OnHttpd);
    connect(ping_, &QRadioButton::clicked, this, &CNodeDlg::OnPing);

    auto* typeRow = new QHBoxLayout;
    typeRow->addWidget(httpd_);
    typeRow->addWidget(ping_);
    typeRow->addStretch(1);

    auto* form = new QFormLayout;
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    const auto label = [this](const char* text, const char* name, QWidget* buddy) {
        auto* l = new QLabel(QString::fromLatin1(text), this);
        l->setObjectName(QString::fromLatin1(name));
        l->setBuddy(buddy);
        return l;
    };
    form->addRow(label("Site, Node Name, or IP address: ", "addressLabel", address_), address_);
    form->addRow(label("Reporting / Reference Title:", "titleLabel", title_), title_);
    form->addRow(label("Type of testing to perform:", "typeLabel", httpd_), typeRow);
    form->addRow(label("IP Port (optional) :", "portLabel", port_), port_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("nodeButtons"));
    buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("okButton"));
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancelButton"));
    connect(buttons, &QDialogButtonBox::accepted, this, &CNodeDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CNodeDlg::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(mode_);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

int CNodeDlg::exec() {
    ShowValues();
    return QDialog::exec();
}

void CNodeDlg::ShowValues() {
    mode_->setText(DisplayText(Mode));
    PutFieldText(address_, Address, kAddressLimit);
    PutFieldText(title_, Title, kTitleLimit);
    PutFieldText(port_, Port, kPortLimit);
    // A type other than HTTPD or PING sets neither button.
    type_->setExclusive(false);
    httpd_->setChecked(ProbeType == 0);
    ping_->setChecked(ProbeType == 1);
    type_->setExclusive(true);
    port_->setEnabled(ProbeType != 1);
}

void CNodeDlg::OnHttpd() {
    port_->setEnabled(true);
}

// The port stays as it is: a PING node keeps whatever port it carries.
void CNodeDlg::OnPing() {
    port_->setEnabled(false);
}

void CNodeDlg::accept() {
    std::string address;
    std::string title;
    std::string port;
    if (!TakeFieldText(this, address_, address, kAddressLimit)) {
        address_->setFocus();
        return;
    }
    if (!TakeFieldText(this, title_, title, kTitleLimit)) {
        title_->setFocus();
        return;
    }
    if (!TakeFieldText(this, port_, port, kPortLimit)) {
        port_->setFocus();
        return;
    }
    Address = address;
    Title = title;
    Port = port;
    ProbeType = ping_->isChecked() ? 1 : 0;
    QDialog::accept();
}

}  // namespace sentrel::ui
