// A hold of every alarm set from outside tarn.ini: by the window's menu or by
// `sentrel-monitor --hold`. The file beside the settings file (its name with
// ".hold" added) holds one line, "YYYY-MM-DD HH:MM" in local time, read as
// Hold_Until is. Every pass's alarm sweep reads it, so a running monitor
// follows it without a reload; ending the hold removes the file.
#pragma once

#include <ctime>
#include <string>

namespace sentrel {

std::string HoldFilePath();

// Holds every alarm until `until`, rounded up to its minute. False with *why.
bool WriteHoldFile(std::time_t until, std::string* why);

// Ends the file's hold; no file is no error. False with *why.
bool EndHoldFile(std::string* why);

// The end of the file's hold; 0 without a file or when its line is no time.
std::time_t ReadHoldFile();

// "YYYY-MM-DD HH:MM", local time.
std::string HoldText(std::time_t until);

// "90s", "30m", "2h", "1d" (a number alone counts minutes) in seconds, at most
// a year; -1 when malformed, zero or longer.
long long ParseHoldDuration(const std::string& text);

}  // namespace sentrel
