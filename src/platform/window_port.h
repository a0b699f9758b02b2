// How the scan pass (and the alerts it runs) reach the main window. The program's
// window implements it; tests implement it and record every call.
#pragma once

#include <string>

namespace sentrel {

// The application title: the executable's base name, caption of application messages.
inline constexpr const char* kAppTitle = "sentrel";

enum class MessageIcon { None, Exclamation, Stop, Question };
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

// What a pass needs of a window. A window without a display (the headless
// program's console) has only messages to give: titles, redraws and cursors
// show nothing unless a window overrides them.
class ScanWindow {
  public:
    virtual ~ScanWindow() = default;
    // Sets the window title; returns once it is applied.
    virtual void SetTitle(const std::string&) {}
    // Rebuilds the status list from the node table; returns once it is done.
    virtual void RedrawNow() {}
    // Shows a modal message and holds the calling thread until it is dismissed.
    // Callable from the scan thread and from the user-interface thread.
    virtual MessageAnswer ShowMessage(const std::string& text, const std::string& caption,
                                      MessageIcon icon, MessageButtons buttons) = 0;
    virtual void BeginWaitCursor() {}
    virtual void EndWaitCursor() {}
};

// MainWindowHandle: the window the pass talks to, or null (then titles, redraws
// and cursors go nowhere and messages answer Ok at once).
void SetMainWindowHandle(ScanWindow* window);
ScanWindow* MainWindowHandle();

// Called once the program is ending (whatever ends it): the user-interface
// thread serves the pass no more, so a window's request from another thread
// returns at once, a waiting one included, and messages answer Ok (No to a
// question). Cannot be undone.
void EndWindowService();
bool WindowServiceEnded();

// Convenience wrappers that tolerate a null window.
void WindowSetTitle(const std::string& title);
void WindowRedraw();
MessageAnswer WindowMessage(const std::string& text, const std::string& caption, MessageIcon icon,
                            MessageButtons buttons = MessageButtons::Ok);
void WindowBeginWaitCursor();
void WindowEndWaitCursor();

}  // namespace sentrel
