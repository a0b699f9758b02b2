// A main window stand-in for tests: records every call the scan pass makes and
// answers messages at once (or as told).
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/window_port.h"

namespace sentrel::testing {

struct RecordedMessage {
    std::string text;
    std::string caption;
    MessageIcon icon;
    MessageButtons buttons;
};

class RecordingWindow : public ScanWindow {
public:
    RecordingWindow();   // installs itself as the main window
    ~RecordingWindow() override;  // uninstalls itself

    void SetTitle(const std::string& title) override;
    void RedrawNow() override;
    MessageAnswer ShowMessage(const std::string& text, const std::string& caption,
                              MessageIcon icon, MessageButtons buttons) override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;

    // Called on every redraw with the rows as the window would show them.
    void OnRedraw(std::function<void(const std::vector<std::string>&)> hook);
    // Called when a message is shown (on the calling thread, before it returns).
    void OnMessage(std::function<MessageAnswer(const RecordedMessage&)> hook);

    std::vector<std::string> Titles() const;
    std::vector<RecordedMessage> Messages() const;
    std::vector<std::vector<std::string>> Redraws() const;  // rows at each redraw
    // Every call in order: "title:<text>", "redraw", "message:<text>", "cursor:on", "cursor:off".
    std::vector<std::string> Calls() const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> titles_;
    std::vector<RecordedMessage> messages_;
    std::vector<std::vector<std::string>> redraws_;
    std::vector<std::string> calls_;
    std::function<void(const std::vector<std::string>&)> redrawHook_;
    std::function<MessageAnswer(const RecordedMessage&)> messageHook_;
};

}  // namespace sentrel::testing
