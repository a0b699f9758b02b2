// The settings model: one in-memory copy of tarn.ini for the whole run.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <variant>

#include "config/settings_keys.h"

namespace sentrel {

inline constexpr int kMaxNodes = 100;

enum ProbeType : std::int32_t { HTTPD = 0, PING = 1, TCP = 2, HTTPS = 3, DNS = 4 };

// The kind a stored type is probed as: HTTPD, TCP, HTTPS and DNS by their
// numbers, every other value as PING.
std::int32_t ProbeKind(std::int32_t probeType);
// "HTTPD", "PING", "TCP", "HTTPS" or "DNS", by ProbeKind.
const char* ProbeKindName(std::int32_t probeType);

// One configured node, as stored in section Servers (its keys: kNodeFields).
struct NodeEntry {
    std::string address;             // host name or address literal; empty ends the list
    std::string port;                // text, may be empty (HTTPD default 80)
    std::string title;               // reporting / reference title
    std::int32_t probeType = HTTPD;  // see ProbeKind
    // Keys of some kinds only, kept whatever the kind (a node keeps them when
    // its kind changes back): HTTPS path and the word its page must hold (or, for
    // DNS, an address its answer must hold); the DNS name and record type.
    std::string path{};
    std::string expect{};
    std::string query{};
    std::string qtype{};
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

inline constexpr int kMaxMaintenanceWindows = 20;
using WindowSlots = std::array<std::string, kMaxMaintenanceWindows>;

// One field per key of tarn.ini, named by the key (its facts: settings_keys.h).
// A field holds what a load of a file without the key gives where a later
// layer relies on its range; the others start empty, as before the first load.
struct MonitorSettings {
    // General
    bool AutoStart = false;
    std::string Secs;
    std::string MAXSecs;
    // Hand-edited only: echoes per PING probe, 1..kMaxEchoesInRound.
    int Echoes = keys::Echoes.DefaultNumber();
    // Hand-edited only: how many probes a pass may have in flight, 1..64.
    int Parallel = keys::Parallel.DefaultNumber();
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
    int Pager_Delay = keys::Pager_Delay.DefaultNumber();  // 1..9; hand-edited only
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
    int Email_Port = keys::Email_Port.DefaultNumber();  // 1..65535
    std::string Email_Security;                         // none (or empty), starttls, tls
    std::string Email_User;                             // empty: no login
    std::string Email_Password_File;                    // the password on its first line, mode 0600
    // Hand-edited only, never written: quality thresholds of a PING probe's
    // echoes; 0 is off. A round losing at least Loss_Percent % (0..100) of its
    // echoes, or whose median round trip is at least Slow_ms (0 or more), is a failure.
    int Loss_Percent = 0;
    int Slow_ms = 0;
    // Hand-edited only, never written: an HTTPS node fails when a certificate of
    // its chain expires within this many days; 0 is off.
    int Cert_Days = keys::Cert_Days.DefaultNumber();
    // Hand-edited only, never written: the webhook (src/webhook).
    std::string Webhook_URL;                                     // http or https; empty: off
    std::string Webhook_Format = keys::Webhook_Format.fallback;  // one of kWebhookForms, or as read
    std::string Webhook_Token_File;  // the token on its first line, mode 0600
    // Hand-edited only, never written: desktop notifications of alarms (window program).
    bool Notify_Flag = keys::Notify_Flag.DefaultFlag();
    // History, hand-edited only, never written: days of results kept (0 or more); 0 keeps none.
    int Keep_Days = keys::Keep_Days.DefaultNumber();
    // Metrics, hand-edited only, never written: where the endpoint listens; empty: off.
    std::string Metrics_Listen;
    // Metrics, hand-edited only, never written: the name of this monitor's site; empty: none.
    std::string Metrics_Site;
    // Maintenance, hand-edited only, never written: the windows w0..w19 as
    // written ("<days> <HH:MM>-<HH:MM>[ nodes=<address>,...]"; see
    // config/maintenance.h) and Hold_Until ("YYYY-MM-DD HH:MM", local time).
    WindowSlots Maintenance{};
    std::string Hold_Until;

