// The fourth page of the setup sheet: when alarms are raised and how, with a
// test for the sound, the pager and the e-mail.
#pragma once

#include <string>

#include "alerts/mail_transport.h"
#include "config/settings.h"
#include "config/settings_keys.h"
#include "ui/setup_page.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace sentrel::ui {

class CAlerts : public SetupPage {
    Q_OBJECT
  public:
    static constexpr int kMaxAlarmsLimit = keys::Max_Alarms.fieldLimit;
    static constexpr int kPagerPhoneLimit = keys::Pager_Phone.fieldLimit;
    static constexpr int kPagerMessageLimit = keys::Pager_Message.fieldLimit;
    static constexpr int kCommandLineLimit = keys::Command_Line.fieldLimit;

    explicit CAlerts(QWidget* parent = nullptr);

    void Load(const MonitorSettings& settings);
    void Store(MonitorSettings& settings) const;

    void ShowPage() override;
    bool ReadPage() override;
    // Leaving the page ends a test sound it started, then reads the page.
    bool OnKillActive() override;

    // Members, one per control.
    std::string Num_Fails;
    std::string Max_Alarms;
    bool Audio_Flag = false;
    bool Loop_Flag = false;
    std::string Wave_File;
    bool Pager_Flag = false;
    bool Com_1 = false;
    bool Com_2 = false;
    std::string Pager_Phone;
    std::string Pager_Message;
    bool Email_Flag = false;
    std::string Email_SMTP;
    std::string Email_From;
    std::string Email_To;
    std::string Email_Subject;
    bool Launch_Flag = false;
    std::string Command_Line;
    // No control: used by the pager test only, never changed here.
    int Pager_Delay = keys::Pager_Delay.DefaultNumber();
    // The settings the page was given: the hand-edited keys its tests use (the
    // serial devices, the mail server's port, security and login).
    MonitorSettings given_;

  public slots:
    void OnEnableAudio();
    void OnEnablePaging();
    void OnEnableEmail();
    void OnEnableLaunch();
    void OnCom1();
    void OnCom2();
    void OnBrowseWave();
    void OnTestAudio();
    void OnTestPager();
    void OnTestEmail();

  private:
    // The "*Error*" message of a missing field.
    void ShowMissing(const char* text);
    // The missing field's message shown, the enable box cleared, the page shown.
    void ClearFlag(bool& flag, const char* missing);
    // The message of the first empty pager field, or null when both are filled.
    const char* PagerFieldMissing() const;
    // The e-mail fields in order; true and the message shown at the first empty one.
    bool EmailFieldMissing();
    // After a click on one COM port box: the page read, `other` cleared, shown.
    void ClearOtherPort(bool& other);

    QLineEdit* numFails_ = nullptr;
    QLineEdit* maxAlarms_ = nullptr;
    QCheckBox* audioFlag_ = nullptr;
    QCheckBox* loopFlag_ = nullptr;
    QLineEdit* waveFile_ = nullptr;
    QPushButton* waveBrowse_ = nullptr;
    QPushButton* audioTest_ = nullptr;
    QCheckBox* pagerFlag_ = nullptr;
    QCheckBox* com1_ = nullptr;
    QCheckBox* com2_ = nullptr;
    QLineEdit* pagerPhone_ = nullptr;
    QLineEdit* pagerMessage_ = nullptr;
    QPushButton* pagerTest_ = nullptr;
    QCheckBox* emailFlag_ = nullptr;
    QLineEdit* emailSmtp_ = nullptr;
    QLineEdit* emailFrom_ = nullptr;
    QLineEdit* emailTo_ = nullptr;
    QLineEdit* emailSubject_ = nullptr;
    QPushButton* emailTest_ = nullptr;
    QCheckBox* launchFlag_ = nullptr;
    QLineEdit* commandLine_ = nullptr;

    bool testSoundStarted_ = false;
};

}  // namespace sentrel::ui
