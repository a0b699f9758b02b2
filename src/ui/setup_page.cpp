#include "ui/setup_page.h"

#include <QAbstractButton>
#include <QByteArray>
#include <QLineEdit>
#include <QStringDecoder>

#include <algorithm>

#include "platform/window_port.h"
#include "ui/dialogs.h"

namespace sentrel::ui {

namespace {

// Dynamic properties remembering what a field was given, so an untouched field
// gives back the very bytes it got even when they are not UTF-8.
constexpr const char* kShownProperty = "sentrelShownText";
constexpr const char* kBytesProperty = "sentrelMemberBytes";
constexpr const char* kLimitProperty = "sentrelInputLimit";
constexpr const char* kLimitHookProperty = "sentrelInputLimitHooked";

}  // namespace

QString DisplayText(const std::string& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    if (utf8.hasError()) {
        return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
    }
    return text;
}

void ShowLengthMessage(QWidget* parent, int limit) {
    ShowMessageBox(parent, QStringLiteral("Please enter no more than %1 characters.").arg(limit),
                   QString::fromLatin1(kAppTitle), MessageIcon::Exclamation, MessageButtons::Ok);
}

SetupPage::SetupPage(QWidget* parent) : QWidget(parent) {}

void SetupPage::FocusRefusedField() {
    if (refused_) {
        refused_->setFocus(Qt::OtherFocusReason);
        refused_->selectAll();
    }
}

void PutFieldText(QLineEdit* edit, const std::string& member, int limit) {
    const QString text = DisplayText(member);
    if (limit > 0) {
        // QLineEdit cuts text beyond its maximum; never lose what was given. Once
        // the operator has brought the text within the limit, the limit holds.
        edit->setMaxLength(std::max(limit, int(text.size())));
        edit->setProperty(kLimitProperty, limit);
        if (!edit->property(kLimitHookProperty).toBool()) {
            edit->setProperty(kLimitHookProperty, true);
            QObject::connect(edit, &QLineEdit::textEdited, edit, [edit](const QString& now) {
                const int fieldLimit = edit->property(kLimitProperty).toInt();
                if (fieldLimit > 0 && now.size() <= fieldLimit) {
                    edit->setMaxLength(fieldLimit);
                }
            });
        }
    }
    edit->setText(text);
    edit->setProperty(kShownProperty, text);
    edit->setProperty(kBytesProperty, QByteArray(member.data(), qsizetype(member.size())));
}

bool TakeFieldText(QWidget* parent, QLineEdit* edit, std::string& member, int limit) {
    const QString text = edit->text();
    const QVariant shown = edit->property(kShownProperty);
    const std::string taken = shown.isValid() && shown.toString() == text
                                  ? edit->property(kBytesProperty).toByteArray().toStdString()
                                  : text.toStdString();
    // The limit counts bytes, as the settings file's read limits do, so whatever
    // is taken here comes back whole after a save and a reload.
    if (limit > 0 && taken.size() > std::size_t(limit)) {
        ShowLengthMessage(parent, limit);
        return false;
    }
    member = taken;
    if (limit > 0) {
        edit->setMaxLength(limit);
    }
    return true;
}

std::string CutText(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    std::size_t end = limit;
    // Back off over continuation bytes to the start of the sequence that was cut.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

void SetupPage::PutText(QLineEdit* edit, const std::string& member, int limit) {
    PutFieldText(edit, member, limit);
}

bool SetupPage::GetText(QLineEdit* edit, std::string& member, int limit) {
    if (!TakeFieldText(this, edit, member, limit)) {
        refused_ = edit;
        return false;
    }
    return true;
}

void SetupPage::PutCheck(QAbstractButton* box, bool member) {
    box->setChecked(member);
}

bool SetupPage::GetCheck(const QAbstractButton* box) {
    return box->isChecked();
}

QString ChooseSetupFile(QWidget* parent, const QString& filter, const QString& suffix,
                        bool fileMustExist) {
    SaveFileRequest request;
    request.title = QStringLiteral("Save As");
    request.filters = QStringList{filter, QStringLiteral("All Files (*.*)")};
    request.defaultSuffix = suffix;
    request.fileMustExist = fileMustExist;
    return ChooseSaveFile(parent, request);
}

}  // namespace sentrel::ui
