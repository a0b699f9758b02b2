// The second page of the setup sheet: the list of monitored nodes.
#pragma once

#include <QString>

#include "config/settings.h"
#include "ui/setup_page.h"

class QLabel;
class QListWidget;
class QPushButton;

namespace sentrel::ui {

class CNodeDlg;

// One line of the node list: "NODE:" address, then port, title and type, the
// parts separated by tabs.
QString NodeLineText(const NodeEntry& node);

class CSERVERS : public SetupPage {
    Q_OBJECT
  public:
    explicit CSERVERS(QWidget* parent = nullptr);

    void Load(const MonitorSettings& settings);
    void Store(MonitorSettings& settings) const;

    // The list has no field to read: showing the page rebuilds it.
    void ShowPage() override;
    bool ReadPage() override { return true; }

    void RefreshNodeList();

    // The working copy of the node list: slot n is line n of the list.
    NodeSlots NodeList{};

  public slots:
    void OnAdd();
    void OnEdit();
    void OnDelete();

  private:
    // The selected line, or -1.
    int SelectedSlot() const;
    // Clears the slot, then stores the dialog's values cut to their limits.
    void StoreFromDialog(int slot, const CNodeDlg& dialog);

    MonitorSettings loaded_;      // the settings the page was loaded from, for the holds' checks
    QLabel* problems_ = nullptr;  // parents the holds ignore, and why; hidden when none
    QListWidget* list_ = nullptr;
    QPushButton* add_ = nullptr;
    QPushButton* edit_ = nullptr;
    QPushButton* delete_ = nullptr;
};

}  // namespace sentrel::ui
