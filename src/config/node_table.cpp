#include "config/node_table.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <limits>
#include <mutex>
#include <utility>

namespace sentrel {

std::atomic<int> ScanBusy{0};
std::atomic<int> ScanAbort{0};
std::atomic<int> MonitorRunning{0};

namespace {

constexpr std::size_t kRowNameWidth = 40;
constexpr std::size_t kRowColumn = 41;

std::string Cut(const std::string& text, std::size_t limit) {
    return text.size() > limit ? text.substr(0, limit) : text;
}

// Bytes of the character at `at`: a whole UTF-8 sequence, or a single byte that
// does not start one.
std::size_t CharBytes(const std::string& text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0xC0   ? 1
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                               : lead < 0xF8 ? 4
                                             : 1;
    if (at + length > text.size()) {
        return 1;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) {
            return 1;
        }
    }
    return length;
}

// The first `limit` characters of the text and their count.
std::pair<std::string, std::size_t> CutChars(const std::string& text, std::size_t limit) {
    std::size_t at = 0;
    std::size_t chars = 0;
    for (; at < text.size() && chars < limit; ++chars) {
        at += CharBytes(text, at);
    }
    return {text.substr(0, at), chars};
}

NodeEntry CutNode(const NodeEntry& node) {
    NodeEntry cut = node;
    cut.address = Cut(node.address, kNodeAddressMax);
    cut.port = Cut(node.port, kNodePortMax);
    cut.title = Cut(node.title, kNodeTitleMax);
    cut.parent = Cut(node.parent, kNodeAddressMax);
    return cut;
}

bool ValidIndex(int index) {
    return index >= 0 && index < kMaxNodes;
}

bool EqualsNoCase(const std::string& a, const char* b) {
    std::size_t n = std::char_traits<char>::length(b);
    if (a.size() != n) {
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// The same node as far as probing goes: a changed parent keeps its counts.
bool SameProbe(NodeEntry a, NodeEntry b) {
    a.parent.clear();
    b.parent.clear();
    return a == b;
}

std::mutex& LastScanMutex() {
    static std::mutex m;
    return m;
}

std::string& LastScanStore() {
    static std::string text;
    return text;
}

}  // namespace

struct NodeTable::Impl {
    mutable std::mutex mutex;
    std::array<NodeSlot, kMaxNodes> slots{};
};

NodeTable::Impl& NodeTable::impl() {
    static Impl instance;
    return instance;
}

NodeTable& NodeTable::Instance() {
    static NodeTable table;
    return table;
}

NodeSlot NodeTable::Get(int index) const {
    if (!ValidIndex(index)) {
        return NodeSlot{};
    }
    Impl& d = impl();
    std::lock_guard lock(d.mutex);
    return d.slots[static_cast<std::size_t>(index)];
}

void NodeTable::Set(int index, const NodeSlot& slot) {
    if (!ValidIndex(index)) {
        return;
    }
    NodeSlot cut = slot;
    cut.node = CutNode(slot.node);
    cut.status.ipText = Cut(slot.status.ipText, kIpTextMax);
    Impl& d = impl();
    std::lock_guard lock(d.mutex);
    d.slots[static_cast<std::size_t>(index)] = std::move(cut);
}

void NodeTable::SetNode(int index, const NodeEntry& node) {
    if (!ValidIndex(index)) {
        return;
    }
    NodeEntry cut = CutNode(node);
    Impl& d = impl();
    std::lock_guard lock(d.mutex);
    d.slots[static_cast<std::size_t>(index)].node = std::move(cut);
}

void NodeTable::SetStatus(int index, const NodeStatus& status) {
    if (!ValidIndex(index)) {
        return;
    }
    NodeStatus cut = status;
    cut.ipText = Cut(status.ipText, kIpTextMax);
    Impl& d = impl();
    std::lock_guard lock(d.mutex);
    d.slots[static_cast<std::size_t>(index)].status = std::move(cut);
}

void NodeTable::SetAddress(int index, const IpAddress& ip) {
    if (!ValidIndex(index)) {
        return;
    }
    std::string text = Cut(IpAddressText(ip), kIpTextMax);
    Impl& d = impl();
    std::lock_guard lock(d.mutex);
    NodeStatus& status = d.slots[static_cast<std::size_t>(index)].status;
    status.ipText = std::move(text);
    status.ip = ip;
}

void NodeTable::DefaultPortIfEmpty(int index, const std::string& port) {
    if (!ValidIndex(index)) {
        return;
    }
    Impl& d = impl();
    std::lock_guard lock(d.mutex);
    NodeEntry& node = d.slots[static_cast<std::size_t>(index)].node;
    if (node.port.empty()) {
        node.port = Cut(port, kNodePortMax);
    }
}

NodeStatus NodeTable::ApplyProbeResult(int index, std::int32_t result,
                                       const std::string& failureText, std::int32_t httpStatus) {
    if (!ValidIndex(index)) {
        return NodeStatus{};
    }
    Impl& d = impl();
    std::lock_guard lock(d.mutex);
    NodeSlot& slot = d.slots[static_cast<std::size_t>(index)];
    if (result >= 1) {
        slot.status.statusText = SuccessStatusText(slot.node.probeType, result, httpStatus);
        slot.status.failCount = 0;
        slot.status.alarmCount = 0;
        slot.status.failingSinceMs = 0;
    } else {
        if (slot.status.failCount == 0) {
            slot.status.failingSinceMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::system_clock::now().time_since_epoch())
                                             .count();
        }
        // A count that has reached the top of its range stays there.
        if (slot.status.failCount < std::numeric_limits<std::int32_t>::max()) {
            ++slot.status.failCount;
        }
        slot.status.statusText =
            failureText.empty() ? FailureStatusText(slot.status.failCount) : failureText;
    }
    return slot.status;
}

void NodeTable::Modify(int index, const std::function<void(NodeSlot&)>& change) {
    if (!ValidIndex(index) || !change) {
        return;
    }
    Impl& d = impl();
    std::lock_guard lock(d.mutex);
    change(d.slots[static_cast<std::size_t>(index)]);
}

std::array<NodeSlot, kMaxNodes> NodeTable::Snapshot() const {
    Impl& d = impl();
    std::lock_guard lock(d.mutex);
    return d.slots;
}

void NodeTable::Reset() {
    Impl& d = impl();
    std::lock_guard lock(d.mutex);
    for (NodeSlot& slot : d.slots) {
        slot = NodeSlot{};
    }
}

void NodeTable::ResetStatusTexts() {
    Impl& d = impl();
    std::lock_guard lock(d.mutex);
    for (NodeSlot& slot : d.slots) {
        slot.status.statusText = kUnknownStatus;
    }
}

void ResetNodeTable() {
    NodeTable::Instance().Reset();
}

void ReloadSettingsKeepingNodeState() {
    NodeTable& table = NodeTable::Instance();
    const NodeSlots before = CurrentSettings().NodeList;
    const std::array<NodeSlot, kMaxNodes> state = table.Snapshot();
    table.Reset();
    LoadSettings();
    const NodeSlots after = CurrentSettings().NodeList;
    std::array<bool, kMaxNodes> given{};
    for (std::size_t i = 0; i < after.size() && !after[i].address.empty(); ++i) {
        for (std::size_t j = 0; j < before.size() && !before[j].address.empty(); ++j) {
            if (!given[j] && SameProbe(before[j], after[i])) {
                given[j] = true;
                table.SetStatus(static_cast<int>(i), state[j].status);
                break;
            }
        }
    }
}

bool IsFailureStatus(const std::string& statusText) {
    static constexpr char kMark[] = "*ERROR*";
    constexpr std::size_t n = sizeof(kMark) - 1;
    if (statusText.size() < n) {
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (std::toupper(static_cast<unsigned char>(statusText[i])) != kMark[i]) {
            return false;
        }
    }
    return true;
}

std::string StatusRowText(const NodeSlot& slot) {
    // Cut and padded by characters, not bytes, so the status column stays put
    // whatever letters a title holds.
    const bool titled = !slot.node.title.empty();
    auto [row, chars] = CutChars(titled ? slot.node.title : slot.node.address, kRowNameWidth);
    if (!titled && !slot.node.port.empty() && !EqualsNoCase(slot.node.port, "80")) {
        const std::string suffix = " port:" + slot.node.port;
        row += suffix;
        chars += CutChars(suffix, suffix.size()).second;
    }
    if (chars < kRowColumn) {
        row.append(kRowColumn - chars, ' ');
    }
    row += slot.status.statusText;
    if (slot.status.held != HoldReason::None && IsFailureStatus(slot.status.statusText)) {
        row += slot.status.held == HoldReason::Parent ? " (held: " + slot.status.heldBehind + ")"
                                                      : std::string(" (held: maintenance)");
    }
    return row;
}

std::vector<std::string> StatusRows() {
    std::array<NodeSlot, kMaxNodes> slots = NodeTable::Instance().Snapshot();
    std::vector<std::string> rows;
    for (const NodeSlot& slot : slots) {
        if (slot.node.address.empty()) {
            break;
        }
        rows.push_back(StatusRowText(slot));
    }
    return rows;
}

std::string SuccessStatusText(std::int32_t probeType, std::int32_t result,
                              std::int32_t httpStatus) {
    const std::int32_t kind = ProbeKind(probeType);
    if (kind == HTTPD) {
        return "HTTP: " + std::to_string(result) + " bytes. ";
    }
    std::string text = std::string(ProbeKindName(kind)) + ": ";
    if (kind == HTTPS && httpStatus > 0) {
        text += std::to_string(httpStatus) + ", ";
    }
    return text + std::to_string(result) + " ms. ";
}

std::string FailureStatusText(std::int32_t failCount) {
    return "*ERROR* count: " + std::to_string(failCount);
}

std::string GetLastScanText() {
    std::lock_guard lock(LastScanMutex());
    return LastScanStore();
}

void SetLastScanText(const std::string& text) {
    std::lock_guard lock(LastScanMutex());
    LastScanStore() = text;
}

}  // namespace sentrel
