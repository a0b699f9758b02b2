// Every key of tarn.ini that the settings model knows, in one table: its
// section and name, the most bytes read, its kind (text, flag, number with its
// range, or one of a list of choices), its default, whether the setup sheet
// writes it, and (in config/settings.h) the field where it lands. LoadSettings
// and SaveSettings are loops over the table; the setup pages take their field
// limits from it. A value is made sane once, when it is read: every layer
// below trusts what the settings hold.
#pragma once

#include <climits>
#include <cstddef>
#include <span>

#include "platform/icmp_echo.h"

namespace sentrel {

enum class KeyWriter {
    Sheet,  // written by the setup sheet's OK
    Hand,   // hand-edited only: read, never written (a per-node key travels with its node)
};

enum class KeyKind {
    Text,    // the bytes read
    Flag,    // on exactly when the value's first character is "1"
    Number,  // decimal (ToInt), brought into its range when read
    Choice,  // one of a list, matched without regard to case; empty is the default
};

// How a number outside [min, max] reads.
enum class OutOfRange {
    Nearest,  // the nearer end of the range
    Default,  // the key's default
};

struct SettingKey {
    const char* section;
    const char* name;      // as read; section and key names match without regard to case
    int limit;             // most bytes read (a flag reads 1)
    const char* fallback;  // for a missing key; a key present with no value reads empty
    KeyWriter writer;
    int fieldLimit = 0;  // the setup sheet's input limit where it differs from `limit`; 0: none
    KeyKind kind = KeyKind::Text;
    int min = INT_MIN;  // Number: the range and what lies outside it reads
    int max = INT_MAX;
    OutOfRange outside = OutOfRange::Nearest;
    std::span<const char* const> choices{};  // Choice: the spellings (lower case)
    const char* writtenAs = nullptr;         // the spelling written, where it differs from `name`
    const char* writtenOffAs = nullptr;      // a flag's spelling written when off, where it differs

