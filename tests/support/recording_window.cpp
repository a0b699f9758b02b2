#include "support/recording_window.h"

#include "engine/node_table.h"

namespace sentrel::testing {

RecordingWindow::RecordingWindow() { SetMainWindowHandle(this); }

RecordingWindow::~RecordingWindow() {
    if (MainWindowHandle() == this) {
        SetMainWindowHandle(nullptr);
    }
}

void RecordingWindow::SetTitle(const std::string& title) {
    std::lock_guard lock(mutex_);
    titles_.push_back(title);
    calls_.push_back("title:" + title);
}

void RecordingWindow::RedrawNow() {
    std::vector<std::string> rows = StatusRows();
    std::function<void(const std::vector<std::string>&)> hook;
    {
        std::lock_guard lock(mutex_);
        redraws_.push_back(rows);
        calls_.push_back("redraw");
        hook = redrawHook_;
    }
    if (hook) {
        hook(rows);
    }
}

MessageAnswer RecordingWindow::ShowMessage(const std::string& text, const std::string& caption,
                                           MessageIcon icon, MessageButtons buttons) {
    RecordedMessage m{text, caption, icon, buttons};
    std::function<MessageAnswer(const RecordedMessage&)> hook;
    {
        std::lock_guard lock(mutex_);
        messages_.push_back(m);
        calls_.push_back("message:" + text);
        hook = messageHook_;
    }
    if (hook) {
        return hook(m);
    }
    return buttons == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
}

void RecordingWindow::BeginWaitCursor() {
    std::lock_guard lock(mutex_);
    calls_.push_back("cursor:on");
}

void RecordingWindow::EndWaitCursor() {
    std::lock_guard lock(mutex_);
    calls_.push_back("cursor:off");
}

void RecordingWindow::OnRedraw(std::function<void(const std::vector<std::string>&)> hook) {
    std::lock_guard lock(mutex_);
    redrawHook_ = std::move(hook);
}

void RecordingWindow::OnMessage(std::function<MessageAnswer(const RecordedMessage&)> hook) {
    std::lock_guard lock(mutex_);
    messageHook_ = std::move(hook);
}

std::vector<std::string> RecordingWindow::Titles() const {
    std::lock_guard lock(mutex_);
    return titles_;
}

std::vector<RecordedMessage> RecordingWindow::Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

std::vector<std::vector<std::string>> RecordingWindow::Redraws() const {
    std::lock_guard lock(mutex_);
    return redraws_;
}

std::vector<std::string> RecordingWindow::Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

void RecordingWindow::Clear() {
    std::lock_guard lock(mutex_);
    titles_.clear();
    messages_.clear();
    redraws_.clear();
    calls_.clear();
}

}  // namespace sentrel::testing
