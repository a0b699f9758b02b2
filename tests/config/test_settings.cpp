#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <thread>

#include "config/settings.h"
#include "engine/node_table.h"
#include "support/temp_dir.h"

namespace sentrel {
namespace {

using testing::ConfigHomeGuard;
using testing::ReadFileBytes;
using testing::WriteFileBytes;

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetSettingsForTesting();
        ResetNodeTable();
    }
    void TearDown() override {
        ResetSettingsForTesting();
        ResetNodeTable();
    }

    void WriteIni(const std::string& bytes) { ASSERT_TRUE(WriteFileBytes(home_.IniPath(), bytes)); }
    std::string IniBytes() const { return ReadFileBytes(home_.IniPath()); }
    MonitorSettings Load() {
        LoadSettings();
        return CurrentSettings();
    }
    // Loads a file of one section with the given lines.
    MonitorSettings LoadSection(const std::string& section, const std::string& lines) {
        WriteIni("[" + section + "]\r\n" + lines);
        return Load();
    }

    ConfigHomeGuard home_;
};

TEST(SettingsHelpers, ToIntReadsLikeTheCLibrary) {
    EXPECT_EQ(ToInt("60"), 60);
    EXPECT_EQ(ToInt("  \t42x"), 42);
    EXPECT_EQ(ToInt("-7"), -7);
    EXPECT_EQ(ToInt("+3"), 3);
    EXPECT_EQ(ToInt(""), 0);
    EXPECT_EQ(ToInt("abc"), 0);
    EXPECT_EQ(ToInt("- 5"), 0);
    EXPECT_EQ(ToInt("99999999999999999999"), INT_MAX);
    EXPECT_EQ(ToInt("-99999999999999999999"), INT_MIN);
    EXPECT_EQ(ToInt("-2147483648"), INT_MIN);
}

TEST(SettingsHelpers, FilePathFollowsTheEnvironment) {
    ConfigHomeGuard home;
    EXPECT_EQ(SettingsFilePath(), home.IniPath());
    const char* oldHome = std::getenv("HOME");
    std::string savedHome = oldHome != nullptr ? oldHome : "";
    setenv("HOME", "/home/someone", 1);
    setenv("XDG_CONFIG_HOME", "relative/dir", 1);  // not absolute: ignored
    EXPECT_EQ(SettingsFilePath(), "/home/someone/.config/sentrel/tarn.ini");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(SettingsFilePath(), "/home/someone/.config/sentrel/tarn.ini");
    if (oldHome != nullptr) {
        setenv("HOME", savedHome.c_str(), 1);
    } else {
        unsetenv("HOME");
    }
}

TEST_F(SettingsTest, BeforeTheFirstLoadEverythingIsEmpty) {
    MonitorSettings s = CurrentSettings();
    EXPECT_EQ(s.Secs, "");
    EXPECT_EQ(ToInt(s.Secs), 0);
    EXPECT_EQ(s.NodeList[0].address, "");
}

TEST_F(SettingsTest, NoFileGivesTheDefaults) {
    MonitorSettings s = Load();
    EXPECT_EQ(s.Secs, "60");
    EXPECT_EQ(s.MAXSecs, "60");
    EXPECT_EQ(s.Max_Alarms, "10");
    EXPECT_EQ(s.Num_Fails, "");
    EXPECT_EQ(s.Pager_Delay, 4);
    EXPECT_TRUE(s.Fmt_Text);
    EXPECT_FALSE(s.Fmt_HTML);
    EXPECT_FALSE(s.AutoStart || s.Log_Flag || s.Success || s.Report_Flag || s.Audio_Flag ||
                 s.Loop_Flag || s.Pager_Flag || s.Com_1 || s.Com_2 || s.Email_Flag ||
                 s.Launch_Flag);
    EXPECT_EQ(s.Com_1_Device, "/dev/ttyS0");
    EXPECT_EQ(s.Com_2_Device, "/dev/ttyS1");
    EXPECT_EQ(s.NodeList, NodeSlots{});
    EXPECT_FALSE(std::filesystem::exists(home_.IniPath()));  // reading creates nothing
}

