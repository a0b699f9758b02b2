#include "config/settings.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <type_traits>
#include <variant>
#include <vector>

#include "config/node_table.h"
#include "config/profile_file.h"
#include "config/settings_keys.h"

namespace sentrel {

namespace {

std::mutex& SettingsMutex() {
    static std::mutex mutex;
    return mutex;
}

MonitorSettings& Settings() {
    static MonitorSettings settings;
    return settings;
}

std::string SlotKey(const SettingKey& key, int slot) {
    char name[32];
    std::snprintf(name, sizeof name, key.name, slot);
    return name;
}

// A choice as read: its own spelling when it names one, the default when empty,
// else the text as read (for the user of the key to refuse by name).
std::string Chosen(const SettingKey& key, const std::string& text) {
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower.empty()) {
        return key.fallback;
    }
    const auto named = std::find_if(key.choices.begin(), key.choices.end(),
                                    [&](const char* choice) { return lower == choice; });
    return named != key.choices.end() ? *named : text;
}

// The key `name` (the key's own, or a slot's) read into its field, as its kind reads.
template <typename Holder, typename Place>
void ReadInto(const ProfileFile& file, const SettingKey& key, const std::string& name, Holder& into,
              const Place& place) {
    const std::string text =
        file.Get(key.section, name, key.fallback, static_cast<std::size_t>(key.limit));
    std::visit(
        [&](auto field) {
            using Value = std::remove_reference_t<decltype(into.*field)>;
            if constexpr (std::is_same_v<Value, bool>) {
                into.*field = text == "1";  // on exactly when the first character is "1"
            } else if constexpr (std::is_integral_v<Value>) {
                into.*field = key.Bounded(ToInt(text));
            } else if constexpr (std::is_same_v<Value, std::string>) {
                into.*field = key.kind == KeyKind::Choice ? Chosen(key, text) : text;
            }
        },
        place);
}

// A field as written: the sheet's input limit holds, a flag is "1" or "0".
// Nothing for a per-node value that is empty, off or not above 0.
template <typename Holder, typename Place>
std::optional<std::string> Written(const SettingKey& key, const Holder& from, const Place& place,
                                   bool perNode) {
    return std::visit(
        [&](auto field) -> std::optional<std::string> {
            const auto& value = from.*field;
            using Value = std::remove_cvref_t<decltype(value)>;
            if constexpr (std::is_same_v<Value, bool>) {
                return perNode && !value ? std::nullopt
                                         : std::optional<std::string>(value ? "1" : "0");
            } else if constexpr (std::is_integral_v<Value>) {
                return perNode && value <= 0 ? std::nullopt
                                             : std::optional<std::string>(std::to_string(value));
            } else if constexpr (std::is_same_v<Value, std::string>) {
                const std::string text =
                    key.fieldLimit > 0 ? Utf8Cut(value, static_cast<std::size_t>(key.fieldLimit))
                                       : value;
                return perNode && text.empty() ? std::nullopt : std::optional<std::string>(text);
            } else {
                return std::nullopt;
            }
        },
        place);
}

// The spelling a key is written under, on or off.
const char* WrittenName(const SettingKey& key, const std::string& value) {
    const char* on = key.writtenAs != nullptr ? key.writtenAs : key.name;
    return key.kind == KeyKind::Flag && value == "0" && key.writtenOffAs != nullptr
               ? key.writtenOffAs
               : on;
}

std::string HomeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        return home;
    }
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return ".";
}

}  // namespace

int ToInt(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value <= static_cast<long long>(INT_MAX) + 1) {
            value = value * 10 + (text[i] - '0');
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

namespace {

std::mutex& PathMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string& PathOverride() {
    static std::string path;
    return path;
}

}  // namespace

void SetSettingsFilePath(const std::string& path) {
    std::lock_guard<std::mutex> lock(PathMutex());
    PathOverride() = path;
}

std::string SettingsFilePath() {
    {
        std::lock_guard<std::mutex> lock(PathMutex());
        if (!PathOverride().empty()) {
            return PathOverride();
        }
    }
    // A relative XDG_CONFIG_HOME is ignored, as the base directory rules ask.
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
        return std::string(xdg) + "/sentrel/tarn.ini";
    }
    return HomeDirectory() + "/.config/sentrel/tarn.ini";
}

std::string StateDirectory() {
    // A relative XDG_STATE_HOME is ignored, as the base directory rules ask.
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && xdg[0] == '/') {
        return std::string(xdg) + "/sentrel";
    }
    return HomeDirectory() + "/.local/state/sentrel";
}

std::int32_t ProbeKind(std::int32_t probeType) {
    switch (probeType) {
        case HTTPD:
        case TCP:
        case HTTPS:
        case DNS:
            return probeType;
        default:
            return PING;
    }
}

const char* ProbeKindName(std::int32_t probeType) {
    static constexpr const char* kNames[] = {"HTTPD", "PING", "TCP", "HTTPS", "DNS"};
    return kNames[ProbeKind(probeType)];
}

