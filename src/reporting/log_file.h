// The appended log of probe results.
#pragma once

#include <string>

namespace sentrel {

// Appends one line to the file at logPath: opened, advisory-locked, written in
// one write, closed. A file that cannot be opened or written shows
// "*ERROR* Could not open LOG file." through the main window and holds the
// caller until it is dismissed. Returns true when the line was written.
bool WriteLogLine(const std::string& logPath, const std::string& address,
                  const std::string& statusText);

}  // namespace sentrel
