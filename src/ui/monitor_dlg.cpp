#include "ui/monitor_dlg.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QKeySequence>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <ctime>
#include <string>

#include "alerts/alarm_hold.h"
#include "config/hold_file.h"
#include "config/node_table.h"
#include "config/placement.h"
#include "config/settings.h"
#include "engine/pass_host.h"
#include "engine/ping_probe.h"
#include "engine/scan_pass.h"
#include "platform/net_names.h"
#include "platform/sound.h"
#include "platform/window_port.h"
#include "ui/about_dlg.h"
#include "ui/artwork.h"
#include "ui/dialogs.h"
#include "ui/help_window.h"
#include "ui/history_window.h"
#include "ui/qt_scan_window.h"
#include "ui/setup_sheet.h"

namespace sentrel::ui {

namespace {

constexpr const char* kMsgNoNetwork =
    "Your System does not appear to be on the network. (required)";

// Client-area places, two pixels per template unit.
constexpr int kTemplateClientWidth = 556;
constexpr int kTemplateClientHeight = 362;
constexpr int kListX = 28;
constexpr int kListY = 66;
constexpr int kButtonWidth = 86;
constexpr int kButtonHeight = 24;
constexpr int kSetupX = 36;
constexpr int kRunX = 238;
constexpr int kExitX = 442;
constexpr int kButtonsFromBottom = 57;
constexpr int kListWidthLess = 76;
constexpr int kListHeightLess = 152;
constexpr int kHelpTopicMain = 3;
// The status column starts after the 41-character name column of a row.
constexpr int kNameColumn = 41;
constexpr int kRowChars = kNameColumn + 21;

QString AppTitle() {
    return QString::fromLatin1(kAppTitle);
}

QString DisplayedLastScan() {
    QString text = QString::fromStdString(GetLastScanText());
    while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r'))) {
        text.chop(1);
    }
    return text;
}

}  // namespace

