// The bundled operator help, shown in a help window of its own.
#pragma once

#include <QString>
#include <QWidget>

class QTextBrowser;

namespace sentrel::ui {

// Topics: "3" or "main" (the main window), "status", "run", "setup", "general",
// "servers", "node", "reporting", "alerts", "alarms", "files", "messages".
// An unknown topic opens the help at its beginning.
QString HelpTopicAnchor(const QString& topic);

// Opens (or raises) the help window at the topic. The window belongs to the
// parent's top-level window, so it can be used while that window is modal.
void OpenHelp(QWidget* parent, const QString& topic);

// The help window currently open, or null.
class HelpWindow;
HelpWindow* CurrentHelpWindow();

class HelpWindow : public QWidget {
    Q_OBJECT

  public:
    explicit HelpWindow(QWidget* owner);

    void ShowTopic(const QString& topic);
    // The anchor shown last ("" for the beginning).
    QString CurrentAnchor() const { return anchor_; }
    QTextBrowser* Browser() const { return browser_; }

  private:
    QTextBrowser* browser_;
    QString anchor_;
};

}  // namespace sentrel::ui
