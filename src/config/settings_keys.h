// Every key of tarn.ini that the settings model knows, in one table: its
// section, its name, the most bytes read, its default, and whether the setup
// sheet writes it or it is only ever set by editing the file. LoadSettings,
// SaveSettings and the setup pages' field limits all take their facts from here.
#pragma once

#include <cstddef>

namespace sentrel {

enum class KeyWriter {
    Sheet,  // written by the setup sheet's OK
    Hand,   // hand-edited only: read, never written
    Node,   // hand-edited per-node key: the sheet's OK moves it with its node, never sets it
};

struct SettingKey {
    const char* section;
    const char* name;      // as read; section and key names match without regard to case
    int limit;             // most bytes read (a flag reads 1)
    const char* fallback;  // for a missing key; a key present with no value reads empty
    KeyWriter writer;
    int fieldLimit = 0;  // the setup sheet's input limit where it differs from `limit`; 0: none
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

// General. MAXSecs is written under the spelling "MaxSecs" (the same key).
inline constexpr SettingKey AutoStart{kGeneral, "AutoStart", 1, "0", Sheet};
inline constexpr SettingKey Secs{kGeneral, "Secs", 4, "60", Sheet, 4};
inline constexpr SettingKey MAXSecs{kGeneral, "MAXSecs", 4, "60", Sheet, 4};
inline constexpr const char* kMAXSecsWritten = "MaxSecs";
// Echoes per PING probe, hand-edited only: 1 to 20 (see MonitorSettings::Echoes).
inline constexpr SettingKey Echoes{kGeneral, "Echoes", 4, "1", Hand};

// Servers: one key of each pattern per slot ("s0node" to "s99node").
inline constexpr SettingKey NodeAddress{kServers, "s%dnode", 49, "", Sheet, 49};
inline constexpr SettingKey NodePort{kServers, "s%dport", 5, "", Sheet, 5};
inline constexpr SettingKey NodeTitle{kServers, "s%dtitle", 49, "", Sheet, 49};
inline constexpr SettingKey NodeType{kServers, "s%dtype", 1, "0", Sheet};
// The address of the node this one stands behind: its alarms are held while
// that node is down.
inline constexpr SettingKey NodeParent{kServers, "s%dparent", 49, "", Node};

// Reports. Fmt_HTML is written as "Fmt_HTML" when on and "Fmt_Html" when off.
inline constexpr SettingKey Log_Flag{kReports, "Log_Flag", 1, "0", Sheet};
inline constexpr SettingKey Log_File_Name{kReports, "Log_File_Name", 127, "", Sheet};
inline constexpr SettingKey Success{kReports, "Success", 1, "0", Sheet};
inline constexpr SettingKey Report_Flag{kReports, "Report_Flag", 1, "0", Sheet};
inline constexpr SettingKey Report_File_Name{kReports, "Report_File_Name", 127, "", Sheet};
inline constexpr SettingKey Fmt_Text{kReports, "Fmt_Text", 1, "0", Sheet};
inline constexpr SettingKey Fmt_HTML{kReports, "Fmt_HTML", 1, "0", Sheet};
inline constexpr const char* kFmtHtmlOffWritten = "Fmt_Html";

// Alerts, written by the sheet. The e-mail fields and the command line take
// more on the page than is read back.
inline constexpr SettingKey Audio_Flag{kAlerts, "Audio_Flag", 1, "0", Sheet};
inline constexpr SettingKey Wave_File{kAlerts, "Wave_File", 127, "", Sheet};
inline constexpr SettingKey Num_Fails{kAlerts, "Num_Fails", 3, "", Sheet};
inline constexpr SettingKey Max_Alarms{kAlerts, "Max_Alarms", 3, "10", Sheet, 3};
inline constexpr SettingKey Loop_Flag{kAlerts, "Loop_Flag", 1, "0", Sheet};
inline constexpr SettingKey Pager_Flag{kAlerts, "Pager_Flag", 1, "0", Sheet};
inline constexpr SettingKey Com_1{kAlerts, "Com_1", 1, "0", Sheet};
inline constexpr SettingKey Com_2{kAlerts, "Com_2", 1, "0", Sheet};
inline constexpr SettingKey Pager_Phone{kAlerts, "Pager_Phone", 40, "", Sheet, 40};
inline constexpr SettingKey Pager_Message{kAlerts, "Pager_Message", 40, "", Sheet, 40};
inline constexpr SettingKey Email_Flag{kAlerts, "Email_Flag", 1, "0", Sheet};
inline constexpr SettingKey Email_SMTP{kAlerts, "Email_SMTP", 39, "", Sheet};
inline constexpr SettingKey Email_From{kAlerts, "Email_From", 39, "", Sheet};
inline constexpr SettingKey Email_To{kAlerts, "Email_To", 39, "", Sheet};
inline constexpr SettingKey Email_Subject{kAlerts, "Email_Subject", 39, "", Sheet};
inline constexpr SettingKey Launch_Flag{kAlerts, "Launch_Flag", 1, "0", Sheet};
inline constexpr SettingKey Command_Line{kAlerts, "Command_Line", 39, "", Sheet, 123};

// Alerts, hand-edited only.
inline constexpr SettingKey Pager_Delay{kAlerts, "Pager_Delay", 1, "4", Hand};
inline constexpr SettingKey Com_1_Device{kAlerts, "Com_1_Device", 127, "/dev/ttyS0", Hand};
inline constexpr SettingKey Com_2_Device{kAlerts, "Com_2_Device", 127, "/dev/ttyS1", Hand};
inline constexpr SettingKey Email_Port{kAlerts, "Email_Port", 5, "25", Hand};
inline constexpr SettingKey Email_Security{kAlerts, "Email_Security", 15, "", Hand};
inline constexpr SettingKey Email_User{kAlerts, "Email_User", 127, "", Hand};
inline constexpr SettingKey Email_Password_File{kAlerts, "Email_Password_File", 255, "", Hand};
inline constexpr SettingKey Loss_Percent{kAlerts, "Loss_Percent", 4, "0", Hand};
inline constexpr SettingKey Slow_ms{kAlerts, "Slow_ms", 6, "0", Hand};
inline constexpr SettingKey Webhook_URL{kAlerts, "Webhook_URL", 2047, "", Hand};
inline constexpr SettingKey Webhook_Format{kAlerts, "Webhook_Format", 15, "json", Hand};
inline constexpr SettingKey Webhook_Token_File{kAlerts, "Webhook_Token_File", 255, "", Hand};
inline constexpr SettingKey Notify_Flag{kAlerts, "Notify_Flag", 1, "1", Hand};

// History and metrics, hand-edited only.
inline constexpr SettingKey Keep_Days{kHistory, "Keep_Days", 5, "30", Hand};
inline constexpr SettingKey Metrics_Listen{kMetrics, "Listen", 64, "", Hand};

// Maintenance, hand-edited only: windows "w0" to "w19" and a hold of every alarm.
inline constexpr SettingKey MaintenanceWindow{kMaintenance, "w%d", 255, "", Hand};
inline constexpr SettingKey Hold_Until{kMaintenance, "Hold_Until", 16, "", Hand};

}  // namespace keys

// The SMTP server text made from Email_SMTP (by the alarm, the e-mail test and
// the mailer) holds at most this many bytes.
inline constexpr std::size_t kSmtpServerTextMax = 99;

}  // namespace sentrel
