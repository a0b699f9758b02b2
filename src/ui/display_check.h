// Whether the window program has a display to open its window on, found before
// Qt is started: Qt ends a program without one by an abort (and a core dump).
#pragma once

#include <string>

namespace sentrel::ui {

// Empty when the Qt platform the program will use can reach its display, or
// needs none (offscreen, minimal, ...); otherwise the one line to print, which
// names what was tried and points to sentrel-monitor. argv may hold Qt's
// "-platform NAME".
std::string NoDisplayMessage(int argc, char** argv);

}  // namespace sentrel::ui