    bool operator==(const MonitorSettings&) const = default;
};

// Where each key lands, in the order SaveSettings writes the sheet's keys. The
// row of NodeAddress stands for every per-node key (kNodeFields) of every slot.
struct SettingField {
    using Place = std::variant<std::string MonitorSettings::*, bool MonitorSettings::*,
                               int MonitorSettings::*, NodeSlots MonitorSettings::*,
                               WindowSlots MonitorSettings::*>;
    const SettingKey& key;
    Place place;
};

struct NodeField {
    using Place =
        std::variant<std::string NodeEntry::*, bool NodeEntry::*, std::int32_t NodeEntry::*>;
    const SettingKey& key;
    Place place;
};

// A text or choice key lands in a string, a flag in a bool, a number in an int.
template <typename Field>
constexpr bool Lands(const Field& field) {
    const std::size_t at = field.place.index();
    switch (field.key.kind) {
        case KeyKind::Text:
        case KeyKind::Choice:
            return at == 0;
        case KeyKind::Flag:
            return at == 1;
        case KeyKind::Number:
            return at == 2;
    }
    return false;
}

inline constexpr NodeField kNodeFields[] = {
    {keys::NodeAddress, &NodeEntry::address}, {keys::NodePort, &NodeEntry::port},
    {keys::NodeTitle, &NodeEntry::title},     {keys::NodeType, &NodeEntry::probeType},
    {keys::NodePath, &NodeEntry::path},       {keys::NodeExpect, &NodeEntry::expect},
    {keys::NodeQuery, &NodeEntry::query},     {keys::NodeQtype, &NodeEntry::qtype},
    {keys::NodeParent, &NodeEntry::parent},
};

inline constexpr SettingField kSettingFields[] = {
    {keys::AutoStart, &MonitorSettings::AutoStart},
    {keys::Secs, &MonitorSettings::Secs},
    {keys::MAXSecs, &MonitorSettings::MAXSecs},
    {keys::Echoes, &MonitorSettings::Echoes},
    {keys::Parallel, &MonitorSettings::Parallel},
    {keys::NodeAddress, &MonitorSettings::NodeList},
    {keys::Log_Flag, &MonitorSettings::Log_Flag},
    {keys::Log_File_Name, &MonitorSettings::Log_File_Name},
    {keys::Success, &MonitorSettings::Success},
    {keys::Report_Flag, &MonitorSettings::Report_Flag},
    {keys::Report_File_Name, &MonitorSettings::Report_File_Name},
    {keys::Fmt_Text, &MonitorSettings::Fmt_Text},
    {keys::Fmt_HTML, &MonitorSettings::Fmt_HTML},
    {keys::Audio_Flag, &MonitorSettings::Audio_Flag},
    {keys::Wave_File, &MonitorSettings::Wave_File},
    {keys::Num_Fails, &MonitorSettings::Num_Fails},
    {keys::Max_Alarms, &MonitorSettings::Max_Alarms},
    {keys::Loop_Flag, &MonitorSettings::Loop_Flag},
    {keys::Pager_Flag, &MonitorSettings::Pager_Flag},
    {keys::Com_1, &MonitorSettings::Com_1},
    {keys::Com_2, &MonitorSettings::Com_2},
    {keys::Pager_Phone, &MonitorSettings::Pager_Phone},
    {keys::Pager_Message, &MonitorSettings::Pager_Message},
    {keys::Pager_Delay, &MonitorSettings::Pager_Delay},
    {keys::Email_Flag, &MonitorSettings::Email_Flag},
    {keys::Email_SMTP, &MonitorSettings::Email_SMTP},
    {keys::Email_From, &MonitorSettings::Email_From},
    {keys::Email_To, &MonitorSettings::Email_To},
    {keys::Email_Subject, &MonitorSettings::Email_Subject},
    {keys::Launch_Flag, &MonitorSettings::Launch_Flag},
    {keys::Command_Line, &MonitorSettings::Command_Line},
    {keys::Com_1_Device, &MonitorSettings::Com_1_Device},
    {keys::Com_2_Device, &MonitorSettings::Com_2_Device},
    {keys::Email_Port, &MonitorSettings::Email_Port},
    {keys::Email_Security, &MonitorSettings::Email_Security},
    {keys::Email_User, &MonitorSettings::Email_User},
    {keys::Email_Password_File, &MonitorSettings::Email_Password_File},
    {keys::Loss_Percent, &MonitorSettings::Loss_Percent},
    {keys::Slow_ms, &MonitorSettings::Slow_ms},
    {keys::Cert_Days, &MonitorSettings::Cert_Days},
    {keys::Webhook_URL, &MonitorSettings::Webhook_URL},
    {keys::Webhook_Format, &MonitorSettings::Webhook_Format},
    {keys::Webhook_Token_File, &MonitorSettings::Webhook_Token_File},
    {keys::Notify_Flag, &MonitorSettings::Notify_Flag},
    {keys::Keep_Days, &MonitorSettings::Keep_Days},
    {keys::Metrics_Listen, &MonitorSettings::Metrics_Listen},
    {keys::Metrics_Site, &MonitorSettings::Metrics_Site},
    {keys::MaintenanceWindow, &MonitorSettings::Maintenance},
    {keys::Hold_Until, &MonitorSettings::Hold_Until},
};

constexpr bool EveryFieldLands() {
    for (const auto& field : kSettingFields) {
        const bool lands = field.place.index() == 3   ? &field.key == &keys::NodeAddress
                           : field.place.index() == 4 ? &field.key == &keys::MaintenanceWindow
                                                      : Lands(field);
        if (!lands) {
            return false;
        }
    }
    for (const auto& field : kNodeFields) {
        if (!Lands(field)) {
            return false;
        }
    }
    return &kNodeFields[0].key == &keys::NodeAddress;
}
static_assert(EveryFieldLands(), "a key lands in a field of its kind; the node's address first");

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

}  // namespace sentrel
