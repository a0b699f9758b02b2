#include "ui/general_page.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "ui/artwork.h"

namespace sentrel::ui {

void SetLogoPicture(QLabel* label) {
    EnsureResources();
    const QPixmap picture = RenderSvg(LogoPicturePath(), QSize(206, 52));
    if (!picture.isNull()) {
        label->setPixmap(picture);
    }
}

CGeneral::CGeneral(QWidget* parent) : SetupPage(parent) {
    setObjectName(QStringLiteral("generalPage"));

    logo_ = new QLabel(this);
    logo_->setObjectName(QStringLiteral("logoLabel"));
    SetLogoPicture(logo_);

    auto* group = new QGroupBox(QStringLiteral("Other Options "), this);
    group->setObjectName(QStringLiteral("otherOptionsGroup"));

    autoStart_ = new QCheckBox(QStringLiteral("Automatically begin monitoring on startup."), group);
    autoStart_->setObjectName(QStringLiteral("autoStartCheck"));

    auto* secsLabel = new QLabel(QStringLiteral("Interval:"), group);
    secsLabel->setObjectName(QStringLiteral("secsLabel"));
    secs_ = new QLineEdit(group);
    secs_->setObjectName(QStringLiteral("secsEdit"));
    secs_->setMaxLength(kSecsLimit);
    secsLabel->setBuddy(secs_);
    auto* secsNote = new QLabel(QStringLiteral("( seconds between tests)"), group);
    secsNote->setObjectName(QStringLiteral("secsNote"));

    auto* maxSecsLabel =
        new QLabel(QStringLiteral("Maximum seconds to wait for HTTPD response:"), group);
    maxSecsLabel->setObjectName(QStringLiteral("maxSecsLabel"));
    maxSecs_ = new QLineEdit(group);
    maxSecs_->setObjectName(QStringLiteral("maxSecsEdit"));
    maxSecs_->setMaxLength(kMaxSecsLimit);
    // Only the decimal digits can be typed here.
    maxSecs_->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), maxSecs_));
    maxSecsLabel->setBuddy(maxSecs_);

    const int fieldWidth = fontMetrics().horizontalAdvance(QStringLiteral("00000")) + 12;
    secs_->setFixedWidth(fieldWidth);
    maxSecs_->setFixedWidth(fieldWidth);

    auto* secsRow = new QHBoxLayout;
    secsRow->addWidget(secsLabel);
    secsRow->addWidget(secs_);
    secsRow->addWidget(secsNote);
    secsRow->addStretch(1);

    auto* maxSecsRow = new QHBoxLayout;
    maxSecsRow->addWidget(maxSecsLabel);
    maxSecsRow->addWidget(maxSecs_);
    maxSecsRow->addStretch(1);

    auto* groupLayout = new QVBoxLayout(group);
    groupLayout->addWidget(autoStart_);
    groupLayout->addLayout(secsRow);
    groupLayout->addLayout(maxSecsRow);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(logo_, 0, Qt::AlignLeft | Qt::AlignTop);
    layout->addWidget(group);
    layout->addStretch(1);
}

void CGeneral::Load(const MonitorSettings& settings) {
    AutoStart = settings.AutoStart;
    Secs = settings.Secs;
    MAXSecs = settings.MAXSecs;
}

void CGeneral::Store(MonitorSettings& settings) const {
    settings.AutoStart = AutoStart;
    settings.Secs = Secs;
    settings.MAXSecs = MAXSecs;
}

void CGeneral::ShowPage() {
    PutCheck(autoStart_, AutoStart);
    PutText(secs_, Secs, kSecsLimit);
    PutText(maxSecs_, MAXSecs, kMaxSecsLimit);
}

bool CGeneral::ReadPage() {
    AutoStart = GetCheck(autoStart_);
    return GetText(secs_, Secs, kSecsLimit) && GetText(maxSecs_, MAXSecs, kMaxSecsLimit);
}

}  // namespace sentrel::ui
