#include "alerts/alarm_hold.h"

#include <algorithm>
#include <mutex>
#include <set>

#include "config/hold_file.h"
#include "config/maintenance.h"

namespace sentrel {

namespace {

struct Parents {
    std::array<bool, kMaxNodes> counts{};  // the node's parent is taken into account
    std::vector<std::string> problems;
};

std::string NodeName(std::size_t i, const NodeEntry& node) {
    return "s" + std::to_string(i) + "parent of " + node.address;
}

// A parent counts when some node has its address and following parents from
// there never comes back to the node's own address.
Parents CheckParents(const NodeSlots& nodes) {
    Parents out;
    std::size_t used = 0;
    while (used < nodes.size() && !nodes[used].address.empty()) {
        ++used;
    }
    const auto known = [&](const std::string& address) {
        for (std::size_t j = 0; j < used; ++j) {
            if (nodes[j].address == address) {
                return true;
            }
        }
        return false;
    };
    for (std::size_t i = 0; i < used; ++i) {
        const NodeEntry& node = nodes[i];
        if (node.parent.empty()) {
            continue;
        }
        if (!known(node.parent)) {
            out.problems.push_back(NodeName(i, node) + ": no node has the address " + node.parent +
                                   "; ignored");
            continue;
        }
        std::set<std::string> seen;
        std::vector<std::string> next{node.parent};
        bool loop = false;
        while (!next.empty() && !loop) {
            const std::string at = next.back();
            next.pop_back();
            if (at == node.address) {
                loop = true;
            } else if (seen.insert(at).second) {
                for (std::size_t j = 0; j < used; ++j) {
                    if (nodes[j].address == at && !nodes[j].parent.empty()) {
                        next.push_back(nodes[j].parent);
                    }
                }
            }
        }
        if (loop) {
            out.problems.push_back(NodeName(i, node) + ": " + node.parent +
                                   " leads back to it; ignored");
        } else {
            out.counts[i] = true;
        }
    }
    return out;
}

struct Maintenance {
    std::vector<MaintenanceWindow> windows;
    bool holdSet = false;
    std::time_t holdUntil = 0;
    std::vector<std::string> problems;
};

Maintenance ReadMaintenance(const MonitorSettings& settings) {
    Maintenance out;
    for (std::size_t i = 0; i < settings.Maintenance.size(); ++i) {
        const std::string& text = settings.Maintenance[i];
        MaintenanceWindow window;
        std::string why;
        if (text.empty()) {
            continue;
        }
        if (ParseMaintenanceWindow(text, &window, &why)) {
            out.windows.push_back(std::move(window));
        } else {
            out.problems.push_back("[Maintenance] w" + std::to_string(i) + "=" + text + ": " + why +
                                   "; ignored");
        }
    }
    if (!settings.Hold_Until.empty()) {
        std::string why;
        out.holdSet = ParseHoldUntil(settings.Hold_Until, &out.holdUntil, &why);
        if (!out.holdSet) {
            out.problems.push_back("[Maintenance] Hold_Until=" + settings.Hold_Until + ": " + why +
                                   "; ignored");
        }
    }
    // The hold set from the window's menu or sentrel-monitor --hold, beside the file.
    if (const std::time_t file = ReadHoldFile(); file > 0) {
        out.holdUntil = out.holdSet ? std::max(out.holdUntil, file) : file;
        out.holdSet = true;
    }
    return out;
}

}  // namespace

const char* HoldReasonName(HoldReason reason) {
    switch (reason) {
        case HoldReason::Parent:
            return "parent";
        case HoldReason::Maintenance:
            return "maintenance";
        case HoldReason::None:
            break;
    }
    return "";
}

NodeHolds DecideHolds(const std::array<NodeSlot, kMaxNodes>& slots, const MonitorSettings& settings,
                      std::time_t now) {
    NodeHolds holds;
    NodeSlots nodes;
    std::size_t used = 0;
    for (; used < slots.size() && !slots[used].node.address.empty(); ++used) {
        nodes[used] = slots[used].node;
    }
    const Parents parents = CheckParents(nodes);
    const Maintenance maintenance = ReadMaintenance(settings);
    const bool holdAll = maintenance.holdSet && now < maintenance.holdUntil;
    const auto down = [&](const std::string& address) {
        for (std::size_t j = 0; j < used; ++j) {
            if (nodes[j].address == address && !IsFailureStatus(slots[j].status.statusText)) {
                return false;
            }
        }
        return true;
    };
    for (std::size_t i = 0; i < used; ++i) {
        bool inWindow = holdAll;
        for (const MaintenanceWindow& window : maintenance.windows) {
            inWindow = inWindow ||
                       (WindowHoldsNode(window, nodes[i].address) && WindowCovers(window, now));
        }
        if (inWindow) {
            holds[i].reason = HoldReason::Maintenance;
        } else if (parents.counts[i] && down(nodes[i].parent)) {
            holds[i] = {HoldReason::Parent, nodes[i].parent};
        }
    }
    return holds;
}

std::time_t AlarmsHeldUntil(const MonitorSettings& settings, std::time_t now) {
    const Maintenance maintenance = ReadMaintenance(settings);
    return maintenance.holdSet && now < maintenance.holdUntil ? maintenance.holdUntil : 0;
}

std::vector<std::string> HoldProblems(const MonitorSettings& settings) {
    std::vector<std::string> problems = CheckParents(settings.NodeList).problems;
    for (std::string& line : ReadMaintenance(settings).problems) {
        problems.push_back(std::move(line));
    }
    return problems;
}

void SayNewHoldProblems(const MonitorSettings& settings,
                        const std::function<void(const std::string&)>& say) {
    static std::mutex mutex;
    static std::set<std::string> said;
    for (const std::string& line : HoldProblems(settings)) {
        std::unique_lock lock(mutex);
        if (said.insert(line).second && say) {
            lock.unlock();
            say(line);
        }
    }
}

}  // namespace sentrel
