// The first page of the setup sheet: start-up and timing.
#pragma once

#include <string>

#include "config/settings.h"
#include "config/settings_keys.h"
#include "ui/setup_page.h"

class QCheckBox;
class QLabel;
class QLineEdit;

namespace sentrel::ui {

class CGeneral : public SetupPage {
    Q_OBJECT
  public:
    static constexpr int kSecsLimit = keys::Secs.fieldLimit;
    static constexpr int kMaxSecsLimit = keys::MAXSecs.fieldLimit;

    explicit CGeneral(QWidget* parent = nullptr);

    void Load(const MonitorSettings& settings);
    void Store(MonitorSettings& settings) const;

    void ShowPage() override;
    bool ReadPage() override;

    // Members, one per control.
    bool AutoStart = false;
    std::string Secs;
    std::string MAXSecs;

  private:
    QLabel* logo_ = nullptr;
    QCheckBox* autoStart_ = nullptr;
    QLineEdit* secs_ = nullptr;
    QLineEdit* maxSecs_ = nullptr;
};

// The program's logo as the main window shows it; empty when it is not bundled.
void SetLogoPicture(QLabel* label);

}  // namespace sentrel::ui
