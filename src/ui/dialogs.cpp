#include "ui/dialogs.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QList>
#include <QMessageBox>
#include <QQueue>

#include <mutex>
#include <optional>

namespace sentrel::ui {

namespace {

// Test answers and the record of what was shown. Messages of the scan thread
// reach ShowMessageBox through the GUI thread, but a test may queue answers from
// any thread, so everything here is guarded.
struct SeamState {
    std::mutex mutex;
    QQueue<MessageAnswer> answers;
    QQueue<QString> paths;
    QList<DialogRecord> shown;
    QList<SaveFileRequest> requests;
    bool testMode = false;
    int unanswered = 0;
};

SeamState& Seam() {
    static SeamState state;
    return state;
}

QMessageBox::Icon ToQtIcon(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Exclamation:
            return QMessageBox::Warning;
        case MessageIcon::Stop:
            return QMessageBox::Critical;
        case MessageIcon::Question:
            return QMessageBox::Question;
        case MessageIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

// The chooser's rule for a name typed without an extension.
QString WithDefaultSuffix(const QString& path, const QString& suffix) {
    if (path.isEmpty() || suffix.isEmpty()) {
        return path;
    }
    if (QFileInfo(path).fileName().contains(u'.')) {
        return path;
    }
    return path + u'.' + suffix;
}

}  // namespace

MessageAnswer ShowMessageBox(QWidget* parent, const QString& text, const QString& caption,
                             MessageIcon icon, MessageButtons buttons) {
    const MessageAnswer fallback =
        buttons == MessageButtons::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
    {
        SeamState& seam = Seam();
        std::lock_guard lock(seam.mutex);
        seam.shown.append(
            DialogRecord{text, caption, icon, buttons, parent ? parent->window() : nullptr});
        if (!seam.answers.isEmpty()) {
            return seam.answers.dequeue();
        }
        if (seam.testMode) {
            ++seam.unanswered;
            return fallback;
        }
    }

    QMessageBox box(parent);
    box.setWindowTitle(caption);
    box.setText(text);
    box.setIcon(ToQtIcon(icon));
    if (buttons == MessageButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
        box.setDefaultButton(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Ok);
    }
    const int pressed = box.exec();
    if (buttons == MessageButtons::YesNo) {
        return pressed == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
    }
    return MessageAnswer::Ok;
}

QString ChooseSaveFile(QWidget* parent, const SaveFileRequest& request) {
    {
        SeamState& seam = Seam();
        std::lock_guard lock(seam.mutex);
        seam.requests.append(request);
        if (!seam.paths.isEmpty()) {
            return WithDefaultSuffix(seam.paths.dequeue(), request.defaultSuffix);
        }
        if (seam.testMode) {
            ++seam.unanswered;
            return QString();
        }
    }

    QFileDialog dialog(parent, request.title);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(request.fileMustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog.setNameFilters(request.filters);
    if (!request.filters.isEmpty()) {
        dialog.selectNameFilter(request.filters.first());
    }
    dialog.setDefaultSuffix(request.defaultSuffix);
    if (dialog.exec() != QDialog::Accepted) {
        return QString();
    }
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) {
        return QString();
    }
    return WithDefaultSuffix(chosen.first(), request.defaultSuffix);
}

void QueueMessageAnswerForTesting(MessageAnswer answer) {
    std::lock_guard lock(Seam().mutex);
    Seam().answers.enqueue(answer);
}

void QueueSavePathForTesting(const QString& pathOrEmptyForCancel) {
    std::lock_guard lock(Seam().mutex);
    Seam().paths.enqueue(pathOrEmptyForCancel);
}

QList<DialogRecord> ShownMessagesForTesting() {
    std::lock_guard lock(Seam().mutex);
    return Seam().shown;
}

QList<SaveFileRequest> SaveRequestsForTesting() {
    std::lock_guard lock(Seam().mutex);
    return Seam().requests;
}

void ClearDialogTestStateForTesting() {
    std::lock_guard lock(Seam().mutex);
    SeamState& seam = Seam();
    seam.answers.clear();
    seam.paths.clear();
    seam.shown.clear();
    seam.requests.clear();
    seam.unanswered = 0;
}

bool DialogAnswersPendingForTesting() {
    std::lock_guard lock(Seam().mutex);
    return !Seam().answers.isEmpty() || !Seam().paths.isEmpty();
}

void SetDialogTestModeForTesting(bool on) {
    std::lock_guard lock(Seam().mutex);
    Seam().testMode = on;
}

int UnansweredDialogsForTesting() {
    std::lock_guard lock(Seam().mutex);
    return Seam().unanswered;
}

}  // namespace sentrel::ui
