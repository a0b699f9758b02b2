// The command line of sentrel-monitor.
#pragma once

#include <string>
#include <vector>

namespace sentrel::monitor {

inline constexpr const char* kUsage =
    "usage: sentrel-monitor [--config FILE] [--once [--alarms]]\n"
    "  --config FILE  read FILE instead of the user's tarn.ini\n"
    "  --once         one pass, one line per node; exit 0 when every node\n"
    "                 answered, 2 when any failed\n"
    "  --alarms       with --once: raise the configured alarms too\n";

struct MonitorArgs {
    std::string config;  // empty: the user's tarn.ini
    bool once = false;
    bool alarms = false;
    bool help = false;
};

// Parses the arguments after the program name. False with *error set on an
// unknown option, a missing value, or --alarms without --once.
bool ParseMonitorArgs(const std::vector<std::string>& args, MonitorArgs* out, std::string* error);

}  // namespace sentrel::monitor
