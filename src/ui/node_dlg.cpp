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

#include "config/settings.h"
#include "ui/setup_page.h"

namespace sentrel::ui {

namespace {

QLineEdit* Field(QWidget* parent, const char* name, int limit) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setMaxLength(limit);
    return edit;
}

}  // namespace

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
    type_->addButton(ping_, PING);
    auto* typeRow = new QHBoxLayout;
    typeRow->addWidget(httpd_);
    typeRow->addWidget(ping_);
    for (const std::int32_t kind : {TCP, HTTPS, DNS}) {
        const QString name = QString::fromLatin1(ProbeKindName(kind));
        auto* button = new QRadioButton(name, this);
        button->setObjectName(name.toLower() + QStringLiteral("Radio"));
        type_->addButton(button, kind);
        typeRow->addWidget(button);
    }
    typeRow->addStretch(1);
    connect(type_, &QButtonGroup::idClicked, this, [this] { ShowKindFields(); });
    path_ = Field(this, "pathEdit", kPathLimit);
    expect_ = Field(this, "expectEdit", kExpectLimit);
    query_ = Field(this, "queryEdit", kQueryLimit);
    qtype_ = Field(this, "qtypeEdit", kQtypeLimit);

    auto* form = new QFormLayout;
    form_ = form;
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
    form->addRow(label("Path (HTTPS):", "pathLabel", path_), path_);
    form->addRow(label("Query name (DNS):", "queryLabel", query_), query_);
    form->addRow(label("Record type, A or AAAA (DNS):", "qtypeLabel", qtype_), qtype_);
    form->addRow(
        label("Word on the page, or address in the answer (optional):", "expectLabel", expect_),
        expect_);

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
    PutFieldText(path_, Path, kPathLimit);
    PutFieldText(expect_, Expect, kExpectLimit);
    PutFieldText(query_, Query, kQueryLimit);
    PutFieldText(qtype_, Qtype, kQtypeLimit);
    // A type of no kind's button (probed as PING) sets none, and keeps its number.
    type_->setExclusive(false);
    for (QAbstractButton* button : type_->buttons()) {
        button->setChecked(type_->id(button) == ProbeType);
    }
    type_->setExclusive(true);
    ShowKindFields();
}

// The port stays as it is: a PING node keeps whatever port it carries. Hidden
// fields keep their text too.
void CNodeDlg::ShowKindFields() {
    const int checked = type_->checkedId();
    const std::int32_t kind = ProbeKind(checked >= 0 ? checked : ProbeType);
    port_->setEnabled(kind != PING);
    form_->setRowVisible(path_, kind == HTTPS);
    form_->setRowVisible(expect_, kind == HTTPS || kind == DNS);
    form_->setRowVisible(query_, kind == DNS);
    form_->setRowVisible(qtype_, kind == DNS);
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
    std::string extra[4];
    QLineEdit* const fields[4] = {path_, expect_, query_, qtype_};
    const int limits[4] = {kPathLimit, kExpectLimit, kQueryLimit, kQtypeLimit};
    for (int i = 0; i < 4; ++i) {
        if (!TakeFieldText(this, fields[i], extra[i], limits[i])) {
            fields[i]->setFocus();
            return;
        }
    }
    Address = address;
    Title = title;
    Port = port;
    if (type_->checkedId() >= 0) {
        ProbeType = type_->checkedId();
    }
    Path = extra[0];
    Expect = extra[1];
    Query = extra[2];
    Qtype = extra[3];
    QDialog::accept();
}

}  // namespace sentrel::ui
