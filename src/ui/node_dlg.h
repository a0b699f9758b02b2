// The node dialog: adds or changes one monitored node.
#pragma once

#include <QDialog>

#include <cstdint>
#include <string>

#include "config/settings_keys.h"

class QButtonGroup;
class QFormLayout;
class QLabel;
class QLineEdit;
class QRadioButton;

namespace sentrel::ui {

class CNodeDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kAddressLimit = keys::NodeAddress.fieldLimit;
    static constexpr int kTitleLimit = keys::NodeTitle.fieldLimit;
    static constexpr int kPortLimit = keys::NodePort.fieldLimit;
    static constexpr int kPathLimit = keys::NodePath.fieldLimit;
    static constexpr int kExpectLimit = keys::NodeExpect.fieldLimit;
    static constexpr int kQueryLimit = keys::NodeQuery.fieldLimit;
    static constexpr int kQtypeLimit = keys::NodeQtype.fieldLimit;

    explicit CNodeDlg(QWidget* parent = nullptr);

    // Set by the caller before exec(); read back after it ends with OK.
    std::string Mode;  // "Add" or "Edit"
    std::string Address;
    std::string Port;
    std::string Title;
    std::int32_t ProbeType = 0;
    // The keys of the other kinds: kept as given whatever the kind.
    std::string Path;
    std::string Expect;
    std::string Query;
    std::string Qtype;

    int exec() override;

  public slots:
    void accept() override;

  private:
    void ShowValues();
    // Enables the port and shows the fields of the kind whose button is checked.
    void ShowKindFields();

    QLabel* mode_ = nullptr;
    QLineEdit* address_ = nullptr;
    QLineEdit* title_ = nullptr;
    QLineEdit* port_ = nullptr;
    QRadioButton* httpd_ = nullptr;
    QRadioButton* ping_ = nullptr;
    QButtonGroup* type_ = nullptr;
    QLineEdit* path_ = nullptr;
    QLineEdit* expect_ = nullptr;
    QLineEdit* query_ = nullptr;
    QLineEdit* qtype_ = nullptr;
    QFormLayout* form_ = nullptr;
};

}  // namespace sentrel::ui