TEST_F(SettingsTest, UnreadableOrGarbageFilesGiveTheDefaults) {
    MonitorSettings defaults = Load();
    std::filesystem::create_directories(home_.IniPath());  // a directory in its place
    EXPECT_EQ(Load(), defaults);
    std::filesystem::remove(home_.IniPath());

    std::string garbage;
    for (int i = 0; i < 100000; ++i) {
        garbage += static_cast<char>((i * 7919 + i / 13) & 0xFF);
    }
    WriteIni(garbage);
    EXPECT_EQ(Load(), defaults);
    WriteIni("");
    EXPECT_EQ(Load(), defaults);
    WriteIni(std::string(50u * 1024 * 1024, 'S'));
    EXPECT_EQ(Load(), defaults);
}

TEST_F(SettingsTest, TextsAreCutAtTheirReadLimits) {
    WriteIni("[General]\r\nSecs=3600\r\nMAXSecs=12345\r\n");
    MonitorSettings s = Load();
    EXPECT_EQ(s.Secs, "3600");
    EXPECT_EQ(s.MAXSecs, "1234");

    WriteIni("[General]\r\nSecs=\r\n");
    s = Load();
    EXPECT_EQ(s.Secs, "");  // present but empty: not the default
    EXPECT_EQ(ToInt(s.Secs), 0);

    const std::string a49(49, 'a');
    const std::string t49(49, 't');
    WriteIni("[Servers]\r\ns0node=" + a49 + "\r\ns0port=65535\r\ns0title=" + t49 +
             "\r\ns1node=" + a49 + "b\r\ns1port=123456\r\ns1title=" + t49 +
             "u\r\n"
             // 48 bytes and a two-byte "é": the cut falls back before it.
             "s2node=" +
             std::string(48, 'c') + "\xC3\xA9\r\n[Alerts]\r\nNum_Fails=1234\r\nMax_Alarms=" +
             "9999\r\nPager_Phone=" + std::string(41, '5') + "\r\nCommand_Line=" +
             std::string(40, 'x') + "\r\nWave_File=" + std::string(130, 'w') + "\r\n");
    s = Load();
    EXPECT_EQ(s.NodeList[0].address, a49);
    EXPECT_EQ(s.NodeList[0].port, "65535");
    EXPECT_EQ(s.NodeList[0].title, t49);
    EXPECT_EQ(s.NodeList[1].address, a49);
    EXPECT_EQ(s.NodeList[1].port, "12345");
    EXPECT_EQ(s.NodeList[1].title, t49);
    EXPECT_EQ(s.NodeList[2].address, std::string(48, 'c'));
    EXPECT_EQ(s.Num_Fails, "123");
    EXPECT_EQ(s.Max_Alarms, "999");
    EXPECT_EQ(s.Pager_Phone, std::string(40, '5'));
    EXPECT_EQ(s.Command_Line, std::string(39, 'x'));
    EXPECT_EQ(s.Wave_File, std::string(127, 'w'));
}

TEST_F(SettingsTest, NodesStopAtTheFirstGapAndReachTheNodeTable) {
    WriteIni(
        "[Servers]\r\n"
        "s0node=127.0.0.1\r\ns0type=1\r\n"
        "s1node=localhost\r\ns1port=8080\r\ns1title=Web\r\n"
        "s3node=127.0.0.3\r\ns3title=Lost\r\n");
    MonitorSettings s = Load();
    EXPECT_EQ(s.NodeList[0], (NodeEntry{"127.0.0.1", "", "", PING}));
    EXPECT_EQ(s.NodeList[1], (NodeEntry{"localhost", "8080", "Web", HTTPD}));
    EXPECT_EQ(s.NodeList[2], NodeEntry{});
    EXPECT_EQ(s.NodeList[3], NodeEntry{});
    EXPECT_EQ(NodeTable::Instance().Get(0).node, s.NodeList[0]);
    EXPECT_EQ(NodeTable::Instance().Get(1).node, s.NodeList[1]);
    EXPECT_EQ(NodeTable::Instance().Get(3).node, NodeEntry{});

    // The next save deletes every node key from slot 2 on: node 3 is gone.
    ASSERT_TRUE(SaveSettings(s));
    EXPECT_EQ(IniBytes().find("s3"), std::string::npos);
    EXPECT_EQ(Load().NodeList, s.NodeList);
}

