// The node dialog: adds or changes one monitored node.
#pragma once

#include <QDialog>

#include <cstdint>
#include <string>

#include "config/settings_keys.h"

class QButtonGroup;
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

    explicit CNodeDlg(QWidget* parent = nullptr);

    // Set by the caller before exec(); read back after it ends with OK.
    std::string Mode;  // "Add" or "Edit"
    std::string Address;
    std::string Port;
    std::string Title;
    std::int32_t ProbeType = 0;

    int exec() override;

  public slots:
    void accept() override;

  private slots:
    void OnHttpd();
    void OnPing();

  private:
    void ShowValues();

    QLabel* mode_ = nullptr;
    QLineEdit* address_ = nullptr;
    QLineEdit* title_ = nullptr;
    QLineEdit* port_ = nullptr;
    QRadioButton* httpd_ = nullptr;
    QRadioButton* ping_ = nullptr;
    QButtonGroup* type_ = nullptr;
};

}  // namespace sentrel::ui
