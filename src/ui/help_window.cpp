#include "ui/help_window.h"

#include <QPointer>
#include <QScrollBar>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "ui/artwork.h"

namespace sentrel::ui {

namespace {

const char* const kHelpSource = "qrc:/sentrel/help/sentrel_help.html";

QPointer<HelpWindow>& Current() {
    static QPointer<HelpWindow> window;
    return window;
}

}  // namespace

QString HelpTopicAnchor(const QString& topic) {
    static const QStringList kAnchors = {
        QStringLiteral("main"),   QStringLiteral("status"),    QStringLiteral("run"),
        QStringLiteral("setup"),  QStringLiteral("general"),   QStringLiteral("servers"),
        QStringLiteral("node"),   QStringLiteral("reporting"), QStringLiteral("alerts"),
        QStringLiteral("alarms"), QStringLiteral("files"),     QStringLiteral("messages")};
    const QString t = topic.trimmed().toLower();
    if (t == QLatin1String("3")) {
        return QStringLiteral("main");
    }
    return kAnchors.contains(t) ? t : QString();
}

HelpWindow* CurrentHelpWindow() {
    return Current().data();
}

HelpWindow::HelpWindow(QWidget* owner) : QWidget(owner, Qt::Window) {
    EnsureResources();
    setObjectName(QStringLiteral("helpWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Sentrel Help"));
    setWindowIcon(AppIcon());
    browser_ = new QTextBrowser(this);
    browser_->setObjectName(QStringLiteral("helpBrowser"));
    browser_->setOpenExternalLinks(false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(browser_);
    resize(620, 520);
}

void HelpWindow::ShowTopic(const QString& topic) {
    anchor_ = HelpTopicAnchor(topic);
    QUrl url(QString::fromLatin1(kHelpSource));
    if (!anchor_.isEmpty()) {
        url.setFragment(anchor_);
    }
    if (browser_->source().adjusted(QUrl::RemoveFragment) != url.adjusted(QUrl::RemoveFragment)) {
        browser_->setSource(url);
    } else if (anchor_.isEmpty()) {
        browser_->verticalScrollBar()->setValue(0);
    }
    if (!anchor_.isEmpty()) {
        browser_->scrollToAnchor(anchor_);
    }
}

void OpenHelp(QWidget* parent, const QString& topic) {
    QWidget* owner = parent ? parent->window() : nullptr;
    QPointer<HelpWindow>& current = Current();
    if (current && current->parentWidget() != owner) {
        current->close();
        current = nullptr;
    }
    if (!current) {
        current = new HelpWindow(owner);
    }
    current->ShowTopic(topic);
    current->show();
    current->raise();
    current->activateWindow();
}

}  // namespace sentrel::ui
