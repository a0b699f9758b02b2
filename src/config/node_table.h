// The engine's 100 node slots with their run-time state, and the flags shared by
// the user-interface thread and the scan thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/settings.h"
#include "platform/ip_address.h"

namespace sentrel {

inline constexpr const char* kUnknownStatus = "*unknown*";
// An IPv6 literal (at most 45) with a zone ('%' and an interface name of up to 15).
inline constexpr std::size_t kIpTextMax = 61;
inline constexpr std::size_t kNodeAddressMax = 99;
inline constexpr std::size_t kNodePortMax = 5;
inline constexpr std::size_t kNodeTitleMax = 99;

// Why a node's alarms are held in the latest pass (see alerts/alarm_hold.h).
enum class HoldReason : std::int8_t {
    None,
    Parent,       // the node it stands behind is down
    Maintenance,  // a maintenance window or Hold_Until covers it
};

struct NodeStatus {
    std::string ipText;  // address literal used by the probes; empty until known
    std::string statusText = kUnknownStatus;
    std::int32_t failCount = 0;       // consecutive failed probes
    std::int32_t alarmCount = 0;      // alarms raised during the current run of failures
    std::int64_t failingSinceMs = 0;  // wall clock (ms since the epoch) of the run's first failure
    // Set by each pass's alarm sweep: whether, and why, the node's alarms are held.
    HoldReason held = HoldReason::None;
    std::string heldBehind{};  // the parent's address when held by it
    IpAddress ip{};            // ipText as the probes take it, once ipText is known
};

struct NodeSlot {
    NodeEntry node;
    NodeStatus status;
};

// Process-wide table. Every access takes a short internal lock, so a status write
// by the pass never interleaves with STOP's reset or a redraw's read.
class NodeTable {
  public:
    static NodeTable& Instance();

    NodeSlot Get(int index) const;
    void Set(int index, const NodeSlot& slot);
    // Copies a node's fields (not its status) into the slot, cut to the slot's limits.
    void SetNode(int index, const NodeEntry& node);
    void SetStatus(int index, const NodeStatus& status);
    // The address the probes use, found once: ipText (its text) and ip.
    void SetAddress(int index, const IpAddress& ip);
    // Stores `port` as the node's port when the slot's port is empty.
    void DefaultPortIfEmpty(int index, const std::string& port);
    // Applies one probe result to the slot's status in one step under the lock:
    // a success sets its text and clears both counts; a failure raises failCount
    // and sets the failure text: `failureText` when given, else the count's.
    // `httpStatus` is an HTTPS answer's status code, shown in its success text.
    // Returns the status as it now is.
    NodeStatus ApplyProbeResult(int index, std::int32_t result, const std::string& failureText = {},
                                std::int32_t httpStatus = 0);
    // Runs `change` on the slot under the lock (for read-modify-write of a slot;
    // `change` must not call back into the table).
    void Modify(int index, const std::function<void(NodeSlot&)>& change);
    // All 100 slots at once, under one lock.
    std::array<NodeSlot, kMaxNodes> Snapshot() const;

    // Every field cleared: texts empty, HTTPD, "*unknown*", counts 0.
    void Reset();
    // STOP: statusText "*unknown*" in all 100 slots, nothing else touched.
    void ResetStatusTexts();

  private:
    NodeTable() = default;
    struct Impl;
    static Impl& impl();
};

// Clears every slot (start-up, and after the setup sheet's OK).
void ResetNodeTable();

// Reads the settings file again (LoadSettings) into the table, keeping the
// run-time state (status text, both counts, looked-up address) of every node
// whose fields (address, port, probe type, title and the kinds' keys) are unchanged, wherever it
// now stands; each node before gives its state to at most one after. New and changed nodes start
// fresh, removed ones go. Called between passes.
void ReloadSettingsKeepingNodeState();

// True when the status text begins with "*ERROR*", compared without regard to case.
bool IsFailureStatus(const std::string& statusText);

// The status list row of one slot: the name part (title, or address plus
// " port:" and the port when it is not empty and not "80"), padded with blanks to
// 41 characters, then the status text; a failing node whose alarms are held
// adds " (held: <parent>)" or " (held: maintenance)".
std::string StatusRowText(const NodeSlot& slot);

// One row per slot in table order up to the first empty address.
std::vector<std::string> StatusRows();

// The status text of a probe result: "PING: n ms. ", "HTTP: n bytes. ",
// "TCP: n ms. ", "HTTPS: code, n ms. " ("HTTPS: n ms. " without a code),
// "DNS: n ms. ", or "*ERROR* count: n" (a failCount of more than six digits is
// shown whole).
std::string SuccessStatusText(std::int32_t probeType, std::int32_t result,
                              std::int32_t httpStatus = 0);
std::string FailureStatusText(std::int32_t failCount);

// Pass control flags and the scheduler's state.
extern std::atomic<int> ScanBusy;
extern std::atomic<int> ScanAbort;
extern std::atomic<int> MonitorRunning;

// asctime form of the latest pass start (24 characters and "\n"); empty until then.
std::string GetLastScanText();
void SetLastScanText(const std::string& text);

}  // namespace sentrel
