// The about box: program name and version, the icon and the picture.
#pragma once

#include <QDialog>

#include "config/version.h"

class QLabel;
class QPushButton;

namespace sentrel::ui {

inline constexpr const char* kAboutCaption = "About Sentrel";
inline constexpr const char* kAboutText = "Sentrel  v" SENTREL_VERSION;

class CAboutDlg : public QDialog {
    Q_OBJECT

  public:
    explicit CAboutDlg(QWidget* parent = nullptr);

  private:
    QLabel* icon_;
    QLabel* text_;
    QPushButton* ok_;
    QLabel* picture_;
};

}  // namespace sentrel::ui
