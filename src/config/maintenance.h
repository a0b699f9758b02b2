// Maintenance windows and Hold_Until: their text as hand-edited in section
// Maintenance, and whether they cover a moment. Local time throughout, from the
// process's time zone (TZ).
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace sentrel {

// "<days> <HH:MM>-<HH:MM>[ nodes=<address>,<address>...]": days are "daily",
// one of Mon..Sun or a range such as Mon-Fri (Fri-Mon wraps round the week),
// named without regard to case. The days name the day a window opens on; an end
// before the start closes it on the next day.
struct MaintenanceWindow {
    unsigned days = 0;               // bit 0 Sunday .. bit 6 Saturday, as tm_wday counts
    int startMinute = 0;             // minutes after midnight
    int lengthMinutes = 0;           // 1 .. 1439
    std::vector<std::string> nodes;  // addresses as written in s<N>node; empty: every node
};

// False with the reason in *why when the text is not a window.
bool ParseMaintenanceWindow(const std::string& text, MaintenanceWindow* window, std::string* why);

// "YYYY-MM-DD HH:MM", local time: the moment a hold ends. False with *why when malformed.
bool ParseHoldUntil(const std::string& text, std::time_t* until, std::string* why);

// The moment a window opening on the local day of `day` (any moment of that
// day) opens: the first moment whose local clock reads the start or later.
// Clocks jumping forward over the start open it when the jump ends; clocks
// going back open it at the first time the clock reads the start.
std::time_t WindowOpening(const MaintenanceWindow& window, std::time_t day);

// True when `now` lies in a window that opened on that local day or the day
// before and has not yet lasted its length in real minutes.
bool WindowCovers(const MaintenanceWindow& window, std::time_t now);

// True when the window holds the node with this address.
bool WindowHoldsNode(const MaintenanceWindow& window, const std::string& address);

}  // namespace sentrel
