#include "ui/about_dlg.h"

#include <QLabel>
#include <QPushButton>

#include "ui/artwork.h"

namespace sentrel::ui {

// Places follow the about template, two pixels per template unit.
CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("aboutDialog"));
    setWindowTitle(QString::fromLatin1(kAboutCaption));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    icon_ = new QLabel(this);
    icon_->setObjectName(QStringLiteral("aboutIcon"));
    icon_->setPixmap(RenderSvg(AppIconPath(), QSize(32, 32)));
    icon_->setGeometry(12, 8, 32, 32);

    text_ = new QLabel(this);
    text_->setObjectName(QStringLiteral("aboutText"));
    text_->setTextFormat(Qt::PlainText);
    text_->setText(QString::fromLatin1(kAboutText));
    text_->setGeometry(84, 8, 200, 32);
    text_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    ok_ = new QPushButton(QStringLiteral("OK"), this);
    ok_->setObjectName(QStringLiteral("aboutOk"));
    ok_->setDefault(true);
    ok_->setAutoDefault(true);
    ok_->setGeometry(308, 8, 102, 32);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);

    picture_ = new QLabel(this);
    picture_->setObjectName(QStringLiteral("aboutPicture"));
    picture_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    picture_->setLineWidth(1);
    picture_->setAlignment(Qt::AlignCenter);
    picture_->setPixmap(RenderSvg(AboutPicturePath(), QSize(258, 104)));
    picture_->setGeometry(90, 50, 258 + 2, 104 + 2);

    setFixedSize(440, 50 + 106 + 18);
    ok_->setFocus();
}

}  // namespace sentrel::ui