CMonitorDlg::CMonitorDlg(PassHost& host, QWidget* parent)
    : QDialog(parent), scheduler_(this, host) {
    EnsureResources();
    setObjectName(QStringLiteral("monitorDlg"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromLatin1(kTitleBase));
    setWindowIcon(AppIcon());

    scanWindow_ = std::make_unique<QtScanWindow>(this, [this] { Redraw(); });
    SetMainWindowHandle(scanWindow_.get());

    BuildControls();

    iconTimer_.setInterval(kIconPeriodMs);
    connect(&iconTimer_, &QTimer::timeout, this, &CMonitorDlg::OnIconTimer);
}

CMonitorDlg::~CMonitorDlg() {
    iconTimer_.stop();
    scanWindow_->StopServing();
    if (MainWindowHandle() == scanWindow_.get()) {
        SetMainWindowHandle(nullptr);
    }
}

void CMonitorDlg::BuildControls() {
    menuBar_ = new QMenuBar(this);
    menuBar_->setObjectName(QStringLiteral("menuBar"));
    menuBar_->setNativeMenuBar(false);
    aboutAction_ = menuBar_->addAction(QStringLiteral("&About"));
    aboutAction_->setObjectName(QStringLiteral("aboutAction"));
    helpAction_ = menuBar_->addAction(QStringLiteral("&Help"));
    helpAction_->setObjectName(QStringLiteral("helpAction"));
    connect(aboutAction_, &QAction::triggered, this, &CMonitorDlg::OnAbout);
    connect(helpAction_, &QAction::triggered, this, &CMonitorDlg::OnHelp);
    // Ctrl+M ("mute"): the window's own keys are Enter (RUN), Esc (close), Alt+A
    // and Alt+H; a hidden action's key does nothing.
    silenceAction_ = menuBar_->addAction(QStringLiteral("Silence alarm (Ctrl+M)"));
    silenceAction_->setObjectName(QStringLiteral("silenceAction"));
    silenceAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    silenceAction_->setVisible(false);
    connect(silenceAction_, &QAction::triggered, this, &CMonitorDlg::OnSilence);
    QMenu* hold = menuBar_->addMenu(QStringLiteral("Hold alarms"));
    hold->setObjectName(QStringLiteral("holdMenu"));
    holdHourAction_ = hold->addAction(QStringLiteral("For 1 hour"));
    holdHourAction_->setObjectName(QStringLiteral("holdHourAction"));
    connect(holdHourAction_, &QAction::triggered, this, &CMonitorDlg::OnHoldHour);
    endHoldAction_ = hold->addAction(QStringLiteral("End the hold"));
    endHoldAction_->setObjectName(QStringLiteral("endHoldAction"));
    connect(endHoldAction_, &QAction::triggered, this, &CMonitorDlg::OnEndHold);

    helpGlyph_ = new QToolButton(menuBar_);
    helpGlyph_->setObjectName(QStringLiteral("helpGlyph"));
    helpGlyph_->setIcon(HelpGlyphIcon());
    helpGlyph_->setIconSize(QSize(16, 14));
    helpGlyph_->setAutoRaise(true);
    helpGlyph_->setFocusPolicy(Qt::NoFocus);
    helpGlyph_->setToolTip(QStringLiteral("Help"));
    connect(helpGlyph_, &QToolButton::clicked, this, &CMonitorDlg::OnHelp);
    menuBar_->setCornerWidget(helpGlyph_, Qt::TopRightCorner);

    client_ = new QWidget(this);
    client_->setObjectName(QStringLiteral("clientArea"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setMenuBar(menuBar_);
    layout->addWidget(client_);

    logo_ = new QLabel(client_);
    logo_->setObjectName(QStringLiteral("logo"));
    logo_->setPixmap(RenderSvg(LogoPicturePath(), QSize(206, 52)));
    logo_->setGeometry(0, 0, 206, 52);

    lastScanLabel_ = new QLabel(QStringLiteral("Last Scan:"), client_);
    lastScanLabel_->setObjectName(QStringLiteral("lastScanLabel"));
    lastScanLabel_->setGeometry(250, 2, 84, 16);
    lastScanLabel_->setEnabled(false);

    lastScanValue_ = new QLabel(client_);
    lastScanValue_->setObjectName(QStringLiteral("lastScanValue"));
    lastScanValue_->setTextFormat(Qt::PlainText);
    lastScanValue_->setGeometry(336, 2, 240, 16);
    lastScanValue_->setEnabled(false);

    silencedLabel_ = new QLabel(QStringLiteral("Alarm sound silenced until a new outage"), client_);
    silencedLabel_->setObjectName(QStringLiteral("silencedLabel"));
    silencedLabel_->setGeometry(250, 18, 326, 15);
    silencedLabel_->setVisible(false);

    heldLabel_ = new QLabel(client_);
    heldLabel_->setObjectName(QStringLiteral("heldLabel"));
    heldLabel_->setTextFormat(Qt::PlainText);
    heldLabel_->setGeometry(250, 33, 326, 15);
    heldLabel_->setVisible(false);

    serversLabel_ = new QLabel(QStringLiteral("Server(s)"), client_);
    serversLabel_->setObjectName(QStringLiteral("serversLabel"));
    statusLabel_ = new QLabel(QStringLiteral("Status"), client_);
    statusLabel_->setObjectName(QStringLiteral("statusLabel"));

    statusList_ = new QListWidget(client_);
    statusList_->setObjectName(QStringLiteral("statusList"));
    statusList_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    statusList_->setSelectionMode(QAbstractItemView::SingleSelection);
    statusList_->setUniformItemSizes(true);
    statusList_->setSortingEnabled(false);
    statusList_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    AttachHistory(statusList_);

    setupButton_ = new QPushButton(QStringLiteral("Setup..."), client_);
    setupButton_->setObjectName(QStringLiteral("setupButton"));
    runButton_ = new QPushButton(QString::fromLatin1(kRunCaption), client_);
    runButton_->setObjectName(QStringLiteral("runButton"));
    runButton_->setDefault(true);
    exitButton_ = new QPushButton(QStringLiteral("Exit"), client_);
    exitButton_->setObjectName(QStringLiteral("exitButton"));
    for (QPushButton* b : {setupButton_, runButton_, exitButton_}) {
        b->resize(kButtonWidth, kButtonHeight);
    }
    connect(setupButton_, &QPushButton::clicked, this, &CMonitorDlg::OnSetup);
    connect(runButton_, &QPushButton::clicked, this, &CMonitorDlg::OnRunStop);
    connect(exitButton_, &QPushButton::clicked, this, &CMonitorDlg::reject);

    // The list is as wide as a full row in the fixed-pitch font, the "Status"
    // heading stands over the status column.
    const QFontMetrics fm(statusList_->font());
    const int charWidth = std::max(1, fm.horizontalAdvance(QLatin1Char('M')));
    const int frame = statusList_->frameWidth();
    const int scroll = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const int textLeft = kListX + frame + 3;
    const int listWidth = kRowChars * charWidth + 2 * frame + scroll + 8;
    const int clientWidth = std::max(kTemplateClientWidth, listWidth + kListWidthLess);
    serversLabel_->setGeometry(textLeft, 48, 160, 18);
    statusLabel_->setGeometry(textLeft + kNameColumn * charWidth, 48, 120, 18);

    statusList_->move(kListX, kListY);
    client_->installEventFilter(this);
    LayoutClient(clientWidth, kTemplateClientHeight);
    resize(clientWidth, kTemplateClientHeight + menuBar_->sizeHint().height());
}

void CMonitorDlg::LayoutClient(int cx, int cy) {
    if (cy > 0) {
        const int y = cy - kButtonsFromBottom;
        setupButton_->move(kSetupX, y);
        runButton_->move(kRunX, y);
        exitButton_->move(kExitX, y);
    }
    if (cx > 0 && cy > 0) {
        statusList_->resize(std::max(0, cx - kListWidthLess), std::max(0, cy - kListHeightLess));
    }
}

bool CMonitorDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == windowHandle() && event->type() == QEvent::Expose &&
        windowHandle()->isExposed()) {
        QMetaObject::invokeMethod(this, &CMonitorDlg::OnExposed, Qt::QueuedConnection);
    }
    if (watched == client_ && event->type() == QEvent::Resize) {
        const auto* resize = static_cast<QResizeEvent*>(event);
        LayoutClient(resize->size().width(), resize->size().height());
        if (isVisible()) {
            Redraw();
        }
    }
    return QDialog::eventFilter(watched, event);
}

CMonitorDlg::StartResult CMonitorDlg::Initialise() {
    iconTimer_.start();
    std::string hostName;
    if (!LocalHostName(&hostName)) {
        ShowMessageBox(nullptr, QString::fromLatin1(kMsgNoNetwork), AppTitle(),
                       MessageIcon::Exclamation, MessageButtons::Ok);
        return StartResult::NoNetwork;
    }
    ResetNodeTable();
    LoadSettings();
    if (CurrentSettings().AutoStart) {
        OnRunStop();
    }
    return StartResult::Ready;
}

void CMonitorDlg::Redraw() {
    if (isMinimized()) {
        return;
    }
    SetMainWindowHandle(scanWindow_.get());

    const std::vector<std::string> rows = StatusRows();
    // Same rows as emptying and refilling the list, but the operator's scroll
    // position and selection survive the redraw after every node.
    const int count = static_cast<int>(rows.size());
    if (statusList_->count() != count) {
        const int scroll = statusList_->verticalScrollBar()->value();
        statusList_->clear();
        for (const std::string& row : rows) {
            statusList_->addItem(QString::fromStdString(row));
        }
        statusList_->verticalScrollBar()->setValue(scroll);
    } else {
        for (int i = 0; i < count; ++i) {
            const QString text = QString::fromStdString(rows[static_cast<std::size_t>(i)]);
            QListWidgetItem* item = statusList_->item(i);
            if (item->text() != text) {
                item->setText(text);
            }
        }
    }

    runButton_->setText(QString::fromLatin1(MonitorRunning.load() ? kStopCaption : kRunCaption));
    lastScanValue_->setText(DisplayedLastScan());
    update();

    if (FirstPaintPending() && isVisible()) {
        RestorePlacement();
    }
}

void CMonitorDlg::SetRunCaption(const std::string& caption) {
    runButton_->setText(QString::fromStdString(caption));
}

void CMonitorDlg::SetSetupEnabled(bool enabled) {
    setupButton_->setEnabled(enabled);
}

void CMonitorDlg::RedrawWhole() {
    Redraw();
}

void CMonitorDlg::OnRunStop() {
    if (closing_) {
        return;
    }
    scheduler_.OnRunStop();
}

void CMonitorDlg::OnSetup() {
    if (closing_ || MonitorRunning.load() != 0) {
        return;
    }
    if (RunSetupAndSave(this)) {
        // What is watched may have changed: the history notes the change.
        scheduler_.Host().MonitoringChanged(false, NowUtcMs());
        emit settingsRead();
        Redraw();
    }
}

void CMonitorDlg::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CMonitorDlg::OnHelp() {
    OpenHelp(this, QString::number(kHelpTopicMain));
}

void CMonitorDlg::OnSilence() {
    SilenceAlarmSound();
    ShowSilence();
}

void CMonitorDlg::ShowSilence() {
    const bool silenced = AlarmSoundSilenced();
    silenceAction_->setVisible(AlarmSoundLooping() && !silenced);
    silencedLabel_->setVisible(silenced);
}

void CMonitorDlg::OnHoldHour() {
    std::string why;
    if (!WriteHoldFile(std::time(nullptr) + 3600, &why)) {
        QMessageBox::warning(this, QStringLiteral("Sentrel"), QString::fromStdString(why));
    }
    ShowHold();
}

void CMonitorDlg::OnEndHold() {
    std::string why;
    if (!EndHoldFile(&why)) {
        QMessageBox::warning(this, QStringLiteral("Sentrel"), QString::fromStdString(why));
    }
    ShowHold();
}

void CMonitorDlg::ShowHold() {
    const std::time_t now = std::time(nullptr);
    const std::time_t until = AlarmsHeldUntil(CurrentSettings(), now);
    endHoldAction_->setEnabled(ReadHoldFile() > now);
    heldLabel_->setText(QString::fromStdString("Alarms held until " + HoldText(until)));
    heldLabel_->setVisible(until > 0);
}

void CMonitorDlg::OnIconTimer() {
    ShowSilence();
    if (++holdTicks_ % (1000 / kIconPeriodMs) == 0) {
        ShowHold();  // a hold's file and end, about once a second
    }
    if (!framesLoaded_) {
        for (int i = 0; i < kAnimationFrames; ++i) {
            frames_[static_cast<std::size_t>(i)] = AnimationFrameIcon(i);
        }
        framesLoaded_ = true;
    }
    if (MonitorRunning.load() == 0) {
        return;
    }
    frameCounter_ = (frameCounter_ + 1) % kAnimationFrames;
    shownFrame_ = frameCounter_;
    setWindowIcon(frames_[static_cast<std::size_t>(frameCounter_)]);
}

void CMonitorDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (windowHandle() != nullptr && !watchingExposure_) {
        windowHandle()->installEventFilter(this);
        watchingExposure_ = true;
    }
    Redraw();
}

