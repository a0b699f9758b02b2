// The profile reader and writer, the settings file and the window placement, on real files.
#include <gtest/gtest.h>

#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <climits>

#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>

#include "config/maintenance.h"
#include "config/node_table.h"
#include "config/placement.h"
#include "config/profile_file.h"
#include "config/settings.h"
#include "support/harness.h"

namespace sentrel {
namespace {

using namespace testing;
namespace fs = std::filesystem;
using Edit = std::tuple<std::string, std::string, std::optional<std::string_view>>;

const auto Entries = [](const std::string& dir) {
    return std::distance(fs::directory_iterator(dir), {});
};

TEST(ProfileFile, ReadsKeysCaseBlindFirstWinsCutNeverInsideUtf8) {
    ProfileFile f;
    f.Parse(
        "Before=x\n[General]\r\nSecs=30\r\nEmpty=\r\n  Spaced Key  =  v w  \r\nk=1\nk=2\n"
        "no equals\n[Broken\nafter=4\n[S]\nk2=abc\xC3\xA9x\nk3=ab\xE2\x82\xACx\n"
        "k4=a\xF0\x9F\x98\x80x\n[ general ]\nsecond=5\n");
    // clang-format off
    const std::tuple<const char*, const char*, const char*, std::size_t, std::string> rows[] = {
        {"general", "SECS", "60", 4, "30"}, {"General", "Empty", "d", 9, ""}, {"S", "k4", "", 1, "a"},
        {"General", "spaced key", "", 9, "v w"}, {"General", "Missing", "d", 9, "d"},
        {"", "Before", "d", 9, "d"}, {"S", "Secs", "d", 9, "d"}, {"General", "k", "", 9, "1"},
        {"General", "after", "", 9, "4"}, {"Broken", "after", "d", 9, "d"},
        {"GENERAL", "second", "", 9, "5"}, {"S", "k2", "", 4, "abc"}, {"S", "k3", "", 4, "ab"},
        {"S", "k2", "", 5, "abc\xC3\xA9"}, {"S", "k3", "", 5, "ab\xE2\x82\xAC"}, {"S", "k4", "", 4, "a"},
        {"S", "k4", "", 5, "a\xF0\x9F\x98\x80"}, {"S", "none", "\xC3\xA9\xC3\xA9", 3, "\xC3\xA9"}};
    // clang-format on
    for (const auto& [section, key, def, limit, want] : rows) {
        EXPECT_EQ(f.Get(section, key, def, limit), want) << section << "/" << key << " " << limit;
    }
    EXPECT_EQ(Utf8CutLength("\xE9t\xE9t", 3), 3u);  // not UTF-8: bytes count singly
    EXPECT_EQ(Utf8CutLength("\x80\x80\x80", 2), 2u);
}

TEST(ProfileFile, EditsKeepEveryOtherByteAndTheFileLineEnding) {
    // clang-format off
    const std::tuple<std::string, std::vector<Edit>, std::string> rows[] = {
        {"; hand\r\n[GENERAL]\r\n  secs = 30   \r\nUnknown=keep\r\n\r\n[Other]\r\nx=1\r\n",
         {{"General", "Secs", "45"}, {"General", "Added", "v"}, {"Fresh", "k", ""}},
         "; hand\r\n[GENERAL]\r\n  secs = 45\r\nUnknown=keep\r\nAdded=v\r\n\r\n[Other]\r\nx=1\r\n"
         "\r\n[Fresh]\r\nk=\r\n"},
        {"[A]\nk=1\n", {{"A", "j", "2"}, {"B", "m", "3"}}, "[A]\nk=1\nj=2\n\n[B]\nm=3\n"},
        {"", {{"A", "k", "1"}}, "[A]\r\nk=1\r\n"}, {"[A]\r\nk=1", {}, "[A]\r\nk=1"},
        {"[A]\r\nk=1", {{"A", "j", "2"}}, "[A]\r\nk=1\r\nj=2\r\n"},
        {"\xEF\xBB\xBF[A]\nk=1\n", {{"A", "k", "2"}}, "\xEF\xBB\xBF[A]\nk=2\n"},
        {"[A]\nk=1\nother=x\nK=2\n[a]\nk=3\n",
         {{"A", "k", std::nullopt}, {"A", "other", std::nullopt}, {"A", "k", "4"}}, "[A]\nk=4\n[a]\n"},
        {"[A]\nk=1\n", {{"A", "k", "safe\r\n[B]\nevil=1"}, {"A", "a=b", "v"}, {"A", "x\ny", "v"},
         {"A]\n[B", "x", "v"}, {"", "x", "v"}, {"A", " ", "v"}}, "[A]\nk=safe\n"}};
    // clang-format on
    for (const auto& [before, edits, after] : rows) {
        ProfileFile f;
        f.Parse(before);
        for (const auto& [section, key, value] : edits) {
            f.Write(section, key, value);
        }
        EXPECT_EQ(f.Serialize(), after) << before;
    }
}

TEST(ProfileFile, LoadsOddPlacesAndSavesAtomically) {
    TempDir dir;
    ProfileFile f;
    EXPECT_EQ(f.Load(dir.file("absent.ini")), ProfileFile::LoadResult::Missing);
    fs::create_directory(dir.file("dir.ini"));
    EXPECT_EQ(f.Load(dir.file("dir.ini")), ProfileFile::LoadResult::Unreadable);
    ASSERT_EQ(mkfifo(dir.file("fifo.ini").c_str(), 0600), 0);  // must not block
    EXPECT_EQ(f.Load(dir.file("fifo.ini")), ProfileFile::LoadResult::Unreadable);
    const std::string big = "[A]\nk=" + std::string(kProfileFileMaxBytes - 7, 'x') + "\n";
    ASSERT_TRUE(WriteFile(dir.file("big.ini"), big));
    EXPECT_EQ(f.Load(dir.file("big.ini")), ProfileFile::LoadResult::Loaded);
    ASSERT_TRUE(WriteFile(dir.file("big.ini"), big + "\n"));  // one byte over: never replaced
    EXPECT_EQ(f.Load(dir.file("big.ini")), ProfileFile::LoadResult::Unreadable);
    f.Set("A", "k", "1");
    EXPECT_FALSE(f.Save(dir.file("big.ini")));
    EXPECT_EQ(fs::file_size(dir.file("big.ini")), big.size() + 1);

    const std::string path = dir.file("a/tarn.ini");
    ProfileFile g;
    g.Set("A", "k", "1");
    ASSERT_TRUE(g.Save(path));
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    fs::create_symlink(path, dir.file("link.ini"));
    g.Set("A", "k", "2");
    ASSERT_TRUE(g.Save(dir.file("link.ini")));
    EXPECT_TRUE(fs::is_symlink(dir.file("link.ini")));
    EXPECT_EQ(ReadFile(path), "[A]\r\nk=2\r\n");
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(0640));
    EXPECT_EQ(Entries(dir.file("a")), 1);