TEST_F(SettingsTest, ProbeTypesRoundTrip) {
    MonitorSettings s = Load();
    s.NodeList[0] = {"127.0.0.1", "", "ping me", PING};
    s.NodeList[1] = {"localhost", "80", "web", HTTPD};
    s.NodeList[2] = {"127.0.0.2", "", "", 7};  // hand-edited digit: kept as read
    ASSERT_TRUE(SaveSettings(s));
    const std::string bytes = IniBytes();
    EXPECT_NE(bytes.find("s0type=1\r\n"), std::string::npos);
    EXPECT_EQ(bytes.find("s1type"), std::string::npos);
    EXPECT_NE(bytes.find("s2type=7\r\n"), std::string::npos);
    MonitorSettings back = Load();
    EXPECT_EQ(back.NodeList[0].probeType, PING);
    EXPECT_EQ(back.NodeList[1].probeType, HTTPD);
    EXPECT_EQ(back.NodeList[2].probeType, 7);
}

TEST_F(SettingsTest, ReportFormatIsExclusiveTextWinningATie) {
    struct Case {
        const char* lines;
        bool text;
        bool html;
    } cases[] = {
        {"Fmt_Text=1\r\nFmt_HTML=1\r\n", true, false},
        {"Fmt_Text=0\r\nFmt_HTML=0\r\n", true, false},
        {"Fmt_Text=0\r\nFmt_HTML=1\r\n", false, true},
        {"fmt_html=1\r\n", false, true},
        {"Fmt_Text=1\r\n", true, false},
    };
    for (const Case& c : cases) {
        MonitorSettings s = LoadSection("Reports", c.lines);
        EXPECT_EQ(s.Fmt_Text, c.text) << c.lines;
        EXPECT_EQ(s.Fmt_HTML, c.html) << c.lines;
    }
}

TEST_F(SettingsTest, FlagsComPortsAndPagerDelay) {
    MonitorSettings s = LoadSection("Alerts", "Com_1=1\r\nCom_2=1\r\n");
    EXPECT_TRUE(s.Com_1);
    EXPECT_FALSE(s.Com_2);
    s = LoadSection("Alerts", "Com_2=1\r\n");
    EXPECT_FALSE(s.Com_1);
    EXPECT_TRUE(s.Com_2);

    struct {
        const char* stored;
        int delay;
    } delays[] = {{"Pager_Delay=0\r\n", 4},  {"Pager_Delay=x\r\n", 4}, {"", 4},
                  {"Pager_Delay=12\r\n", 1}, {"Pager_Delay=9\r\n", 9}, {"Pager_Delay=-3\r\n", 4}};
    for (const auto& d : delays) {
        EXPECT_EQ(LoadSection("Alerts", d.stored).Pager_Delay, d.delay) << d.stored;
    }

    for (const char* on : {"1", "10", "1x"}) {
        EXPECT_TRUE(LoadSection("General", std::string("AutoStart=") + on + "\r\n").AutoStart)
            << on;
    }
    for (const char* off : {"0", "", "yes", "true", " 0"}) {
        EXPECT_FALSE(LoadSection("General", std::string("AutoStart=") + off + "\r\n").AutoStart)
            << off;
    }

    s = LoadSection("Alerts", "Com_1_Device=/dev/ttyUSB0\r\nCom_2_Device=\r\n");
    EXPECT_EQ(s.Com_1_Device, "/dev/ttyUSB0");
    EXPECT_EQ(s.Com_2_Device, "");
}