    // The default as a number or a flag (fallback is decimal for a Number).
    constexpr int DefaultNumber() const {
        int value = 0;
        for (const char* c = fallback; *c >= '0' && *c <= '9'; ++c) {
            value = value * 10 + (*c - '0');
        }
        return value;
    }
    constexpr bool DefaultFlag() const { return fallback[0] == '1'; }
    // A number as it reads: inside the range as it is, outside as `outside` says.
    constexpr int Bounded(int value) const {
        if (value >= min && value <= max) {
            return value;
        }
        if (outside == OutOfRange::Default) {
            return DefaultNumber();
        }
        return value < min ? min : max;
    }
};

namespace keys {

inline constexpr const char* kGeneral = "General";
inline constexpr const char* kServers = "Servers";
inline constexpr const char* kReports = "Reports";
inline constexpr const char* kAlerts = "Alerts";
inline constexpr const char* kHistory = "History";
inline constexpr const char* kMetrics = "Metrics";
inline constexpr const char* kMaintenance = "Maintenance";

using enum KeyWriter;

constexpr SettingKey Text(const char* section, const char* name, int limit, const char* fallback,
                          KeyWriter writer, int fieldLimit = 0) {
    return {section, name, limit, fallback, writer, fieldLimit};
}
constexpr SettingKey Flag(const char* section, const char* name, const char* fallback,
                          KeyWriter writer) {
    return {section, name, 1, fallback, writer, 0, KeyKind::Flag};
}
constexpr SettingKey Number(const char* section, const char* name, int limit, const char* fallback,
                            KeyWriter writer, int min, int max, OutOfRange outside) {
    return {section, name, limit, fallback, writer, 0, KeyKind::Number, min, max, outside};
}
constexpr SettingKey Choice(const char* section, const char* name, int limit, const char* fallback,
                            KeyWriter writer, std::span<const char* const> choices) {
    return {section,         name,
            limit,           fallback,
            writer,          0,
            KeyKind::Choice, INT_MIN,
            INT_MAX,         OutOfRange::Nearest,
            choices};
}
constexpr SettingKey WrittenAs(SettingKey key, const char* on, const char* off = nullptr) {
    key.writtenAs = on;
    key.writtenOffAs = off;
    return key;
}

// General. MAXSecs is written under the spelling "MaxSecs" (the same key).
inline constexpr SettingKey AutoStart = Flag(kGeneral, "AutoStart", "0", Sheet);
inline constexpr SettingKey Secs = Text(kGeneral, "Secs", 4, "60", Sheet, 4);
inline constexpr SettingKey MAXSecs =
    WrittenAs(Text(kGeneral, "MAXSecs", 4, "60", Sheet, 4), "MaxSecs");
// Echoes per PING probe: as many as one round sends at most.
inline constexpr SettingKey Echoes =
    Number(kGeneral, "Echoes", 4, "1", Hand, 1, kMaxEchoesInRound, OutOfRange::Nearest);
// Probes a pass may have in flight at once; 1 probes one node after another.
inline constexpr SettingKey Parallel =
    Number(kGeneral, "Parallel", 4, "1", Hand, 1, 64, OutOfRange::Nearest);

// Servers: one key of each pattern per slot ("s0node" to "s99node"); they land
// in the node's NodeEntry (kNodeFields in config/settings.h). The address comes
// first: a slot without one ends the list. A per-node key the sheet does not
// edit is still written back with its node, so it travels when nodes move.
inline constexpr SettingKey NodeAddress = Text(kServers, "s%dnode", 49, "", Sheet, 49);
inline constexpr SettingKey NodePort = Text(kServers, "s%dport", 5, "", Sheet, 5);
inline constexpr SettingKey NodeTitle = Text(kServers, "s%dtitle", 49, "", Sheet, 49);
inline constexpr SettingKey NodeType =
    Number(kServers, "s%dtype", 1, "0", Sheet, INT_MIN, INT_MAX, OutOfRange::Nearest);
// Keys of the TCP, HTTPS and DNS kinds, set in the node dialog.
inline constexpr SettingKey NodePath = Text(kServers, "s%dpath", 255, "", Sheet, 255);
inline constexpr SettingKey NodeExpect = Text(kServers, "s%dexpect", 127, "", Sheet, 127);
inline constexpr SettingKey NodeQuery = Text(kServers, "s%dquery", 253, "", Sheet, 253);
inline constexpr SettingKey NodeQtype = Text(kServers, "s%dqtype", 4, "", Sheet, 4);
// Hand-edited: the address of the node(s) this one stands behind; its alarms are
// held while they are down.
inline constexpr SettingKey NodeParent = Text(kServers, "s%dparent", 49, "", Hand, 49);

// Reports. Fmt_HTML is written as "Fmt_HTML" when on and "Fmt_Html" when off.
inline constexpr SettingKey Log_Flag = Flag(kReports, "Log_Flag", "0", Sheet);
inline constexpr SettingKey Log_File_Name = Text(kReports, "Log_File_Name", 127, "", Sheet);
inline constexpr SettingKey Success = Flag(kReports, "Success", "0", Sheet);
inline constexpr SettingKey Report_Flag = Flag(kReports, "Report_Flag", "0", Sheet);
inline constexpr SettingKey Report_File_Name = Text(kReports, "Report_File_Name", 127, "", Sheet);
inline constexpr SettingKey Fmt_Text = Flag(kReports, "Fmt_Text", "0", Sheet);
inline constexpr SettingKey Fmt_HTML =
    WrittenAs(Flag(kReports, "Fmt_HTML", "0", Sheet), "Fmt_HTML", "Fmt_Html");

// Alerts, written by the sheet. The e-mail fields and the command line take
// more on the page than is read back.
inline constexpr SettingKey Audio_Flag = Flag(kAlerts, "Audio_Flag", "0", Sheet);
inline constexpr SettingKey Wave_File = Text(kAlerts, "Wave_File", 127, "", Sheet);
inline constexpr SettingKey Num_Fails = Text(kAlerts, "Num_Fails", 3, "", Sheet);
inline constexpr SettingKey Max_Alarms = Text(kAlerts, "Max_Alarms", 3, "10", Sheet, 3);
inline constexpr SettingKey Loop_Flag = Flag(kAlerts, "Loop_Flag", "0", Sheet);
inline constexpr SettingKey Pager_Flag = Flag(kAlerts, "Pager_Flag", "0", Sheet);
inline constexpr SettingKey Com_1 = Flag(kAlerts, "Com_1", "0", Sheet);
inline constexpr SettingKey Com_2 = Flag(kAlerts, "Com_2", "0", Sheet);
inline constexpr SettingKey Pager_Phone = Text(kAlerts, "Pager_Phone", 40, "", Sheet, 40);
inline constexpr SettingKey Pager_Message = Text(kAlerts, "Pager_Message", 40, "", Sheet, 40);
inline constexpr SettingKey Email_Flag = Flag(kAlerts, "Email_Flag", "0", Sheet);
inline constexpr SettingKey Email_SMTP = Text(kAlerts, "Email_SMTP", 39, "", Sheet);
inline constexpr SettingKey Email_From = Text(kAlerts, "Email_From", 39, "", Sheet);
inline constexpr SettingKey Email_To = Text(kAlerts, "Email_To", 39, "", Sheet);
inline constexpr SettingKey Email_Subject = Text(kAlerts, "Email_Subject", 39, "", Sheet);
inline constexpr SettingKey Launch_Flag = Flag(kAlerts, "Launch_Flag", "0", Sheet);
inline constexpr SettingKey Command_Line = Text(kAlerts, "Command_Line", 39, "", Sheet, 123);

// Alerts, hand-edited only. Pager_Delay: seconds of pause after the dial, one
// digit. Loss_Percent and Slow_ms: quality thresholds of a round of echoes, 0 off.
inline constexpr SettingKey Pager_Delay =
    Number(kAlerts, "Pager_Delay", 1, "4", Hand, 1, 9, OutOfRange::Default);
inline constexpr SettingKey Com_1_Device = Text(kAlerts, "Com_1_Device", 127, "/dev/ttyS0", Hand);
inline constexpr SettingKey Com_2_Device = Text(kAlerts, "Com_2_Device", 127, "/dev/ttyS1", Hand);
inline constexpr SettingKey Email_Port =
    Number(kAlerts, "Email_Port", 5, "25", Hand, 1, 65535, OutOfRange::Default);
inline constexpr SettingKey Email_Security = Text(kAlerts, "Email_Security", 15, "", Hand);
inline constexpr SettingKey Email_User = Text(kAlerts, "Email_User", 127, "", Hand);
inline constexpr SettingKey Email_Password_File =
    Text(kAlerts, "Email_Password_File", 255, "", Hand);
inline constexpr SettingKey Loss_Percent =
    Number(kAlerts, "Loss_Percent", 4, "0", Hand, 0, 100, OutOfRange::Nearest);
inline constexpr SettingKey Slow_ms =
    Number(kAlerts, "Slow_ms", 6, "0", Hand, 0, INT_MAX, OutOfRange::Nearest);
// An HTTPS node fails when a certificate of its chain ends within this many days; 0 is off.
inline constexpr SettingKey Cert_Days =
    Number(kAlerts, "Cert_Days", 5, "14", Hand, 0, INT_MAX, OutOfRange::Nearest);
inline constexpr SettingKey Webhook_URL = Text(kAlerts, "Webhook_URL", 2047, "", Hand);
// The webhook's forms; a value that is none of them is kept as read, for the
// webhook to refuse by name.
inline constexpr const char* kWebhookForms[] = {"json", "ntfy", "gotify", "slack", "alertmanager"};
inline constexpr SettingKey Webhook_Format =
    Choice(kAlerts, "Webhook_Format", 15, "json", Hand, kWebhookForms);
inline constexpr SettingKey Webhook_Token_File = Text(kAlerts, "Webhook_Token_File", 255, "", Hand);
inline constexpr SettingKey Notify_Flag = Flag(kAlerts, "Notify_Flag", "1", Hand);

// History and metrics, hand-edited only.
inline constexpr SettingKey Keep_Days =
    Number(kHistory, "Keep_Days", 5, "30", Hand, 0, INT_MAX, OutOfRange::Nearest);
inline constexpr SettingKey Metrics_Listen = Text(kMetrics, "Listen", 64, "", Hand);
// This monitor's site, carried by the webhook forms and shown on the status page.
inline constexpr SettingKey Metrics_Site = Text(kMetrics, "Site", 63, "", Hand);

// Maintenance, hand-edited only: windows "w0" to "w19" and a hold of every alarm.
inline constexpr SettingKey MaintenanceWindow = Text(kMaintenance, "w%d", 255, "", Hand);
inline constexpr SettingKey Hold_Until = Text(kMaintenance, "Hold_Until", 16, "", Hand);

}  // namespace keys

// The SMTP server text made from Email_SMTP (by the alarm, the e-mail test and
// the mailer) holds at most this many bytes.
inline constexpr std::size_t kSmtpServerTextMax = 99;

}  // namespace sentrel
