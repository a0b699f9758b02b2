// The command line of sentrel-monitor.
#pragma once

#include <string>
#include <vector>

namespace sentrel::monitor {

inline constexpr const char* kUsage =
    "usage: sentrel-monitor [--config FILE] [--once [--alarms] | --hold TIME]\n"
    "  --config FILE  read FILE instead of the user's tarn.ini\n"
    "  --once         one pass, one line per node; exit 0 when every node\n"
    "                 answered, 2 when any failed\n"
    "  --alarms       with --once: raise the configured alarms too\n"
    "  --hold TIME    hold every alarm of the monitors of this settings file\n"
    "                 for TIME (30m, 2h, 1d); --hold off ends that hold\n";

struct MonitorArgs {
    std::string config;  // empty: the user's tarn.ini
    bool once = false;
    bool alarms = false;
    bool help = false;
    std::string hold;  // --hold: a duration (see ParseHoldDuration) or "off"; empty: none
};

// Parses the arguments after the program name. False with *error set on an
// unknown option, a missing value, --alarms without --once, or a --hold that
// is no duration or goes with --once.
bool ParseMonitorArgs(const std::vector<std::string>& args, MonitorArgs* out, std::string* error);

}  // namespace sentrel::monitor
