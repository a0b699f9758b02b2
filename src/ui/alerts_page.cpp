#include "ui/alerts_page.h"

#include <QCheckBox>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "alerts/pager.h"
#include "alerts/smtp_mailer.h"
#include "platform/net_names.h"
#include "platform/sound.h"
#include "platform/window_port.h"
#include "ui/dialogs.h"

namespace sentrel::ui {

namespace {

constexpr const char* kErrorCaption = "*Error*";
constexpr const char* kNoWaveFile = "You haven't selected a wave file yet.";
constexpr const char* kNoPhone = "You haven't specified a phone number.";
constexpr const char* kNoPagerMessage = "You haven't specified a pager message.";
constexpr const char* kNoSmtpServer = "You haven't specified an SMTP server.";
constexpr const char* kNoEmailFrom = "You haven't specified an Email From.";
constexpr const char* kNoEmailTo = "You haven't specified an Email TO.";
constexpr const char* kNoEmailSubject = "You haven't specified an Email subject.";
constexpr const char* kNoCommandLine = "You haven't specified a command line.";
constexpr const char* kPleaseTestEmail =
    "Please test to make sure the Email information is correct.";
constexpr const char* kPagerQuestion =
    "Make sure you've selected the correct COMM port.  Selecting a COM port that is not a modem "
    "may cause unpredictable results. \nAre you ready to test? ";
constexpr const char* kNoPortChosen = "Could not send data to Comm Port..";
constexpr const char* kInvalidSmtpHost = "*ERROR* Invalid SMTP Host";
constexpr const char* kEmailQuestion = "Send an Email? ";
constexpr const char* kTestMailBody = "This is a TEST message from Sentrel.";
constexpr const char* kMailNotSent = "Email could not be sent.";
// The server text the mailer's address is made from.

QString Text(const char* latin1) {
    return QString::fromLatin1(latin1);
}

QLineEdit* MakeEdit(QWidget* parent, const char* name) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    return edit;
}

QCheckBox* MakeCheck(QWidget* parent, const char* text, const char* name) {
    auto* box = new QCheckBox(QString::fromLatin1(text), parent);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

QPushButton* MakeButton(QWidget* parent, const char* text, const char* name) {
    auto* button = new QPushButton(QString::fromLatin1(text), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

QLabel* MakeLabel(QWidget* parent, const char* text, const char* name, QWidget* buddy = nullptr) {
    auto* label = new QLabel(QString::fromLatin1(text), parent);
    label->setObjectName(QString::fromLatin1(name));
    if (buddy) {
        label->setBuddy(buddy);
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    }
    return label;
}

// The members the page shares with the settings. Pager_Delay and the serial
// devices have no control: they are loaded for the pager test, never stored.
template <typename Page, typename Settings, typename Copy>
void EachSetting(Page& page, Settings& s, Copy copy) {
    copy(page.Num_Fails, s.Num_Fails);
    copy(page.Max_Alarms, s.Max_Alarms);
    copy(page.Audio_Flag, s.Audio_Flag);
    copy(page.Loop_Flag, s.Loop_Flag);
    copy(page.Wave_File, s.Wave_File);
    copy(page.Pager_Flag, s.Pager_Flag);
    copy(page.Com_1, s.Com_1);
    copy(page.Com_2, s.Com_2);
    copy(page.Pager_Phone, s.Pager_Phone);
    copy(page.Pager_Message, s.Pager_Message);
    copy(page.Email_Flag, s.Email_Flag);
    copy(page.Email_SMTP, s.Email_SMTP);
    copy(page.Email_From, s.Email_From);
    copy(page.Email_To, s.Email_To);
    copy(page.Email_Subject, s.Email_Subject);
    copy(page.Launch_Flag, s.Launch_Flag);
    copy(page.Command_Line, s.Command_Line);
}

}  // namespace

CAlerts::CAlerts(QWidget* parent) : SetupPage(parent) {
    setObjectName(QStringLiteral("alertsPage"));

    // "Alert after" [n] "failures."   "Max alarms per failure: " [n]
    numFails_ = MakeEdit(this, "numFailsEdit");
    maxAlarms_ = MakeEdit(this, "maxAlarmsEdit");
    maxAlarms_->setMaxLength(kMaxAlarmsLimit);
    const int numberWidth = fontMetrics().horizontalAdvance(QStringLiteral("0000")) + 12;
    numFails_->setFixedWidth(numberWidth);
    maxAlarms_->setFixedWidth(numberWidth);
    auto* topRow = new QHBoxLayout;
    topRow->addWidget(MakeLabel(this, "Alert after", "numFailsLabel"));
    topRow->addWidget(numFails_);
    topRow->addWidget(MakeLabel(this, "failures.", "numFailsNote"));
    topRow->addStretch(1);
    topRow->addWidget(MakeLabel(this, "Max alarms per failure: ", "maxAlarmsLabel", maxAlarms_));
    topRow->addWidget(maxAlarms_);

    // Audio
    auto* audio = new QGroupBox(QStringLiteral("Audio "), this);
    audio->setObjectName(QStringLiteral("audioGroup"));
    audioFlag_ = MakeCheck(audio, "Enable Audio Alarm", "audioFlagCheck");
    loopFlag_ = MakeCheck(audio, "Loop Sound", "loopFlagCheck");
    waveFile_ = MakeEdit(audio, "waveFileEdit");
    waveBrowse_ = MakeButton(audio, "Browse...", "waveBrowseButton");
    audioTest_ = MakeButton(audio, "Test", "audioTestButton");
    auto* audioGrid = new QGridLayout(audio);
    audioGrid->addWidget(audioFlag_, 0, 0, 1, 2);
    audioGrid->addWidget(loopFlag_, 0, 2);
    audioGrid->addWidget(audioTest_, 0, 4);
    audioGrid->addWidget(MakeLabel(audio, ".WAV file: ", "waveFileLabel", waveFile_), 1, 0);
    audioGrid->addWidget(waveFile_, 1, 1, 1, 2);
    audioGrid->addWidget(waveBrowse_, 1, 3);
    audioGrid->setColumnStretch(1, 1);

    // Numeric pager
    auto* pager = new QGroupBox(QStringLiteral("Numeric Pager"), this);
    pager->setObjectName(QStringLiteral("pagerGroup"));
    pagerFlag_ = MakeCheck(pager, "Enable Paging", "pagerFlagCheck");
    com1_ = MakeCheck(pager, "1", "com1Check");
    com2_ = MakeCheck(pager, "2", "com2Check");
    pagerPhone_ = MakeEdit(pager, "pagerPhoneEdit");
    pagerPhone_->setMaxLength(kPagerPhoneLimit);
    pagerMessage_ = MakeEdit(pager, "pagerMessageEdit");
    pagerMessage_->setMaxLength(kPagerMessageLimit);
    pagerTest_ = MakeButton(pager, "Test", "pagerTestButton");
    auto* comRow = new QHBoxLayout;
    comRow->addWidget(MakeLabel(pager, "Modem COM port:", "comLabel"));
    comRow->addWidget(com1_);
    comRow->addWidget(com2_);
    comRow->addStretch(1);
    auto* pagerGrid = new QGridLayout(pager);
    pagerGrid->addWidget(pagerFlag_, 0, 0, 1, 2);
    pagerGrid->addLayout(comRow, 0, 2);
    pagerGrid->addWidget(pagerTest_, 0, 3);
    pagerGrid->addWidget(MakeLabel(pager, "Phn. #: ", "pagerPhoneLabel", pagerPhone_), 1, 0);
    pagerGrid->addWidget(pagerPhone_, 1, 1, 1, 2);
    pagerGrid->addWidget(MakeLabel(pager, "Numeric Message:", "pagerMessageLabel", pagerMessage_),
                         2, 0);
    pagerGrid->addWidget(pagerMessage_, 2, 1, 1, 2);
    pagerGrid->setColumnStretch(1, 1);

    // E-mail
    auto* email = new QGroupBox(QStringLiteral("Email Notification"), this);
    email->setObjectName(QStringLiteral("emailGroup"));
    emailFlag_ = MakeCheck(email, "Enable Email", "emailFlagCheck");
    emailSmtp_ = MakeEdit(email, "emailSmtpEdit");
    emailFrom_ = MakeEdit(email, "emailFromEdit");
    emailTo_ = MakeEdit(email, "emailToEdit");
    emailSubject_ = MakeEdit(email, "emailSubjectEdit");
    emailTest_ = MakeButton(email, "Test", "emailTestButton");
    auto* emailGrid = new QGridLayout(email);
    emailGrid->addWidget(emailFlag_, 0, 0, 1, 2);
    emailGrid->addWidget(emailTest_, 0, 3);
    emailGrid->addWidget(MakeLabel(email, "SMTP Server:", "emailSmtpLabel", emailSmtp_), 1, 0);
    emailGrid->addWidget(emailSmtp_, 1, 1);
    emailGrid->addWidget(MakeLabel(email, "From:", "emailFromLabel", emailFrom_), 1, 2);
    emailGrid->addWidget(emailFrom_, 1, 3);
    emailGrid->addWidget(MakeLabel(email, "To:", "emailToLabel", emailTo_), 2, 0);
    emailGrid->addWidget(emailTo_, 2, 1);
    emailGrid->addWidget(MakeLabel(email, "Subject:", "emailSubjectLabel", emailSubject_), 2, 2);
    emailGrid->addWidget(emailSubject_, 2, 3);
    emailGrid->addWidget(
        MakeLabel(email, "* message will include name of server that has failed.", "emailNote"), 3,
        0, 1, 4);
    emailGrid->setColumnStretch(1, 1);
    emailGrid->setColumnStretch(3, 1);

    // Launch command
    auto* launch = new QGroupBox(QStringLiteral("Launch Command"), this);
    launch->setObjectName(QStringLiteral("launchGroup"));
    launchFlag_ = MakeCheck(launch, "Enable Launch", "launchFlagCheck");
    commandLine_ = MakeEdit(launch, "commandLineEdit");
    commandLine_->setMaxLength(kCommandLineLimit);
    auto* launchRow = new QHBoxLayout(launch);
    launchRow->addWidget(launchFlag_);
    launchRow->addWidget(MakeLabel(launch, "Command Line:", "commandLineLabel", commandLine_));
    launchRow->addWidget(commandLine_, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(topRow);
    layout->addWidget(audio);
    layout->addWidget(pager);
    layout->addWidget(email);
    layout->addWidget(launch);
    layout->addStretch(1);

    connect(audioFlag_, &QCheckBox::clicked, this, &CAlerts::OnEnableAudio);
    connect(pagerFlag_, &QCheckBox::clicked, this, &CAlerts::OnEnablePaging);
    connect(emailFlag_, &QCheckBox::clicked, this, &CAlerts::OnEnableEmail);
    connect(launchFlag_, &QCheckBox::clicked, this, &CAlerts::OnEnableLaunch);
    connect(com1_, &QCheckBox::clicked, this, &CAlerts::OnCom1);
    connect(com2_, &QCheckBox::clicked, this, &CAlerts::OnCom2);
    connect(waveBrowse_, &QPushButton::clicked, this, &CAlerts::OnBrowseWave);
    connect(audioTest_, &QPushButton::clicked, this, &CAlerts::OnTestAudio);
    connect(pagerTest_, &QPushButton::clicked, this, &CAlerts::OnTestPager);
    connect(emailTest_, &QPushButton::clicked, this, &CAlerts::OnTestEmail);
}

void CAlerts::Load(const MonitorSettings& s) {
    EachSetting(*this, s, kLoadSetting);
    Pager_Delay = s.Pager_Delay;
    given_ = s;
}

void CAlerts::Store(MonitorSettings& s) const {
    EachSetting(*this, s, kStoreSetting);
}

void CAlerts::ShowPage() {
    PutText(numFails_, Num_Fails);
    PutText(maxAlarms_, Max_Alarms, kMaxAlarmsLimit);
    PutCheck(audioFlag_, Audio_Flag);
    PutCheck(loopFlag_, Loop_Flag);
    PutText(waveFile_, Wave_File);
    PutCheck(pagerFlag_, Pager_Flag);
    PutCheck(com1_, Com_1);
    PutCheck(com2_, Com_2);
    PutText(pagerPhone_, Pager_Phone, kPagerPhoneLimit);
    PutText(pagerMessage_, Pager_Message, kPagerMessageLimit);
    PutCheck(emailFlag_, Email_Flag);
    PutText(emailSmtp_, Email_SMTP);
    PutText(emailFrom_, Email_From);
    PutText(emailTo_, Email_To);
    PutText(emailSubject_, Email_Subject);
    PutCheck(launchFlag_, Launch_Flag);
    PutText(commandLine_, Command_Line, kCommandLineLimit);
}

bool CAlerts::ReadPage() {
    // Fields in the order of the page; the first one holding too much stops the read.
    if (!GetText(numFails_, Num_Fails) || !GetText(maxAlarms_, Max_Alarms, kMaxAlarmsLimit)) {
        return false;
    }
    Audio_Flag = GetCheck(audioFlag_);
    Loop_Flag = GetCheck(loopFlag_);
    if (!GetText(waveFile_, Wave_File)) {
        return false;
    }
    Pager_Flag = GetCheck(pagerFlag_);
    Com_1 = GetCheck(com1_);
    Com_2 = GetCheck(com2_);
    if (!GetText(pagerPhone_, Pager_Phone, kPagerPhoneLimit) ||
        !GetText(pagerMessage_, Pager_Message, kPagerMessageLimit)) {
        return false;
    }
    Email_Flag = GetCheck(emailFlag_);
    if (!GetText(emailSmtp_, Email_SMTP) || !GetText(emailFrom_, Email_From) ||
        !GetText(emailTo_, Email_To) || !GetText(emailSubject_, Email_Subject)) {
        return false;
    }
    Launch_Flag = GetCheck(launchFlag_);
    return GetText(commandLine_, Command_Line, kCommandLineLimit);
}

bool CAlerts::OnKillActive() {
    if (testSoundStarted_) {
        StopSound();
        testSoundStarted_ = false;
    }
    return ReadPage();
}

void CAlerts::ShowMissing(const char* text) {
    ShowMessageBox(this, Text(text), Text(kErrorCaption), MessageIcon::Exclamation);
}

void CAlerts::ClearFlag(bool& flag, const char* missing) {
    ShowMissing(missing);
    flag = false;
    ShowPage();
}

const char* CAlerts::PagerFieldMissing() const {
    return Pager_Phone.empty() ? kNoPhone : Pager_Message.empty() ? kNoPagerMessage : nullptr;
}

bool CAlerts::EmailFieldMissing() {
    const std::pair<const std::string*, const char*> fields[] = {
        {&Email_SMTP, kNoSmtpServer},
        {&Email_From, kNoEmailFrom},
        {&Email_To, kNoEmailTo},
        {&Email_Subject, kNoEmailSubject},
    };
    for (const auto& [value, message] : fields) {
        if (value->empty()) {
            ShowMissing(message);
            return true;
        }
    }
    return false;
}

// A handler whose read is refused stops there: the length message has been
// shown, and showing the page now would overwrite what the operator typed.

void CAlerts::OnEnableAudio() {
    if (!ReadPage() || !Audio_Flag) {
        return;
    }
    if (Wave_File.empty()) {
        ClearFlag(Audio_Flag, kNoWaveFile);
    }
}

void CAlerts::OnEnablePaging() {
    if (!ReadPage() || !Pager_Flag) {
        return;
    }
    if (const char* missing = PagerFieldMissing()) {
        ClearFlag(Pager_Flag, missing);
    }
}

void CAlerts::OnEnableEmail() {
    if (!ReadPage() || !Email_Flag) {
        return;
    }
    if (EmailFieldMissing()) {
        Email_Flag = false;
        ShowPage();
        return;
    }
    ShowMessageBox(this, Text(kPleaseTestEmail), Text(kAppTitle), MessageIcon::Exclamation);
}

void CAlerts::OnEnableLaunch() {
    // Checked after every click, ticking and clearing alike.
    if (!ReadPage()) {
        return;
    }
    if (Command_Line.empty()) {
        ClearFlag(Launch_Flag, kNoCommandLine);
    }
}

// One modem port at a time: a click on either box clears the other.
void CAlerts::OnCom1() {
    ClearOtherPort(Com_2);
}

void CAlerts::OnCom2() {
    ClearOtherPort(Com_1);
}

void CAlerts::ClearOtherPort(bool& other) {
    if (!ReadPage()) {
        return;
    }
    other = false;
    ShowPage();
}

void CAlerts::OnBrowseWave() {
    if (!ReadPage()) {
        return;
    }
    const QString path = ChooseSetupFile(this, QStringLiteral("Wave Files (*.wav)"),
                                         QStringLiteral("wav"), /*fileMustExist=*/true);
    if (!path.isEmpty()) {
        Wave_File = QFile::encodeName(path).toStdString();
    }
    ShowPage();
}

void CAlerts::OnTestAudio() {
    if (!ReadPage()) {
        return;
    }
    if (Wave_File.empty()) {
        ShowMissing(kNoWaveFile);
        return;
    }
    PlayTestSound(Wave_File);
    testSoundStarted_ = true;
}

void CAlerts::OnTestPager() {
    if (!ReadPage()) {
        return;
    }
    if (const char* missing = PagerFieldMissing()) {
        ClearFlag(Pager_Flag, missing);
        return;
    }
    if (ShowMessageBox(this, Text(kPagerQuestion), QStringLiteral("Pager Test Invoked"),
                       MessageIcon::None, MessageButtons::YesNo) != MessageAnswer::Yes) {
        return;
    }
    if (!Com_1 && !Com_2) {
        ShowMessageBox(this, Text(kNoPortChosen), QStringLiteral("Paging Error"),
                       MessageIcon::Stop);
        return;
    }
    // The page's own values, with the serial devices and the pause length of the
    // settings the sheet was given. SendPage bounds every wait of the dialogue
    // and shows its port errors through the main window.
    MonitorSettings values = given_;
    Store(values);
    values.Pager_Delay = Pager_Delay;
    SendPage(PageRequestFromSettings(values), /*testForm=*/true);
}

void CAlerts::OnTestEmail() {
    if (!ReadPage()) {
        return;
    }
    if (EmailFieldMissing()) {
        return;
    }
    std::string server;
    if (!NodeAddressText(CutText(Email_SMTP, kSmtpServerTextMax), &server)) {
        ShowMessageBox(this, Text(kInvalidSmtpHost), Text(kAppTitle), MessageIcon::Exclamation);
        return;
    }
    if (ShowMessageBox(this, Text(kEmailQuestion), QStringLiteral("Email Test Invoked"),
                       MessageIcon::None, MessageButtons::YesNo) != MessageAnswer::Yes) {
        return;
    }
    // The mailer ends within its own deadline whatever the server does.
    MailTransport transport = MailTransportFromSettings(given_);
    transport.serverName = CutText(Email_SMTP, kSmtpServerTextMax);
    const MailResult result =
        SendAlertMail(server, Email_From, Email_To, Email_Subject, kTestMailBody, transport);
    if (result != MailSent) {
        ShowMessageBox(this, Text(kMailNotSent), QStringLiteral("Email Test Failed"),
                       MessageIcon::Exclamation);
    }
}

}  // namespace sentrel::ui
