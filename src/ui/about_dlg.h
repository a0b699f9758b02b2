// The about box: program name and version, the icon and the picture.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace sentrel::ui {

inline constexpr const char* kAboutCaption = "About Sentrel";
inline constexpr const char* kAboutText = "Sentrel  v1.2";

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