namespace {

bool HasAddress(const NodeSlots& nodes, const std::string& address) {
    return std::any_of(nodes.begin(), nodes.end(),
                       [&](const NodeEntry& node) { return node.address == address; });
}

// Every parent `from` becomes `to` (empty: no parent).
void MoveChildren(NodeSlots& nodes, const std::string& from, const std::string& to) {
    for (NodeEntry& node : nodes) {
        if (!node.address.empty() && node.parent == from) {
            node.parent = to;
        }
    }
}

}  // namespace

void RemoveNode(NodeSlots& nodes, int slot) {
    if (slot < 0 || slot >= kMaxNodes) {
        return;
    }
    const std::string gone = nodes[static_cast<std::size_t>(slot)].address;
    std::move(nodes.begin() + slot + 1, nodes.end(), nodes.begin() + slot);
    nodes.back() = NodeEntry{};
    if (!gone.empty() && !HasAddress(nodes, gone)) {
        MoveChildren(nodes, gone, "");
    }
}

void ReplaceNode(NodeSlots& nodes, int slot, NodeEntry node) {
    if (slot < 0 || slot >= kMaxNodes) {
        return;
    }
    NodeEntry& old = nodes[static_cast<std::size_t>(slot)];
    const std::string before = old.address;
    node.parent = old.parent;
    old = std::move(node);
    if (!before.empty() && before != old.address && !HasAddress(nodes, before)) {
        MoveChildren(nodes, before, old.address);
    }
}

void LoadSettings() {
    ProfileFile file;
    {
        std::lock_guard<std::mutex> lock(SettingsFileMutex());
        file.Load(SettingsFilePath());  // missing or unreadable: every default
    }
    MonitorSettings s;
    NodeTable& table = NodeTable::Instance();
    for (const SettingField& field : kSettingFields) {
        if (const auto* windows = std::get_if<WindowSlots MonitorSettings::*>(&field.place)) {
            for (int i = 0; i < kMaxMaintenanceWindows; ++i) {
                (s.**windows)[static_cast<std::size_t>(i)] =
                    file.Get(field.key.section, SlotKey(field.key, i), field.key.fallback,
                             static_cast<std::size_t>(field.key.limit));
            }
            continue;
        }
        if (!std::holds_alternative<NodeSlots MonitorSettings::*>(field.place)) {
            ReadInto(file, field.key, field.key.name, s, field.place);
            continue;
        }
        for (int i = 0; i < kMaxNodes; ++i) {
            NodeEntry node;
            for (const NodeField& nodeField : kNodeFields) {
                ReadInto(file, nodeField.key, SlotKey(nodeField.key, i), node, nodeField.place);
                if (node.address.empty()) {
                    break;  // a slot without an address ends the list
                }
            }
            if (node.address.empty()) {
                break;
            }
            s.NodeList[static_cast<std::size_t>(i)] = node;
            table.SetNode(i, node);
        }
    }
    // Exactly one report format, plain text winning a tie; COM1 wins over COM2.
    if (s.Fmt_Text) {
        s.Fmt_HTML = false;
    } else if (!s.Fmt_HTML) {
        s.Fmt_Text = true;
    }
    if (s.Com_1) {
        s.Com_2 = false;
    }

    std::lock_guard<std::mutex> lock(SettingsMutex());
    Settings() = std::move(s);
}

bool SaveSettings(const MonitorSettings& e) {
    std::lock_guard<std::mutex> lock(SettingsFileMutex());
    const std::string path = SettingsFilePath();
    ProfileFile file;
    if (file.Load(path) == ProfileFile::LoadResult::Unreadable) {
        return false;  // never replace a file whose content could not be read
    }

    for (const SettingField& field : kSettingFields) {
        if (std::holds_alternative<NodeSlots MonitorSettings::*>(field.place)) {
            // Every key of every slot goes; only a used slot's values come back,
            // the hand-edited per-node keys with them.
            for (int i = 0; i < kMaxNodes; ++i) {
                const NodeEntry& node = e.NodeList[static_cast<std::size_t>(i)];
                for (const NodeField& nodeField : kNodeFields) {
                    const std::string name = SlotKey(nodeField.key, i);
                    file.Erase(nodeField.key.section, name);
                    if (const auto value = Written(nodeField.key, node, nodeField.place, true)) {
                        file.Set(nodeField.key.section, name, *value);
                    }
                }
            }
        } else if (field.key.writer == KeyWriter::Sheet) {
            const std::string value = *Written(field.key, e, field.place, false);
            file.Set(field.key.section, WrittenName(field.key, value), value);
        }
    }

    return file.Save(path);
}

MonitorSettings CurrentSettings() {
    std::lock_guard<std::mutex> lock(SettingsMutex());
    return Settings();
}

void SetCurrentSettings(const MonitorSettings& settings) {
    std::lock_guard<std::mutex> lock(SettingsMutex());
    Settings() = settings;
}

}  // namespace sentrel