void CMonitorDlg::OnExposed() {
    if (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen | Qt::WindowMinimized)) {
        return;
    }
    const QMargins frame = windowHandle()->frameMargins();
    normalFrame_ = frame;
    if (!placedAt_) {
        return;
    }
    // A window manager frames the window only after the first redraw placed it,
    // and may have put the client area instead of the frame at the saved place.
    // Now that the frame is known, its corner goes there.
    const QPoint inset(frame.left(), frame.top());
    if (geometry().topLeft() != *placedAt_ + inset) {
        setGeometry(QRect(*placedAt_ + inset, size()));
    }
    placedAt_.reset();
}

void CMonitorDlg::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isVisible() && !isMinimized()) {
        Redraw();
    }
}

void CMonitorDlg::RestorePlacement() {
    ClearFirstPaintPending();
    const Placement p = ReadPlacement();
    if (!PlacementUsable(p)) {
        return;
    }
    move(p.x, p.y);
    resize(p.width, p.height);
    placedAt_ = QPoint(p.x, p.y);
    raise();
    show();
}

void CMonitorDlg::SavePlacement() {
    // The rectangle the window has in its normal state: its frame's top-left
    // corner and its size.
    QRect normal = geometry();
    QMargins frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
    if (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)) {
        const QRect saved = normalGeometry();
        if (saved.isValid()) {
            normal = saved;
        }
        // The frame of a maximized window is not the one it has when restored
        // (a window manager may drop its borders).
        if (normalFrame_) {
            frame = *normalFrame_;
        }
    }
    WritePlacement(Placement{normal.x() - frame.left(), normal.y() - frame.top(), normal.width(),
                             normal.height()});
}

void CMonitorDlg::reject() {
    if (closing_) {
        return;
    }
    closing_ = true;
    scheduler_.Shutdown();
    closedCleanly_ = WaitForPassWhileServing(kCloseWaitLimit);
    SavePlacement();
    if (!closedCleanly_) {
        scanWindow_->StopServing();
    }
    scanWindow_->RestoreCursors();
    QDialog::reject();
}

}  // namespace sentrel::ui
