// The 24-character local time that starts every log and report line.
#pragma once

#include <ctime>
#include <string>

namespace sentrel {

// "Thu Jan 02 09:05:07 1997": English names whatever the locale, zero-padded day.
std::string LineTimestamp(const std::tm& local);
// The same for the current local time.
std::string LineTimestamp();

// asctime form for LastScanText: the same 24 characters (two-digit day, single
// blanks) and a trailing line feed.
std::string AsctimeText(const std::tm& local);
std::string AsctimeText();

// The line shared by the log and the text report:
// timestamp, "  Server: ", address, " - ", status, " ", "\r\n".
std::string ResultLine(const std::string& timestamp, const std::string& address,
                       const std::string& statusText);

}  // namespace sentrel
