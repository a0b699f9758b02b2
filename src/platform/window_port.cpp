#include "platform/window_port.h"

#include <atomic>

namespace sentrel {

namespace {
std::atomic<ScanWindow*> g_mainWindow{nullptr};
std::atomic<bool> g_serviceEnded{false};
}  // namespace

void EndWindowService() {
    g_serviceEnded.store(true);
}

bool WindowServiceEnded() {
    return g_serviceEnded.load();
}

void SetMainWindowHandle(ScanWindow* window) {
    g_mainWindow.store(window);
}

ScanWindow* MainWindowHandle() {
    return g_mainWindow.load();
}

void WindowSetTitle(const std::string& title) {
    if (ScanWindow* w = MainWindowHandle()) {
        w->SetTitle(title);
    }
}

void WindowRedraw() {
    if (ScanWindow* w = MainWindowHandle()) {
        w->RedrawNow();
    }
}

MessageAnswer WindowMessage(const std::string& text, const std::string& caption, MessageIcon icon,
                            MessageButtons buttons) {
    if (ScanWindow* w = MainWindowHandle()) {
        return w->ShowMessage(text, caption, icon, buttons);
    }
    return MessageAnswer::Ok;
}

void WindowBeginWaitCursor() {
    if (ScanWindow* w = MainWindowHandle()) {
        w->BeginWaitCursor();
    }
}

void WindowEndWaitCursor() {
    if (ScanWindow* w = MainWindowHandle()) {
        w->EndWaitCursor();
    }
}

}  // namespace sentrel