MonitorSettings Example() {
    MonitorSettings s;
    s.AutoStart = true;
    s.Secs = "30";
    s.MAXSecs = "45";
    s.NodeList[0] = {"localhost", "8080", "Web", HTTPD};
    s.NodeList[1] = {"127.0.0.1", "", "", PING};
    s.Log_Flag = true;
    s.Log_File_Name = "/tmp/sentrel.log";
    s.Fmt_Text = true;
    s.Num_Fails = "3";
    s.Max_Alarms = "10";
    s.Pager_Flag = true;
    s.Com_2 = true;
    s.Pager_Phone = "5551234";
    s.Pager_Message = "911";
    s.Email_Subject = "Node down \xE2\x82\xAC";
    s.Pager_Delay = 4;
    s.Com_1_Device = "/dev/ttyS0";
    s.Com_2_Device = "/dev/ttyS1";
    return s;
}

TEST_F(SettingsTest, SaveWritesAFreshFileByteForByte) {
    ASSERT_TRUE(SaveSettings(Example()));
    EXPECT_EQ(IniBytes(),
              "[General]\r\nAutoStart=1\r\nSecs=30\r\nMaxSecs=45\r\n"
              "\r\n[Servers]\r\n"
              "s0node=localhost\r\ns0port=8080\r\ns0title=Web\r\n"
              "s1node=127.0.0.1\r\ns1type=1\r\n"
              "\r\n[Reports]\r\n"
              "Log_Flag=1\r\nLog_File_Name=/tmp/sentrel.log\r\nSuccess=0\r\nReport_Flag=0\r\n"
              "Report_File_Name=\r\nFmt_Text=1\r\nFmt_Html=0\r\n"
              "\r\n[Alerts]\r\n"
              "Audio_Flag=0\r\nWave_File=\r\nNum_Fails=3\r\nMax_Alarms=10\r\nLoop_Flag=0\r\n"
              "Pager_Flag=1\r\nCom_1=0\r\nCom_2=1\r\nPager_Phone=5551234\r\nPager_Message=911\r\n"
              "Email_Flag=0\r\nEmail_SMTP=\r\nEmail_From=\r\nEmail_To=\r\n"
              "Email_Subject=Node down \xE2\x82\xAC\r\nLaunch_Flag=0\r\nCommand_Line=\r\n");
    // Saving does not change the in-memory copy; the reload brings the file back whole.
    EXPECT_EQ(CurrentSettings(), MonitorSettings{});
    EXPECT_EQ(Load(), Example());
}

TEST_F(SettingsTest, SaveUpdatesAHandEditedFileInPlace) {
    WriteIni(
        "; Sentrel settings, edited by hand\n"
        "[general]\n"
        "MAXSecs=30\n"
        "secs = 10\n"
        "Custom=keep\n"
        "\n"
        "[Screen]\n"
        "XPOS=10\n"
        "\n"
        "[SERVERS]\n"
        "; nodes below\n"
        "s0NODE=old.example\n"
        "s0type=1\n"
        "s1node=gone\n"
        "extra=stays\n"
        "\n"
        "[Reports]\n"
        "FMT_HTML=1\n"
        "[Alerts]\n"
        "Pager_Delay=7\n"
        "Com_1_Device=/dev/ttyUSB0\n"
        "[Unknown]\n"
        "a=b");
    MonitorSettings s;
    s.Secs = "20";
    s.MAXSecs = "45";
    s.NodeList[0] = {"127.0.0.1", "", "Loop", PING};
    s.Fmt_Text = true;
    s.Pager_Delay = 2;
    s.Com_1_Device = "/dev/null";
    ASSERT_TRUE(SaveSettings(s));
    EXPECT_EQ(IniBytes(),
              "; Sentrel settings, edited by hand\n"
              "[general]\n"
              "MAXSecs=45\n"
              "secs = 20\n"
              "Custom=keep\n"
              "AutoStart=0\n"
              "\n"
              "[Screen]\n"
              "XPOS=10\n"
              "\n"
              "[SERVERS]\n"
              "; nodes below\n"
              "extra=stays\n"
              "s0node=127.0.0.1\n"
              "s0title=Loop\n"
              "s0type=1\n"
              "\n"
              "[Reports]\n"
              "FMT_HTML=0\n"
              "Log_Flag=0\nLog_File_Name=\nSuccess=0\nReport_Flag=0\nReport_File_Name=\n"
              "Fmt_Text=1\n"
              "[Alerts]\n"
              "Pager_Delay=7\n"
              "Com_1_Device=/dev/ttyUSB0\n"
              "Audio_Flag=0\nWave_File=\nNum_Fails=\nMax_Alarms=\nLoop_Flag=0\nPager_Flag=0\n"
              "Com_1=0\nCom_2=0\nPager_Phone=\nPager_Message=\nEmail_Flag=0\nEmail_SMTP=\n"
              "Email_From=\nEmail_To=\nEmail_Subject=\nLaunch_Flag=0\nCommand_Line=\n"
              "[Unknown]\n"
              "a=b");
    MonitorSettings back = Load();
    EXPECT_EQ(back.MAXSecs, "45");
    EXPECT_EQ(back.Pager_Delay, 7);
    EXPECT_EQ(back.Com_1_Device, "/dev/ttyUSB0");

    // Choosing HTML later updates the same line.
    s.Fmt_Text = false;
    s.Fmt_HTML = true;
    ASSERT_TRUE(SaveSettings(s));
    EXPECT_NE(IniBytes().find("[Reports]\nFMT_HTML=1\n"), std::string::npos);
    EXPECT_TRUE(Load().Fmt_HTML);
}

