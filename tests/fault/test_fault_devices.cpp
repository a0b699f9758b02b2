// Fault matrix, local devices and files: the modem port, the log and report
// files, and the settings file, each broken in the ways an operator's machine
// breaks them, inside whole passes where it matters.
//
// Covered elsewhere and not repeated here:
//   serial port missing / held, pager alone: tests/alerts/test_pager.cpp
//     (MissingDeviceGivesThePortErrorAtOnce, PortHeldByAnotherUserGivesThePortError)
//   log and report in a missing folder, /dev/full as the log, in a pass:
//     tests/engine/test_scan_pass.cpp (UnwritableFilesGiveOneMessagePerLine)
//   settings file missing, empty, binary garbage, 50 MB of one line, a folder in
//     its place: tests/config/test_settings.cpp (NoFileGivesTheDefaults,
//     UnreadableOrGarbageFilesGiveTheDefaults, FailedSaveKeepsTheOldFile) and
//     tests/config/test_profile_file.cpp (LargeFiles, LoadsMissingEmptyAndUnreadablePlaces)
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSerialPort>
#include <filesystem>

#include "alerts/pager.h"
#include "fault/fault_pass.h"
#include "support/http_answer_server.h"
#include "support/pty_modem.h"
#include "support/recording_window.h"

extern char** environ;

