#include "config/settings.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
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

std::string ReadText(const ProfileFile& file, const SettingKey& key) {
    return file.Get(key.section, key.name, key.fallback, static_cast<std::size_t>(key.limit));
}

std::string ReadText(const ProfileFile& file, const SettingKey& key, int slot) {
    return file.Get(key.section, SlotKey(key, slot), key.fallback,
                    static_cast<std::size_t>(key.limit));
}

// A flag is on exactly when its first character is "1".
bool ReadFlag(const ProfileFile& file, const SettingKey& key) {
    return ReadText(file, key) == "1";
}

// Only the sheet's keys can be written: a hand-edited key is refused at compile time.
template <const SettingKey& Key>
void WriteText(ProfileFile& file, const std::string& value) {
    static_assert(Key.writer == KeyWriter::Sheet, "a hand-edited key is never written");
    file.Set(Key.section, Key.name, value);
}

template <const SettingKey& Key>
void WriteFlag(ProfileFile& file, bool on) {
    WriteText<Key>(file, on ? "1" : "0");
}

// A slot's key is deleted, then written again when it has a value.
template <const SettingKey& Key>
void WriteSlot(ProfileFile& file, int slot, const std::string& value) {
    static_assert(Key.writer != KeyWriter::Hand, "a hand-edited key is never written");
    const std::string name = SlotKey(Key, slot);
    file.Erase(Key.section, name);
    if (!value.empty()) {
        file.Set(Key.section, name, value);
    }
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

    s.AutoStart = ReadFlag(file, keys::AutoStart);
    s.Secs = ReadText(file, keys::Secs);
    s.MAXSecs = ReadText(file, keys::MAXSecs);
    s.Echoes = std::clamp(ToInt(ReadText(file, keys::Echoes)), 1, kMaxEchoes);

    NodeTable& table = NodeTable::Instance();
    for (int i = 0; i < kMaxNodes; ++i) {
        NodeEntry node;
        node.address = ReadText(file, keys::NodeAddress, i);
        if (node.address.empty()) {
            break;
        }
        node.port = ReadText(file, keys::NodePort, i);
        node.title = ReadText(file, keys::NodeTitle, i);
        node.probeType = ToInt(ReadText(file, keys::NodeType, i));
        node.parent = ReadText(file, keys::NodeParent, i);
        s.NodeList[static_cast<std::size_t>(i)] = node;
        table.SetNode(i, node);
    }

    s.Log_Flag = ReadFlag(file, keys::Log_Flag);
    s.Log_File_Name = ReadText(file, keys::Log_File_Name);
    s.Success = ReadFlag(file, keys::Success);
    s.Report_Flag = ReadFlag(file, keys::Report_Flag);
    s.Report_File_Name = ReadText(file, keys::Report_File_Name);
    s.Fmt_Text = ReadFlag(file, keys::Fmt_Text);
    s.Fmt_HTML = ReadFlag(file, keys::Fmt_HTML);
    // Exactly one report format, plain text winning a tie.
    if (s.Fmt_Text) {
        s.Fmt_HTML = false;
    } else if (!s.Fmt_HTML) {
        s.Fmt_Text = true;
    }

    s.Audio_Flag = ReadFlag(file, keys::Audio_Flag);
    s.Wave_File = ReadText(file, keys::Wave_File);
    s.Num_Fails = ReadText(file, keys::Num_Fails);
    s.Max_Alarms = ReadText(file, keys::Max_Alarms);
    s.Loop_Flag = ReadFlag(file, keys::Loop_Flag);
    s.Pager_Flag = ReadFlag(file, keys::Pager_Flag);
    s.Com_1 = ReadFlag(file, keys::Com_1);
    s.Com_2 = ReadFlag(file, keys::Com_2);
    if (s.Com_1) {
        s.Com_2 = false;
    }
    s.Pager_Phone = ReadText(file, keys::Pager_Phone);
    s.Pager_Message = ReadText(file, keys::Pager_Message);
    s.Pager_Delay = ToInt(ReadText(file, keys::Pager_Delay));
    if (s.Pager_Delay == 0) {
        s.Pager_Delay = 4;
    }
    s.Email_Flag = ReadFlag(file, keys::Email_Flag);
    s.Email_SMTP = ReadText(file, keys::Email_SMTP);
    s.Email_From = ReadText(file, keys::Email_From);
    s.Email_To = ReadText(file, keys::Email_To);
    s.Email_Subject = ReadText(file, keys::Email_Subject);
    s.Launch_Flag = ReadFlag(file, keys::Launch_Flag);
    s.Command_Line = ReadText(file, keys::Command_Line);
    s.Com_1_Device = ReadText(file, keys::Com_1_Device);
    s.Com_2_Device = ReadText(file, keys::Com_2_Device);
    s.Email_Port = ToInt(ReadText(file, keys::Email_Port));
    if (s.Email_Port <= 0 || s.Email_Port > 65535) {
        s.Email_Port = 25;
    }
    s.Email_Security = ReadText(file, keys::Email_Security);
    s.Email_User = ReadText(file, keys::Email_User);
    s.Email_Password_File = ReadText(file, keys::Email_Password_File);
    s.Loss_Percent = std::clamp(ToInt(ReadText(file, keys::Loss_Percent)), 0, 100);
    s.Slow_ms = std::max(0, ToInt(ReadText(file, keys::Slow_ms)));
    s.Webhook_URL = ReadText(file, keys::Webhook_URL);
    s.Webhook_Format = ReadText(file, keys::Webhook_Format);
    s.Webhook_Token_File = ReadText(file, keys::Webhook_Token_File);
    s.Notify_Flag = ReadFlag(file, keys::Notify_Flag);
    s.Keep_Days = std::max(0, ToInt(ReadText(file, keys::Keep_Days)));
    s.Metrics_Listen = ReadText(file, keys::Metrics_Listen);
    for (int i = 0; i < kMaxMaintenanceWindows; ++i) {
        s.Maintenance[static_cast<std::size_t>(i)] = ReadText(file, keys::MaintenanceWindow, i);
    }
    s.Hold_Until = ReadText(file, keys::Hold_Until);

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

    WriteFlag<keys::AutoStart>(file, e.AutoStart);
    WriteText<keys::Secs>(file, Utf8Cut(e.Secs, keys::Secs.limit));
    file.Set(keys::MAXSecs.section, keys::kMAXSecsWritten, Utf8Cut(e.MAXSecs, keys::MAXSecs.limit));

    for (int i = 0; i < kMaxNodes; ++i) {
        const NodeEntry& node = e.NodeList[static_cast<std::size_t>(i)];
        // Every key of every slot goes; only a used slot's non-empty fields come back.
        WriteSlot<keys::NodeAddress>(file, i, node.address);
        WriteSlot<keys::NodePort>(file, i, node.port);
        WriteSlot<keys::NodeTitle>(file, i, node.title);
        WriteSlot<keys::NodeType>(file, i,
                                  node.probeType > 0 ? std::to_string(node.probeType) : "");
        // Hand-edited, but it stands with its node wherever the sheet moved it.
        WriteSlot<keys::NodeParent>(file, i, node.parent);
    }

    WriteFlag<keys::Log_Flag>(file, e.Log_Flag);
    WriteText<keys::Log_File_Name>(file, e.Log_File_Name);
    WriteFlag<keys::Success>(file, e.Success);
    WriteFlag<keys::Report_Flag>(file, e.Report_Flag);
    WriteText<keys::Report_File_Name>(file, e.Report_File_Name);
    WriteFlag<keys::Fmt_Text>(file, e.Fmt_Text);
    if (e.Fmt_HTML) {
        WriteFlag<keys::Fmt_HTML>(file, true);
    } else {
        file.Set(keys::Fmt_HTML.section, keys::kFmtHtmlOffWritten, "0");
    }

    WriteFlag<keys::Audio_Flag>(file, e.Audio_Flag);
    WriteText<keys::Wave_File>(file, e.Wave_File);
    WriteText<keys::Num_Fails>(file, e.Num_Fails);
    WriteText<keys::Max_Alarms>(file, e.Max_Alarms);
    WriteFlag<keys::Loop_Flag>(file, e.Loop_Flag);
    WriteFlag<keys::Pager_Flag>(file, e.Pager_Flag);
    WriteFlag<keys::Com_1>(file, e.Com_1);
    WriteFlag<keys::Com_2>(file, e.Com_2);
    WriteText<keys::Pager_Phone>(file, e.Pager_Phone);
    WriteText<keys::Pager_Message>(file, e.Pager_Message);
    WriteFlag<keys::Email_Flag>(file, e.Email_Flag);
    WriteText<keys::Email_SMTP>(file, e.Email_SMTP);
    WriteText<keys::Email_From>(file, e.Email_From);
    WriteText<keys::Email_To>(file, e.Email_To);
    WriteText<keys::Email_Subject>(file, e.Email_Subject);
    WriteFlag<keys::Launch_Flag>(file, e.Launch_Flag);
    WriteText<keys::Command_Line>(file, e.Command_Line);

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

void SetCurrentSettingsForTesting(const MonitorSettings& settings) {
    SetCurrentSettings(settings);
}

void ResetSettingsForTesting() {
    std::lock_guard<std::mutex> lock(SettingsMutex());
    Settings() = MonitorSettings{};
}

}  // namespace sentrel