    // A full disk (the file size limit) fails the write part way: the old file stays whole.
    g.Set("A", "k", std::string(64 * 1024, 'n'));
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit small{4096, saved.rlim_max};
    std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const bool savedOk = g.Save(path);
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_FALSE(savedOk);
    EXPECT_EQ(ReadFile(path), "[A]\r\nk=2\r\n");
    EXPECT_EQ(Entries(dir.file("a")), 1);
}

class Settings : public ::testing::Test {
  protected:
    void SetUp() override {
        home_.UseAsConfigHome();
        SetCurrentSettings({});
        ResetNodeTable();
    }
    void TearDown() override {
        SetCurrentSettings({});
        ResetNodeTable();
    }
    MonitorSettings Load(const std::optional<std::string>& bytes = std::nullopt) {
        if (bytes) {
            EXPECT_TRUE(WriteFile(home_.iniPath(), *bytes));
        }
        LoadSettings();
        return CurrentSettings();
    }
    TempDir home_;
};

using Field = std::function<std::vector<std::string>(const MonitorSettings&)>;
#define F(...) [](const MonitorSettings& s) { return std::vector<std::string>{__VA_ARGS__}; }
const auto B = [](bool b) { return std::string(b ? "1" : "0"); };
const Field kFlags =  // one value, each flag named
    F("text " + B(s.Fmt_Text) + " html " + B(s.Fmt_HTML) + " com " + B(s.Com_1) + B(s.Com_2) +
      " auto " + B(s.AutoStart) + " delay " + std::to_string(s.Pager_Delay) + " notify " +
      B(s.Notify_Flag));
const Field kEchoes = F(std::to_string(s.Echoes), std::to_string(s.Loss_Percent),
                        std::to_string(s.Slow_ms), std::to_string(s.Parallel));

TEST_F(Settings, ReadsLimitsDefaultsAndFlagsAsStored) {
    const std::string a49(49, 'a'), x40(40, 'x'), w130(130, 'w');
    // clang-format off
    const std::tuple<std::string, Field, std::vector<std::string>> rows[] = {
        {"", F(s.Secs, s.MAXSecs, s.Max_Alarms, s.Num_Fails, s.Com_1_Device, s.Com_2_Device),
         {"60", "60", "10", "", "/dev/ttyS0", "/dev/ttyS1"}},
        {"[General]\nSecs=\nMAXSecs=12345\n", F(s.Secs, s.MAXSecs), {"", "1234"}},
        {"[Servers]\ns0node=" + a49 + "b\ns0port=123456\ns0title=\xC3\xA9" + a49,
         F(s.NodeList[0].address, s.NodeList[0].port, s.NodeList[0].title), {a49, "12345", "\xC3\xA9" + a49.substr(2)}},
        {"[Alerts]\nNum_Fails=1234\nMax_Alarms=9999\nPager_Phone=" + x40 + "5\nCommand_Line=" + x40 +
         "\nWave_File=" + w130 + "\nCom_2_Device=\n", F(s.Num_Fails, s.Max_Alarms, s.Pager_Phone,
         s.Command_Line, s.Wave_File, s.Com_2_Device), {"123", "999", x40, x40.substr(1), w130.substr(3), ""}},
        {"", kFlags, {"text 1 html 0 com 00 auto 0 delay 4 notify 1"}},
        {"[Reports]\nFmt_Text=1\nFmt_HTML=1\n[Alerts]\nCom_1=1\nCom_2=1\nPager_Delay=12", kFlags, {"text 1 html 0 com 10 auto 0 delay 1 notify 1"}},
        {"[Reports]\nFmt_Text=0\nFmt_HTML=0\n[Alerts]\nCom_2=1\nPager_Delay=0\nNotify_Flag=0", kFlags, {"text 1 html 0 com 01 auto 0 delay 4 notify 0"}},
        {"[Reports]\nfmt_html=1\n[General]\nAutoStart=1x\n[Alerts]\nPager_Delay=-3", kFlags, {"text 0 html 1 com 00 auto 1 delay 4 notify 1"}},
        {"[General]\nAutoStart=yes\n[Alerts]\nPager_Delay=9\nNotify_Flag=yes", kFlags, {"text 1 html 0 com 00 auto 0 delay 9 notify 0"}},
        {"[Servers]\ns0node=a\ns0type=1\ns1node=b\ns1type=7\ns3node=lost\n", F(std::to_string(
         s.NodeList[0].probeType), std::to_string(s.NodeList[1].probeType), s.NodeList[3].address,
         NodeTable::Instance().Get(1).node.address), {"1", "7", "", "b"}},
        {std::string(100000, '\xC3'), F(s.Secs), {"60"}},
        {"", kEchoes, {"1", "0", "0", "1"}},
        {"[General]\nEchoes=25\nParallel=65\n[Alerts]\nLoss_Percent=150\nSlow_ms=-5", kEchoes, {"20", "100", "0", "64"}},
        {"[General]\nEchoes=0\nParallel=x\n[Alerts]\nLoss_Percent=25\nSlow_ms=800", kEchoes, {"1", "25", "800", "1"}},
        {"[Alerts]\nWebhook_Format=NTFY", F(s.Webhook_Format), {"ntfy"}},
        {"[Alerts]\nWebhook_Format=", F(s.Webhook_Format), {"json"}},
        {"[Alerts]\nWebhook_Format=Teams", F(s.Webhook_Format), {"Teams"}},
        {"[Alerts]\nEmail_Port=65536", F(std::to_string(s.Email_Port)), {"25"}},
        {"[Alerts]\nEmail_Port=65535", F(std::to_string(s.Email_Port)), {"65535"}}};
    // clang-format on
    for (const auto& [bytes, field, want] : rows) {
        EXPECT_EQ(field(Load(bytes)), want) << bytes.substr(0, 60);
    }
    for (const auto& [text, value] : {std::pair{"  \t42x", 42},
                                      {"- 5", 0},
                                      {"+3", 3},
                                      {"99999999999999999999", INT_MAX},
                                      {"-99999999999999999999", INT_MIN}}) {
        EXPECT_EQ(ToInt(text), value) << text;
    }
}

const std::string kFresh =
    "[General]\r\nAutoStart=1\r\nSecs=30\r\nMaxSecs=45\r\n\r\n[Servers]\r\n"
    "s0node=localhost\r\ns0port=8080\r\ns0title=Web\r\ns1node=127.0.0.1\r\ns1type=1\r\n"
    "\r\n[Reports]\r\nLog_Flag=1\r\nLog_File_Name=/tmp/sentrel.log\r\nSuccess=0\r\n"
    "Report_Flag=0\r\nReport_File_Name=\r\nFmt_Text=1\r\nFmt_Html=0\r\n\r\n[Alerts]\r\n"
    "Audio_Flag=0\r\nWave_File=\r\nNum_Fails=3\r\nMax_Alarms=10\r\nLoop_Flag=0\r\n"
    "Pager_Flag=1\r\nCom_1=0\r\nCom_2=1\r\nPager_Phone=5551234\r\nPager_Message=911\r\n"
    "Email_Flag=0\r\nEmail_SMTP=\r\nEmail_From=\r\nEmail_To=\r\n"
    "Email_Subject=Node down \xE2\x82\xAC\r\nLaunch_Flag=0\r\nCommand_Line=\r\n";

TEST_F(Settings, SaveWritesTheFileByteForByteAndAnUntouchedRoundTripKeepsIt) {
    const MonitorSettings loaded = Load(kFresh);
    ASSERT_TRUE(SaveSettings(loaded));
    EXPECT_EQ(ReadFile(home_.iniPath()), kFresh);
    fs::remove(home_.iniPath());
    SetCurrentSettings({});
    ASSERT_TRUE(SaveSettings(loaded));
    EXPECT_EQ(ReadFile(home_.iniPath()), kFresh);
    EXPECT_EQ(CurrentSettings(), MonitorSettings{});  // saving leaves the copy in memory

    MonitorSettings s = loaded;
    s.Command_Line = "echo hi\r\n[General]\r\nSecs=1";
    s.NodeList[0].address = "127.0.0.1\ns1node=evil";
    s.NodeList[1] = {};
    ASSERT_TRUE(SaveSettings(s));
    const MonitorSettings back = Load();
    EXPECT_EQ(back.Command_Line + back.Secs + back.NodeList[0].address + back.NodeList[1].address,
              "echo hi30127.0.0.1");
}

TEST_F(Settings, SaveUpdatesAHandEditedFileInPlace) {
    Load(
        "; by hand\n[general]\nMAXSecs=30\nsecs = 10\nCustom=keep\n\n[Screen]\nXPOS=10\n\n"
        "[SERVERS]\n; nodes\ns0NODE=old\ns0type=1\ns1node=gone\nextra=stays\n\n[Reports]\n"
        "FMT_HTML=1\n[Alerts]\nPager_Delay=7\nCom_1_Device=/dev/ttyUSB0\n[Unknown]\na=b");
    MonitorSettings s;
    s.Secs = "20", s.MAXSecs = "45", s.Fmt_Text = true, s.Pager_Delay = 2, s.Com_1_Device = "x";
    s.NodeList[0] = {"127.0.0.1", "", "Loop", PING};
    ASSERT_TRUE(SaveSettings(s));
    EXPECT_EQ(ReadFile(home_.iniPath()),
              "; by hand\n[general]\nMAXSecs=45\nsecs = "
              "20\nCustom=keep\nAutoStart=0\n\n[Screen]\n"
              "XPOS=10\n\n[SERVERS]\n; nodes\nextra=stays\ns0node=127.0.0.1\ns0title=Loop\n"
              "s0type=1\n\n[Reports]\nFMT_HTML=0\nLog_Flag=0\nLog_File_Name=\nSuccess=0\n"
              "Report_Flag=0\nReport_File_Name=\nFmt_Text=1\n[Alerts]\nPager_Delay=7\n"
              "Com_1_Device=/dev/ttyUSB0\nAudio_Flag=0\nWave_File=\nNum_Fails=\nMax_Alarms=\n"
              "Loop_Flag=0\nPager_Flag=0\nCom_1=0\nCom_2=0\nPager_Phone=\nPager_Message=\n"
              "Email_Flag=0\nEmail_SMTP=\nEmail_From=\nEmail_To=\nEmail_Subject=\nLaunch_Flag=0\n"
              "Command_Line=\n[Unknown]\na=b");
}

// The sheet deletes node 0: each parent key stays with its node; deleting a parent leaves its
// children without one; renaming a parent takes its children along.
TEST_F(Settings, ParentKeysTravelWithTheirNodes) {
    MonitorSettings s = Load(
        "[Servers]\ns0node=x\ns1node=gw\ns2node=a\ns2parent=gw\ns3node=b\n"
        "s3parent=a\ns4node=c\ns4parent=gw\n");
    const auto parents = [](const MonitorSettings& m) {  // "address>parent" of each node
        std::vector<std::string> all;
        for (const NodeEntry& node : m.NodeList)
            if (!node.address.empty())
                all.push_back(node.address + ">" + node.parent);
        return all;
    };
    using Parents = std::vector<std::string>;
    RemoveNode(s.NodeList, 0);
    ASSERT_TRUE(SaveSettings(s));
    EXPECT_EQ(ReadFile(home_.iniPath()).find("s4"), std::string::npos);
    EXPECT_EQ(parents(Load()), (Parents{"gw>", "a>gw", "b>a", "c>gw"}));
    ReplaceNode(s.NodeList, 1, {"a2", "", "", PING});
    RemoveNode(s.NodeList, 0);
    EXPECT_EQ(parents(s), (Parents{"a2>", "b>a2", "c>"}));
}

// Windows and holds as written, and the local clock on the nights it jumps (Berlin, 2026).
TEST(Maintenance, WindowsParseAndFollowTheLocalClockAcrossDaylightSaving) {
    MaintenanceWindow w;
    std::string why;
    for (const char* bad :
         {"daily 02:00", "Mon-Xyz 01:00-02:00", "daily 24:00-01:00", "daily 1:00-02:00",
          "daily 02:00-02:00", "Sat 01:00-02:00 hosts=a", "Sat 01:00-02:00 nodes=a b"})
        EXPECT_FALSE(ParseMaintenanceWindow(bad, &w, &why)) << bad;
    std::time_t until = 0;
    for (const char* bad : {"2026-02-30 10:00", "2026-03-01 10:00x", "2026-03-01"})
        EXPECT_FALSE(ParseHoldUntil(bad, &until, &why)) << bad;
    const char* zone = std::getenv("TZ");
    const std::string saved = zone ? zone : "";
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    const auto covers = [&](const char* text, std::time_t utc) {
        return ParseMaintenanceWindow(text, &w, &why) && WindowCovers(w, utc);
    };
    const std::time_t spring = 1774746000, autumn = 1792890000;  // 2026-03-29 and 10-25 01:00 UTC
    // Spring: 02:00 never shows, the window opens at 03:00 CEST for an hour. Autumn: it opens at
    // the first 02:00 and ends an hour later, when the clock shows 02:00 again.
    for (const auto& [text, utc, want] : std::vector<std::tuple<const char*, std::time_t, bool>>{
             {"daily 02:00-03:00", spring - 60, false},
             {"daily 02:00-03:00", spring, true},
             {"daily 02:00-03:00", spring + 3599, true},
             {"daily 02:00-03:00", spring + 3600, false},
             {"Sun 02:00-03:00", autumn - 3600, true},
             {"Sun 02:00-03:00", autumn - 1, true},
             {"Sun 02:00-03:00", autumn, false},
             {"Fri-Sat 23:00-01:30 nodes=a", spring - 7200, true},
             {"Sun-Mon 23:00-01:30", spring - 7200, false},
             {"daily 23:30-00:30", spring - 7200, true}})
        EXPECT_EQ(covers(text, utc), want) << text << " at " << utc;
    EXPECT_TRUE(ParseHoldUntil("2026-03-29 12:00", &until, &why) && until == spring + 9 * 3600)
        << until;
    if (saved.empty())
        ::unsetenv("TZ");
    else
        ::setenv("TZ", saved.c_str(), 1);
    ::tzset();
    EXPECT_TRUE(WindowHoldsNode(w, "b") &&
                ParseMaintenanceWindow("MON 00:00-23:59 nodes=a,b", &w, &why) &&
                WindowHoldsNode(w, "b") && !WindowHoldsNode(w, "c"));
}

TEST_F(Settings, FailedOrRefusedSavesLeaveTheFileAlone) {
    fs::create_directories(home_.iniPath());  // a folder in its place
    EXPECT_FALSE(SaveSettings({}));
    EXPECT_EQ(Entries(home_.file("sentrel")), 1);
    fs::remove(home_.iniPath());
    // A read-only tarn.ini, saved by a user without root's override, stays as it was.
    ASSERT_TRUE(WriteFile(home_.iniPath(), kFresh));
    ASSERT_EQ(chmod(home_.iniPath().c_str(), 0444), 0);
    for (const char* d : {"", "sentrel"}) {
        ASSERT_EQ(chmod(home_.file(d).c_str(), 0777), 0);
    }
    // Root saves as nobody; any other user has no override to set aside.
    bool acting = false, saved = true;
    std::thread([&] {
        acting = geteuid() != 0 || (setfsuid(65534) == 0 && setfsuid(65534) == 65534);
        saved = acting && SaveSettings({});
    }).join();
    ASSERT_TRUE(acting) << "setfsuid(65534) did not take";
    EXPECT_FALSE(saved);
    EXPECT_EQ(ReadFile(home_.iniPath()), kFresh);
    EXPECT_EQ(Entries(home_.file("sentrel")), 1);
}

TEST_F(Settings, LoadsAndCopiesRaceFree) {
    const MonitorSettings loaded = Load(kFresh);
    std::atomic<int> copies{0}, mixed{0};
    std::thread reader([&] {
        for (; copies >= 0; ++copies) {
            const MonitorSettings s = CurrentSettings();
            mixed += !(s == MonitorSettings{}) && !(s == loaded);
        }
    });
    for (int loads = 0; loads < 50 || copies < 10; ++loads) {
        LoadSettings();
    }
    copies = -1000000000;
    reader.join();
    EXPECT_EQ(mixed.load(), 0);
}

TEST_F(Settings, PlacementAndSettingsLeaveEachOtherAlone) {
    Load("[General]\nSecs=30\n\n[screen]\nxpos=1\n; note\nheight=2\n\n[Servers]\ns0node=a\n");
    WritePlacement({-4, 0, 300, 123456789});
    MonitorSettings s;
    s.Secs = "15";
    ASSERT_TRUE(SaveSettings(s));
    EXPECT_NE(ReadFile(home_.iniPath())
                  .find("[screen]\nxpos=-4\n; note\nheight=123456789\n"
                        "YPOS=0\nWIDTH=300\n\n[Servers]\n"),
              std::string::npos);
    const Placement p = ReadPlacement();
    EXPECT_EQ(std::vector<int>({p.x, p.y, p.width, p.height}),
              std::vector<int>({-4, 0, 300, 12345678}));
    fs::remove(home_.iniPath());
    WritePlacement({1, 2, 3, 4});
    EXPECT_EQ(ReadFile(home_.iniPath()), "[Screen]\r\nXPOS=1\r\nYPOS=2\r\nWIDTH=3\r\nHEIGHT=4\r\n");
}

}  // namespace
}  // namespace sentrel
