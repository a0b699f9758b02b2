// Settings with every field set, for the setup sheet's tests.
#pragma once

#include <string>

#include "config/settings.h"

namespace sentrel::testing {

// Every field away from its default and all 100 node slots in use, with empty
// ports and titles, PING, HTTPD and a hand-edited type among them.
inline MonitorSettings FullSettings() {
    MonitorSettings s;
    s.AutoStart = true;
    s.Secs = "3600";
    s.MAXSecs = "45";
    for (int i = 0; i < kMaxNodes; ++i) {
        NodeEntry& node = s.NodeList[i];
        node.address = "node" + std::to_string(i) + ".example";
        node.port = i % 3 == 0 ? "" : std::to_string(8000 + i);
        node.title = i % 4 == 0 ? "" : "Title of " + std::to_string(i);
        node.probeType = i % 2;
    }
    s.NodeList[57].probeType = 3;
    s.Log_Flag = true;
    s.Log_File_Name = "/var/log/sentrel/monitor.log";
    s.Success = true;
    s.Report_Flag = true;
    s.Report_File_Name = "/srv/www/status.rpt";
    s.Fmt_Text = false;
    s.Fmt_HTML = true;
    s.Audio_Flag = true;
    s.Wave_File = "/usr/share/sounds/alarm.wav";
    s.Num_Fails = "3";
    s.Max_Alarms = "5";
    s.Loop_Flag = true;
    s.Pager_Flag = true;
    s.Com_1 = false;
    s.Com_2 = true;
    s.Pager_Phone = "5551234";
    s.Pager_Message = "911";
    s.Pager_Delay = 9;
    s.Email_Flag = true;
    s.Email_SMTP = "mail.example";
    s.Email_From = "monitor@example";
    s.Email_To = "operator@example";
    s.Email_Subject = "Node down";
    s.Launch_Flag = true;
    s.Command_Line = "logger sentrel alarm";
    s.Com_1_Device = "/dev/ttyUSB0";
    s.Com_2_Device = "/dev/ttyUSB1";
    return s;
}

}  // namespace sentrel::testing
