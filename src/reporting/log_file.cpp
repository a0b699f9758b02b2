#include "reporting/log_file.h"

#include "platform/window_port.h"
#include "reporting/line_timestamp.h"
#include "reporting/locked_file.h"

namespace sentrel {

namespace {
constexpr const char* kLogOpenFailed = "*ERROR* Could not open LOG file.";
}  // namespace

bool WriteLogLine(const std::string& logPath, const std::string& address,
                  const std::string& statusText) {
    bool written = false;
    {
        LockedFile file;
        if (file.OpenAppend(logPath)) {
            const std::string line = ResultLine(LineTimestamp(), address, statusText);
            written = file.WriteWhole(line);
            written = file.Close() && written;
        }
    }
    // The file is closed (and unlocked) before the message holds the caller.
    if (!written) {
        WindowMessage(kLogOpenFailed, kAppTitle, MessageIcon::Exclamation);
    }
    return written;
}

}  // namespace sentrel
