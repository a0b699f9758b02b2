// The numeric page through a Hayes modem on a serial port.
#pragma once

#include <functional>
#include <string>

#include "config/settings.h"

namespace sentrel {

struct PageRequest {
    bool com1 = false;
    bool com2 = false;
    std::string com1Device = keys::Com_1_Device.fallback;
    std::string com2Device = keys::Com_2_Device.fallback;
    std::string phone;
    std::string message;
    int delay = keys::Pager_Delay.DefaultNumber();  // Pager_Delay, 1..9
};

enum class PageOutcome { Sent, PortUnusable, WriteFailed, NoPort };

// The page dialogue. Port errors are shown through the main window
// ("Comm Port could not be used.", caption "Paging Error"). testForm adds the
// queue clearing and the first-write check of the Alerts page's Test button.
PageOutcome SendPage(const PageRequest& request, bool testForm = false);

// The request the end-of-pass alerts use: the saved settings.
PageRequest PageRequestFromSettings(const MonitorSettings& settings);

// Tests only: milliseconds per second of pause (1000 in the program).
void SetPagerPauseUnitForTesting(int millisecondsPerSecond);

// Tests only: called on the paging thread right after the port has opened, before
// anything is written (e.g. to drop the line and make the first write fail).
// An empty function removes it.
void SetPagerAfterOpenHookForTesting(std::function<void()> hook);

}  // namespace sentrel