namespace sentrel::fault {
namespace {

using namespace std::chrono_literals;
using testing::HttpAnswerServer;
using testing::ReadFileBytes;
using testing::RecordingWindow;
using testing::WriteFileBytes;

const std::string kAnswer = "<html>ok</html>\n";
const std::string kOk = "HTTP: 16 bytes. ";
const std::string kLogMessage = "*ERROR* Could not open LOG file.";
const std::string kReportMessage = "*ERROR* Could not open report file.";

std::string g_self;  // this test program, for the port-holding child

std::vector<std::string> Texts(const RecordingWindow& window) {
    std::vector<std::string> texts;
    for (const auto& m : window.Messages()) {
        texts.push_back(m.text);
    }
    return texts;
}

// Another program holding a serial device open, as a terminal program would.
class PortHolder {
  public:
    explicit PortHolder(const std::string& device) {
        int up[2];
        int down[2];
        if (pipe2(up, O_CLOEXEC) != 0 || pipe2(down, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, down[0], 0);
        posix_spawn_file_actions_adddup2(&actions, up[1], 1);
        std::string flag = "--hold-serial";
        char* argv[] = {g_self.data(), flag.data(), const_cast<char*>(device.c_str()), nullptr};
        if (posix_spawn(&pid_, g_self.c_str(), &actions, nullptr, argv, environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(up[1]);
        close(down[0]);
        release_ = down[1];
        char ready = 0;
        held_ = pid_ > 0 && read(up[0], &ready, 1) == 1 && ready == '1';
        close(up[0]);
    }
    ~PortHolder() { Release(); }
    void Release() {
        if (release_ >= 0) {
            close(release_);
            release_ = -1;
        }
        if (pid_ > 0) {
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }
    bool held() const { return held_; }

  private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool held_ = false;
};

// ---- Serial port ---------------------------------------------------------

class SerialFault : public FaultPass {
  protected:
    void SetUp() override {
        FaultPass::SetUp();
        ASSERT_TRUE(healthy_.ok());
        SetPagerPauseUnitForTesting(5);
        AddNode(0, "127.0.0.1", std::to_string(HttpAnswerServer::RefusedPort()));
        AddNode(1, "127.0.0.1", healthy_.portText());
        LogAndReport();
        settings_.Num_Fails = "1";
        settings_.Max_Alarms = "10";
        settings_.Pager_Flag = true;
        settings_.Com_1 = true;
        settings_.Pager_Phone = "5551234";
        settings_.Pager_Message = "911";
        settings_.Pager_Delay = 1;
        settings_.Launch_Flag = true;
        settings_.Command_Line = "echo x >> " + dir_.File("launched");
    }
    void TearDown() override {
        SetPagerPauseUnitForTesting(1000);
        FaultPass::TearDown();
    }
    int Launches() const {
        return static_cast<int>(ReadFileBytes(dir_.File("launched")).size() / 2);
    }
    void ExpectPortError(const RecordingWindow& window) const {
        const auto messages = window.Messages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].text, "Comm Port could not be used.");
        EXPECT_EQ(messages[0].caption, "Paging Error");
        EXPECT_EQ(messages[0].icon, MessageIcon::Stop);
    }

    HttpAnswerServer healthy_{kAnswer};
};

TEST_F(SerialFault, MissingDeviceShowsThePortErrorAndThePassGoesOn) {
    settings_.Com_1_Device = dir_.File("no-such-tty");
    RecordingWindow window;
    EXPECT_LT(Seconds(RunPass()), 5.0);
    ExpectPortError(window);
    EXPECT_EQ(Launches(), 1);
    EXPECT_EQ(Slot(0).status.alarmCount, 1);  // the alarm counts all the same
    ExpectLog({"*ERROR* count: 1", kOk});
    ExpectReport({"*ERROR* count: 1", kOk});
}

TEST_F(SerialFault, DeviceHeldByAnotherProgramShowsThePortErrorUntilReleased) {
    testing::PtyModem modem;
    ASSERT_TRUE(modem.ok()) << modem.error();
    settings_.Com_1_Device = modem.slavePath();
    PortHolder holder(modem.slavePath());
    ASSERT_TRUE(holder.held()) << "the holding program could not open the port";

    RecordingWindow window;
    EXPECT_LT(Seconds(RunPass()), 5.0);
    ExpectPortError(window);
    EXPECT_EQ(Launches(), 1);
    EXPECT_EQ(modem.Bytes(), "");

    // Once the other program has let go, the next pass pages.
    holder.Release();
    window.Clear();
    RunPass();
    EXPECT_TRUE(window.Messages().empty());
    EXPECT_TRUE(modem.WaitForBytes(4, 2s));
    EXPECT_EQ(modem.Bytes().substr(0, 4), "atz\r");
    EXPECT_EQ(Launches(), 2);
    ExpectLog({"*ERROR* count: 1", kOk, "*ERROR* count: 2", kOk});
}

// A pseudo-terminal has no modem lines: raising DTR and RTS fails there, which
// the page does not examine; the whole dialogue still goes out.
TEST_F(SerialFault, PseudoTerminalWithoutDtrStillGetsTheWholeDialogue) {
    testing::PtyModem modem;
    ASSERT_TRUE(modem.ok()) << modem.error();
    settings_.Com_1_Device = modem.slavePath();
    RecordingWindow window;
    EXPECT_LT(Seconds(RunPass()), 5.0);
    const std::string dialogue = "atz\ratd5551234,,911\r\rath0\ratz\r";
    ASSERT_TRUE(modem.WaitForBytes(dialogue.size(), 2s));
    EXPECT_EQ(modem.Bytes(), dialogue);
    EXPECT_TRUE(window.Messages().empty());
    EXPECT_EQ(Launches(), 1);
    ExpectLog({"*ERROR* count: 1", kOk});
}

// ---- Log and report files ------------------------------------------------

enum class FileFault { MissingFolder, ReadOnlyFile, FullDevice, LongPath };
enum class Target { Log, Report };

struct FileRow {
    FileFault fault;
    Target target;
};

std::string RowName(const ::testing::TestParamInfo<FileRow>& info) {
    static const char* const kFaults[] = {"MissingFolder", "ReadOnlyFile", "FullDevice",
                                          "LongPath"};
    return std::string(info.param.target == Target::Log ? "Log" : "Report") +
           kFaults[static_cast<int>(info.param.fault)];
}

class FileFaultRow : public FaultPass, public ::testing::WithParamInterface<FileRow> {};

TEST_P(FileFaultRow, OnlyTheBrokenFileSuffers) {
    const FileRow row = GetParam();
    HttpAnswerServer healthy(kAnswer);
    ASSERT_TRUE(healthy.ok());
    AddNode(0, "127.0.0.1", std::to_string(HttpAnswerServer::RefusedPort()));
    AddNode(1, "127.0.0.1", healthy.portText());
    LogAndReport();

    std::string& path =
        row.target == Target::Log ? settings_.Log_File_Name : settings_.Report_File_Name;
    const std::string old = "an older line\r\n";
    switch (row.fault) {
        case FileFault::MissingFolder:
            path = dir_.File("missing/file");
            break;
        case FileFault::ReadOnlyFile:
            path = dir_.File("readonly");
            ASSERT_TRUE(WriteFileBytes(path, old));
            ASSERT_EQ(chmod(path.c_str(), 0444), 0);
            break;
        case FileFault::FullDevice:
            if (row.target == Target::Log) {
                path = "/dev/full";
                if (access(path.c_str(), W_OK) != 0) {
                    GTEST_SKIP() << "no writable /dev/full";
                }
            } else {
                // The report is deleted before it is made anew: never aim that at
                // the system's own /dev/full, use a device node of the same kind.
                path = dir_.File("full");
                if (mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0 ||
                    access(path.c_str(), W_OK) != 0) {
                    GTEST_SKIP() << "cannot make a full device node here";
                }
            }
            break;
        case FileFault::LongPath: {
            path = dir_.path() + "/";
            path += std::string(127 - path.size(), 'p');
            ASSERT_EQ(path.size(), 127u);
            break;
        }
    }

    RecordingWindow window;
    bool ran = false;
    auto pass = [&] {
        ran = true;
        EXPECT_LT(Seconds(RunPass()), 5.0);
    };
    if (row.fault == FileFault::ReadOnlyFile) {
        // Root writes read-only files anyway; the pass runs without that override.
        if (!RunWithoutFileOverride(pass)) {
            GTEST_SKIP() << "cannot drop the file permission override";
        }
    } else {
        pass();
    }
    ASSERT_TRUE(ran);
    EXPECT_EQ(Slot(0).status.statusText, "*ERROR* count: 1");
    EXPECT_EQ(Slot(1).status.statusText, kOk);
    ASSERT_FALSE(window.Titles().empty());
    EXPECT_EQ(window.Titles().back(), "Sentrel v1.2 - sleeping...");

    const std::vector<std::string> statuses{"*ERROR* count: 1", kOk};
    const bool broken = row.fault != FileFault::LongPath &&
                        !(row.fault == FileFault::ReadOnlyFile && row.target == Target::Report);
    if (row.target == Target::Log) {
        ExpectReport(statuses);
        if (broken) {
            // One message for every line that could not be written, each line dropped.
            EXPECT_EQ(Texts(window), std::vector<std::string>(2, kLogMessage));
        } else {
            EXPECT_TRUE(window.Messages().empty());
            ExpectLog(statuses);
        }
    } else {
        ExpectLog(statuses);
        if (broken) {
            EXPECT_EQ(Texts(window), std::vector<std::string>(3, kReportMessage));
        } else {
            // A read-only report is deleted and made anew, as every pass does with
            // the report; deleting is a matter of the folder, not of the file.
            EXPECT_TRUE(window.Messages().empty());
            ExpectReport(statuses);
        }
    }
    switch (row.fault) {
        case FileFault::MissingFolder:
            EXPECT_FALSE(std::filesystem::exists(dir_.File("missing")));
            break;
        case FileFault::ReadOnlyFile:
            if (row.target == Target::Log) {
                EXPECT_EQ(ReadFileBytes(path), old);
            }
            break;
        case FileFault::FullDevice: {
            // The device is written to and fails; it is never replaced by a file.
            struct stat st {};
            ASSERT_EQ(stat(path.c_str(), &st), 0);
            EXPECT_TRUE(S_ISCHR(st.st_mode)) << path << " is no longer a device";
            break;
        }
        case FileFault::LongPath:
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, FileFaultRow,
                         ::testing::Values(FileRow{FileFault::MissingFolder, Target::Log},
                                           FileRow{FileFault::ReadOnlyFile, Target::Log},
                                           FileRow{FileFault::FullDevice, Target::Log},
                                           FileRow{FileFault::LongPath, Target::Log},
                                           FileRow{FileFault::MissingFolder, Target::Report},
                                           FileRow{FileFault::ReadOnlyFile, Target::Report},
                                           FileRow{FileFault::FullDevice, Target::Report},
                                           FileRow{FileFault::LongPath, Target::Report}),
                         RowName);

// ---- Settings file -------------------------------------------------------

// A read-only tarn.ini at save: whatever the outcome, the file is whole (the
// old bytes, or every byte of the new settings), its mode is kept, no temporary
// file is left beside it, and the result says which of the two happened.
TEST(SettingsFault, ReadOnlyFileAtSaveStaysWhole) {
    testing::ConfigHomeGuard home;
    MonitorSettings first;
    first.Secs = "30";
    first.MAXSecs = "5";
    first.NodeList[0] = NodeEntry{"10.0.0.1", "", "old node", PING};
    ASSERT_TRUE(SaveSettings(first));
    const std::string old = ReadFileBytes(home.IniPath());
    ASSERT_EQ(chmod(home.IniPath().c_str(), 0444), 0);

    MonitorSettings edited = first;
    edited.Secs = "90";
    edited.NodeList[0].title = "new node";
    bool saved = false;
    if (!RunWithoutFileOverride([&] { saved = SaveSettings(edited); })) {
        GTEST_SKIP() << "cannot drop the file permission override";
    }
    // A read-only file is respected: the save is refused and the file stays whole.
    EXPECT_FALSE(saved);
    EXPECT_EQ(ReadFileBytes(home.IniPath()), old);
    struct stat st {};
    ASSERT_EQ(stat(home.IniPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
    std::vector<std::string> entries;
    for (const auto& e : std::filesystem::directory_iterator(home.dir().path() + "/sentrel")) {
        entries.push_back(e.path().filename().string());
    }
    EXPECT_EQ(entries, std::vector<std::string>{"tarn.ini"});
    ResetSettingsForTesting();
}

}  // namespace
}  // namespace sentrel::fault

// The port-holding child: `--hold-serial <device>` opens the device as a serial
// port, says "1" on its standard output and holds it until its input closes.
int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--hold-serial") {
        QCoreApplication app(argc, argv);  // the port's notifiers want a Qt main thread
        QSerialPort port;
        port.setPortName(QString::fromLocal8Bit(argv[2]));
        const bool open = port.open(QIODevice::ReadWrite);
        if (write(1, open ? "1" : "0", 1) != 1 || !open) {
            return 1;
        }
        char c;
        while (read(0, &c, 1) > 0) {
        }
        port.close();
        return 0;
    }
    sentrel::fault::g_self = "/proc/self/exe";
    char resolved[4096];
    const ssize_t n = readlink("/proc/self/exe", resolved, sizeof resolved - 1);
    if (n > 0) {
        resolved[n] = '\0';
        sentrel::fault::g_self = resolved;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
