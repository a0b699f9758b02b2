// The settings model: one in-memory copy of tarn.ini for the whole run.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace sentrel {

inline constexpr int kMaxNodes = 100;
inline constexpr int kMaxEchoes = 20;  // echoes of one PING probe, at most
inline constexpr int kMaxMaintenanceWindows = 20;

enum ProbeType : std::int32_t { HTTPD = 0, PING = 1 };

// One configured node, as stored in section Servers.
struct NodeEntry {
    std::string address;             // host name, IPv4 or IPv6 address; empty ends the list
    std::string port;                // text, may be empty (HTTPD default 80)
    std::string title;               // reporting / reference title
    std::int32_t probeType = HTTPD;  // any value other than 0 is probed as PING
    // Hand-edited: the address of the node(s) this one stands behind; empty: none.
    std::string parent{};

    bool operator==(const NodeEntry&) const = default;
};

using NodeSlots = std::array<NodeEntry, kMaxNodes>;

// The setup sheet's edits of a node list, each node keeping its parent key.
// RemoveNode moves every node after the slot up by one; nodes whose parent no
// remaining node has as its address are left without a parent.
void RemoveNode(NodeSlots& nodes, int slot);
// Puts `node` in the slot with the parent of the node it replaces. When the
// address changes and no other node keeps the old one, the nodes behind the
// old address follow it to the new one.
void ReplaceNode(NodeSlots& nodes, int slot, NodeEntry node);

// One field per key of tarn.ini, named by the key.
struct MonitorSettings {
    // General
    bool AutoStart = false;
    std::string Secs;
    std::string MAXSecs;
    // Hand-edited only, never written: echoes per PING probe, 1..kMaxEchoes. A
    // value below 1 or not a number reads 1 (one echo, as without the key);
    // one above the top reads the top.
    int Echoes = 1;
    // Servers
    NodeSlots NodeList{};
    // Reports
    bool Log_Flag = false;
    std::string Log_File_Name;
    bool Success = false;
    bool Report_Flag = false;
    std::string Report_File_Name;
    bool Fmt_Text = false;
    bool Fmt_HTML = false;
    // Alerts
    bool Audio_Flag = false;
    std::string Wave_File;
    std::string Num_Fails;
    std::string Max_Alarms;
    bool Loop_Flag = false;
    bool Pager_Flag = false;
    bool Com_1 = false;
    bool Com_2 = false;
    std::string Pager_Phone;
    std::string Pager_Message;
    int Pager_Delay = 0;  // 1..9 after a load; never written
    bool Email_Flag = false;
    std::string Email_SMTP;
    std::string Email_From;
    std::string Email_To;
    std::string Email_Subject;
    bool Launch_Flag = false;
    std::string Command_Line;
    // Hand-edited only, never written: the serial devices behind COM1 and COM2.
    std::string Com_1_Device;
    std::string Com_2_Device;
    // Hand-edited only, never written: how the mailer reaches its server.
    int Email_Port = 25;              // 1..65535
    std::string Email_Security;       // none (or empty), starttls, tls
    std::string Email_User;           // empty: no login
    std::string Email_Password_File;  // the password on its first line, mode 0600
    // Hand-edited only, never written: quality thresholds of a PING probe's
    // echoes; 0 (or less, or not a number) is off. A round losing at least
    // Loss_Percent % (1..100, more reads 100) of its echoes, or whose median
    // round trip is at least Slow_ms, is a failure.
    int Loss_Percent = 0;
    int Slow_ms = 0;
    // Hand-edited only, never written: the webhook (src/webhook).
    std::string Webhook_URL;              // http or https; empty: off
    std::string Webhook_Format = "json";  // json, ntfy, gotify, slack, alertmanager
    std::string Webhook_Token_File;       // the token on its first line, mode 0600
    // Hand-edited only, never written: desktop notifications of alarms (window program).
    bool Notify_Flag = true;
    // History, hand-edited only, never written: days of results kept; 0 keeps none.
    int Keep_Days = 30;
    // Metrics, hand-edited only, never written: where the endpoint listens; empty: off.
    std::string Metrics_Listen;
    // Maintenance, hand-edited only, never written: the windows w0..w19 as
    // written ("<days> <HH:MM>-<HH:MM>[ nodes=<address>,...]"; see
    // config/maintenance.h) and Hold_Until ("YYYY-MM-DD HH:MM", local time).
    std::array<std::string, kMaxMaintenanceWindows> Maintenance{};
    std::string Hold_Until;

    bool operator==(const MonitorSettings&) const = default;
};

// Decimal conversion used for every number held as text: leading white space
// skipped, optional sign, digits up to the first other character; no digits give 0.
// Values beyond the int range saturate.
int ToInt(const std::string& text);

// Path of tarn.ini: $XDG_CONFIG_HOME/sentrel/tarn.ini, else ~/.config/sentrel/tarn.ini.
// Read from the environment at every call, so a test can point it elsewhere.
// A path set by SetSettingsFilePath (a program's --config) takes its place.
std::string SettingsFilePath();
void SetSettingsFilePath(const std::string& path);  // empty: back to the default

// Folder of the program's state (history): $XDG_STATE_HOME/sentrel, else
// ~/.local/state/sentrel, the home folder found as for the settings file.
std::string StateDirectory();

// Fills the process-wide settings from the file and copies the node fields into
// the node table. Never fails: a missing or unreadable file gives the defaults.
void LoadSettings();

// Writes an edited copy to the file (never touches section Screen, never writes
// a hand-edited key: see config/settings_keys.h).
// Does not change the in-memory copy.
// The file is replaced atomically; a failed write leaves the old file whole and
// is not reported (returns false for tests only).
bool SaveSettings(const MonitorSettings& edited);

// A copy of the process-wide settings, taken under a lock. Every reader on the
// scan thread works from such a copy.
MonitorSettings CurrentSettings();

// Replaces the process-wide settings (not the file, not the node table).
void SetCurrentSettings(const MonitorSettings& settings);

// Tests only: replace the process-wide settings, or reset them to the state
// before the first load (every text empty, no nodes).
void SetCurrentSettingsForTesting(const MonitorSettings& settings);
void ResetSettingsForTesting();

}  // namespace sentrel
