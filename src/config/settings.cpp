#include "config/settings.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "config/profile_file.h"
#include "engine/node_table.h"

namespace sentrel {

namespace {

constexpr const char* kGeneral = "General";
constexpr const char* kServers = "Servers";
constexpr const char* kReports = "Reports";
constexpr const char* kAlerts = "Alerts";

std::mutex& SettingsMutex() {
    static std::mutex mutex;
    return mutex;
}

MonitorSettings& Settings() {
    static MonitorSettings settings;
    return settings;
}

std::string SlotKey(const char* pattern, int slot) {
    char key[32];
    std::snprintf(key, sizeof key, pattern, slot);
    return key;
}

// A flag is on exactly when its first character is "1".
bool ReadFlag(const ProfileFile& file, const char* section, const char* key) {
    return file.Get(section, key, "0", 1) == "1";
}

void WriteFlag(ProfileFile& file, const char* section, const char* key, bool on) {
    file.Set(section, key, on ? "1" : "0");
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

void LoadSettings() {
    ProfileFile file;
    {
        std::lock_guard<std::mutex> lock(SettingsFileMutex());
        file.Load(SettingsFilePath());  // missing or unreadable: every default
    }
    MonitorSettings s;

    s.AutoStart = ReadFlag(file, kGeneral, "AutoStart");
    s.Secs = file.Get(kGeneral, "Secs", "60", 4);
    s.MAXSecs = file.Get(kGeneral, "MAXSecs", "60", 4);

    NodeTable& table = NodeTable::Instance();
    for (int i = 0; i < kMaxNodes; ++i) {
        NodeEntry node;
        node.address = file.Get(kServers, SlotKey("s%dnode", i), "", 49);
        if (node.address.empty()) {
            break;
        }
        node.port = file.Get(kServers, SlotKey("s%dport", i), "", 5);
        node.title = file.Get(kServers, SlotKey("s%dtitle", i), "", 49);
        node.probeType = ToInt(file.Get(kServers, SlotKey("s%dtype", i), "0", 1));
        s.NodeList[static_cast<std::size_t>(i)] = node;
        table.SetNode(i, node);
    }

    s.Log_Flag = ReadFlag(file, kReports, "Log_Flag");
    s.Log_File_Name = file.Get(kReports, "Log_File_Name", "", 127);
    s.Success = ReadFlag(file, kReports, "Success");
    s.Report_Flag = ReadFlag(file, kReports, "Report_Flag");
    s.Report_File_Name = file.Get(kReports, "Report_File_Name", "", 127);
    s.Fmt_Text = ReadFlag(file, kReports, "Fmt_Text");
    s.Fmt_HTML = ReadFlag(file, kReports, "Fmt_HTML");
    // Exactly one report format, plain text winning a tie.
    if (s.Fmt_Text) {
        s.Fmt_HTML = false;
    } else if (!s.Fmt_HTML) {
        s.Fmt_Text = true;
    }

    s.Audio_Flag = ReadFlag(file, kAlerts, "Audio_Flag");
    s.Wave_File = file.Get(kAlerts, "Wave_File", "", 127);
    s.Num_Fails = file.Get(kAlerts, "Num_Fails", "", 3);
    s.Max_Alarms = file.Get(kAlerts, "Max_Alarms", "10", 3);
    s.Loop_Flag = ReadFlag(file, kAlerts, "Loop_Flag");
    s.Pager_Flag = ReadFlag(file, kAlerts, "Pager_Flag");
    s.Com_1 = ReadFlag(file, kAlerts, "Com_1");
    s.Com_2 = ReadFlag(file, kAlerts, "Com_2");
    if (s.Com_1) {
        s.Com_2 = false;
    }
    s.Pager_Phone = file.Get(kAlerts, "Pager_Phone", "", 40);
    s.Pager_Message = file.Get(kAlerts, "Pager_Message", "", 40);
    s.Pager_Delay = ToInt(file.Get(kAlerts, "Pager_Delay", "4", 1));
    if (s.Pager_Delay == 0) {
        s.Pager_Delay = 4;
    }
    s.Email_Flag = ReadFlag(file, kAlerts, "Email_Flag");
    s.Email_SMTP = file.Get(kAlerts, "Email_SMTP", "", 39);
    s.Email_From = file.Get(kAlerts, "Email_From", "", 39);
    s.Email_To = file.Get(kAlerts, "Email_To", "", 39);
    s.Email_Subject = file.Get(kAlerts, "Email_Subject", "", 39);
    s.Launch_Flag = ReadFlag(file, kAlerts, "Launch_Flag");
    s.Command_Line = file.Get(kAlerts, "Command_Line", "", 39);
    s.Com_1_Device = file.Get(kAlerts, "Com_1_Device", "/dev/ttyS0", 127);
    s.Com_2_Device = file.Get(kAlerts, "Com_2_Device", "/dev/ttyS1", 127);
    s.Email_Port = ToInt(file.Get(kAlerts, "Email_Port", "25", 5));
    if (s.Email_Port <= 0 || s.Email_Port > 65535) {
        s.Email_Port = 25;
    }
    s.Email_Security = file.Get(kAlerts, "Email_Security", "", 15);
    s.Email_User = file.Get(kAlerts, "Email_User", "", 127);
    s.Email_Password_File = file.Get(kAlerts, "Email_Password_File", "", 255);
    s.Keep_Days = std::max(0, ToInt(file.Get("History", "Keep_Days", "30", 5)));

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

    WriteFlag(file, kGeneral, "AutoStart", e.AutoStart);
    file.Set(kGeneral, "Secs", Utf8Cut(e.Secs, 4));
    file.Set(kGeneral, "MaxSecs", Utf8Cut(e.MAXSecs, 4));

    for (int i = 0; i < kMaxNodes; ++i) {
        const NodeEntry& node = e.NodeList[static_cast<std::size_t>(i)];
        const std::string nodeKey = SlotKey("s%dnode", i);
        const std::string portKey = SlotKey("s%dport", i);
        const std::string titleKey = SlotKey("s%dtitle", i);
        const std::string typeKey = SlotKey("s%dtype", i);
        file.Erase(kServers, nodeKey);
        if (!node.address.empty()) {
            file.Set(kServers, nodeKey, node.address);
        }
        file.Erase(kServers, portKey);
        if (!node.port.empty()) {
            file.Set(kServers, portKey, node.port);
        }
        file.Erase(kServers, titleKey);
        if (!node.title.empty()) {
            file.Set(kServers, titleKey, node.title);
        }
        file.Erase(kServers, typeKey);
        if (node.probeType > 0) {
            file.Set(kServers, typeKey, std::to_string(node.probeType));
        }
    }

    WriteFlag(file, kReports, "Log_Flag", e.Log_Flag);
    file.Set(kReports, "Log_File_Name", e.Log_File_Name);
    WriteFlag(file, kReports, "Success", e.Success);
    WriteFlag(file, kReports, "Report_Flag", e.Report_Flag);
    file.Set(kReports, "Report_File_Name", e.Report_File_Name);
    WriteFlag(file, kReports, "Fmt_Text", e.Fmt_Text);
    if (e.Fmt_HTML) {
        file.Set(kReports, "Fmt_HTML", "1");
    } else {
        file.Set(kReports, "Fmt_Html", "0");
    }

    WriteFlag(file, kAlerts, "Audio_Flag", e.Audio_Flag);
    file.Set(kAlerts, "Wave_File", e.Wave_File);
    file.Set(kAlerts, "Num_Fails", e.Num_Fails);
    file.Set(kAlerts, "Max_Alarms", e.Max_Alarms);
    WriteFlag(file, kAlerts, "Loop_Flag", e.Loop_Flag);
    WriteFlag(file, kAlerts, "Pager_Flag", e.Pager_Flag);
    WriteFlag(file, kAlerts, "Com_1", e.Com_1);
    WriteFlag(file, kAlerts, "Com_2", e.Com_2);
    file.Set(kAlerts, "Pager_Phone", e.Pager_Phone);
    file.Set(kAlerts, "Pager_Message", e.Pager_Message);
    WriteFlag(file, kAlerts, "Email_Flag", e.Email_Flag);
    file.Set(kAlerts, "Email_SMTP", e.Email_SMTP);
    file.Set(kAlerts, "Email_From", e.Email_From);
    file.Set(kAlerts, "Email_To", e.Email_To);
    file.Set(kAlerts, "Email_Subject", e.Email_Subject);
    WriteFlag(file, kAlerts, "Launch_Flag", e.Launch_Flag);
    file.Set(kAlerts, "Command_Line", e.Command_Line);

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