TEST_F(SettingsTest, SavedTextsCannotInjectKeys) {
    MonitorSettings s = Load();
    s.Command_Line = "echo hi\r\n[General]\r\nSecs=1";
    s.NodeList[0] = {"127.0.0.1\ns1node=evil", "", "", HTTPD};
    ASSERT_TRUE(SaveSettings(s));
    MonitorSettings back = Load();
    EXPECT_EQ(back.Command_Line, "echo hi");
    EXPECT_EQ(back.Secs, "60");
    EXPECT_EQ(back.NodeList[0].address, "127.0.0.1");
    EXPECT_EQ(back.NodeList[1].address, "");
}

TEST_F(SettingsTest, FailedSaveKeepsTheOldFile) {
    std::filesystem::create_directories(home_.IniPath());
    EXPECT_FALSE(SaveSettings(Example()));
    EXPECT_TRUE(std::filesystem::is_directory(home_.IniPath()));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home_.dir().path() + "/sentrel"),
                            std::filesystem::directory_iterator()),
              1);

    // A file too large to read is never replaced by a save.
    std::filesystem::remove(home_.IniPath());
    const std::string huge(3u * 1024 * 1024, '#');
    WriteIni(huge);
    EXPECT_FALSE(SaveSettings(Example()));
    EXPECT_EQ(std::filesystem::file_size(home_.IniPath()), huge.size());
}

TEST_F(SettingsTest, LoadsAndCopiesRaceFree) {
    ASSERT_TRUE(SaveSettings(Example()));
    std::atomic<bool> stop{false};
    std::atomic<int> copies{0};
    std::atomic<int> mixed{0};
    const MonitorSettings loaded = Example();
    std::thread reader([&] {
        while (!stop.load()) {
            MonitorSettings s = CurrentSettings();
            // Either the state before the first load or a whole loaded copy.
            if (!(s == MonitorSettings{}) && !(s == loaded)) {
                mixed.fetch_add(1);
            }
            copies.fetch_add(1);
        }
    });
    // Loads while the reader copies; at least 50 loads, and the reader must have
    // copied during them.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int loads = 0;
    for (int seen = copies.load();
         loads < 50 || (copies.load() == seen && std::chrono::steady_clock::now() < deadline);
         ++loads) {
        LoadSettings();
    }
    stop.store(true);
    reader.join();
    EXPECT_GT(copies.load(), 0);
    EXPECT_EQ(mixed.load(), 0);
    EXPECT_EQ(CurrentSettings(), loaded);
}

}  // namespace
}  // namespace sentrel
