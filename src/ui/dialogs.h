// Message boxes and file choosers of the program go through here, so a test can
// answer them in advance. The program itself never queues answers.
#pragma once

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "platform/window_port.h"

namespace sentrel::ui {

// A modal message box: text, caption, icon and buttons as given. Returns the
// button pressed. A queued test answer is returned instead of showing anything.
MessageAnswer ShowMessageBox(QWidget* parent, const QString& text, const QString& caption,
                             MessageIcon icon, MessageButtons buttons = MessageButtons::Ok);

struct SaveFileRequest {
    QString title;
    QStringList filters;    // e.g. "Log Files (*.log)", "All Files (*.*)"
    QString defaultSuffix;  // e.g. "log": added to a name typed without one
    bool fileMustExist = false;
};

// The file chooser in its save form. Returns the chosen full path, or an empty
// string when cancelled. A queued test path (or a queued cancel) is used instead.
QString ChooseSaveFile(QWidget* parent, const SaveFileRequest& request);

// Test seam: answers for the next calls, first in first out.
struct DialogRecord {
    QString text;
    QString caption;
    MessageIcon icon;
    MessageButtons buttons;
    QPointer<QWidget> window;  // the window the message belongs to (its parent's)
};
void QueueMessageAnswerForTesting(MessageAnswer answer);
void QueueSavePathForTesting(const QString& pathOrEmptyForCancel);
// Every message shown (or answered from the queue) since the last clear.
QList<DialogRecord> ShownMessagesForTesting();
void ClearDialogTestStateForTesting();
// True while queued answers are pending (a test can check all were used).
bool DialogAnswersPendingForTesting();
// Every file chooser opened (or answered from the queue) since the last clear.
QList<SaveFileRequest> SaveRequestsForTesting();
// With the test mode on, a message or chooser that finds no queued answer is
// not shown: it is recorded, counted, and answered No / Ok / cancel at once, so
// a test that forgot an answer fails instead of hanging. The clear resets the
// count but leaves the mode as it is.
void SetDialogTestModeForTesting(bool on);
int UnansweredDialogsForTesting();

}  // namespace sentrel::ui
