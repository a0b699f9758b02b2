// Which nodes' alarms a pass holds back: those standing behind a parent node that
// is down in the same pass, and those a maintenance window or Hold_Until covers.
// Held nodes are probed and recorded as always; only their alarms wait.
#pragma once

#include <array>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "config/node_table.h"
#include "config/settings.h"

namespace sentrel {

struct NodeHold {
    HoldReason reason = HoldReason::None;
    std::string parent;  // the parent's address when held by it
};
using NodeHolds = std::array<NodeHold, kMaxNodes>;

// "parent", "maintenance", or "" for none.
const char* HoldReasonName(HoldReason reason);

// The holds of a pass at `now`, from the whole pass's results: a parent is down
// when every node with its address has a failure text. A maintenance window or
// Hold_Until wins over a parent. Malformed entries, missing parents and
// parents leading back to their node are ignored (HoldProblems names them).
NodeHolds DecideHolds(const std::array<NodeSlot, kMaxNodes>& slots, const MonitorSettings& settings,
                      std::time_t now);

// The end of the hold of every alarm (Hold_Until or the hold file) while it
// lasts at `now`; 0 when none holds.
std::time_t AlarmsHeldUntil(const MonitorSettings& settings, std::time_t now);

// One line for each parent, window or Hold_Until in the settings that is
// ignored, and why.
std::vector<std::string> HoldProblems(const MonitorSettings& settings);

// The lines of HoldProblems not yet said in this process, each handed to `say`
// once (after every load of the settings).
void SayNewHoldProblems(const MonitorSettings& settings,
                        const std::function<void(const std::string&)>& say);

}  // namespace sentrel
