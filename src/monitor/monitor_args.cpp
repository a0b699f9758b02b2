#include "monitor/monitor_args.h"

#include "config/hold_file.h"

namespace sentrel::monitor {

bool ParseMonitorArgs(const std::vector<std::string>& args, MonitorArgs* out, std::string* error) {
    *out = MonitorArgs{};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--once") {
            out->once = true;
        } else if (arg == "--alarms") {
            out->alarms = true;
        } else if (arg == "--help" || arg == "-h") {
            out->help = true;
        } else if (arg == "--config" || arg.rfind("--config=", 0) == 0) {
            if (arg == "--config") {
                if (i + 1 == args.size()) {
                    *error = "--config needs a file name";
                    return false;
                }
                out->config = args[++i];
            } else {
                out->config = arg.substr(9);
            }
            if (out->config.empty()) {
                *error = "--config needs a file name";
                return false;
            }
        } else if (arg == "--hold") {
            out->hold = i + 1 < args.size() ? args[++i] : "";
            if (out->hold != "off" && ParseHoldDuration(out->hold) < 0) {
                *error = "--hold needs a time such as 30m, 2h or 1d, or off";
                return false;
            }
        } else {
            *error = "unknown argument: " + arg;
            return false;
        }
    }
    if (out->once && !out->hold.empty()) {
        *error = "--hold goes without --once";
        return false;
    }
    if (out->alarms && !out->once) {
        *error = "--alarms goes with --once (monitoring always raises alarms)";
        return false;
    }
    return true;
}

}  // namespace sentrel::monitor
