// Fault matrix, termination: SIGTERM to the real program while a pass probes,
// while it sends an alarm e-mail and while it pages. The close path must run
// (the program ends by itself, soon, with status 0), no log line may be torn,
// and the window placement must be written to section Screen.
//
// Each case runs the program offscreen in a network namespace of its own, with
// its peers (web server, a silent mail server on port 25) inside it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "fault/fault_pass.h"
#include "support/http_answer_server.h"
#include "support/net_namespace.h"
#include "support/pty_modem.h"
#include "support/tcp_peer.h"

extern char** environ;

namespace sentrel::fault {
namespace {

using namespace std::chrono_literals;
using testing::HttpAnswerServer;
using testing::ReadFileBytes;
using testing::WriteFileBytes;

// The program, started with its settings folder in `configHome`.
class Program {
  public:
    explicit Program(const std::string& configHome) {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string v = *e;
            if (v.rfind("XDG_CONFIG_HOME=", 0) != 0 && v.rfind("QT_QPA_PLATFORM=", 0) != 0) {
                env.push_back(v);
            }
        }
        env.push_back("XDG_CONFIG_HOME=" + configHome);
        env.push_back("QT_QPA_PLATFORM=offscreen");
        std::vector<char*> envp;
        for (std::string& v : env) {
            envp.push_back(v.data());
        }
        envp.push_back(nullptr);
        std::string exe = SENTREL_EXECUTABLE;
        char* argv[] = {exe.data(), nullptr};
        if (posix_spawn(&pid_, exe.c_str(), nullptr, nullptr, argv, envp.data()) != 0) {
            pid_ = -1;
        }
    }
    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool started() const { return pid_ > 0; }
    void Terminate() { kill(pid_, SIGTERM); }
    // Waits up to `limit` for the end; the wait status, or -1 if it still runs.
    int WaitForExit(std::chrono::milliseconds limit) {
        const auto until = Clock::now() + limit;
        while (Clock::now() < until) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return status;
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }

  private:
    pid_t pid_ = -1;
};

template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit) {
    const auto until = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

class SigtermFault : public ::testing::Test {
  protected:
    std::string Ini() const { return dir_.File("sentrel/tarn.ini"); }
    std::string Log() const { return dir_.File("sentrel.log"); }

    // Settings with AutoStart, the log with every result, and these extra lines.
    void WriteSettings(const std::string& servers, const std::string& alerts) {
        std::filesystem::create_directories(dir_.File("sentrel"));
        settings_ = "[General]\r\nAutoStart=1\r\nSecs=60\r\nMAXSecs=4\r\n[Servers]\r\n" + servers +
                    "[Reports]\r\nLog_Flag=1\r\nSuccess=1\r\nLog_File_Name=" + Log() +
                    "\r\n[Alerts]\r\n" + alerts;
        ASSERT_TRUE(WriteFileBytes(Ini(), settings_));
    }

    // Terminates the program and checks what every case must show afterwards.
    void TerminateAndCheck(Program& program, double withinSeconds) {
        const auto start = Clock::now();
        program.Terminate();
        const int status = program.WaitForExit(20s);
        const double took = Seconds(Clock::now() - start);
        ASSERT_NE(status, -1) << "the program did not end after SIGTERM";
        EXPECT_TRUE(WIFEXITED(status)) << "ended by a signal: the close path did not run";
        if (WIFEXITED(status)) {
            EXPECT_EQ(WEXITSTATUS(status), 0);
        }
        EXPECT_LT(took, withinSeconds);

        // Every log line is whole.
        for (const std::string& line : SplitLines(ReadFileBytes(Log()))) {
            const std::size_t dash = line.find(" - ");
            ASSERT_NE(dash, std::string::npos) << line;
            const std::string address = line.substr(34, dash - 34);
            const std::string status = line.substr(dash + 3, line.size() - dash - 6);
            EXPECT_TRUE(IsResultLine(line, address, status)) << "torn or malformed: " << line;
        }
        // The placement is saved; the settings themselves are left as they were.
        const std::string ini = ReadFileBytes(Ini());
        EXPECT_NE(ini.find("[Screen]"), std::string::npos) << ini;
        EXPECT_NE(ini.find("WIDTH="), std::string::npos) << ini;
        EXPECT_EQ(ini.rfind(settings_, 0), 0u) << "the settings were rewritten:\n" << ini;
    }

    // Runs body in a network namespace of its own; skips when none can be made.
    void InNamespace(const std::function<void()>& body) {
        std::string why;
        if (!testing::RunInFreshNetNamespace(body, &why)) {
            GTEST_SKIP() << "no private network namespace: " << why;
        }
    }

    testing::TempDir dir_;
    std::string settings_;
};

std::string Node(int i, const std::string& address, const std::string& port) {
    const std::string n = std::to_string(i);
    return "s" + n + "node=" + address + "\r\ns" + n + "port=" + port + "\r\ns" + n + "type=0\r\n";
}

TEST_F(SigtermFault, DuringAPassTheCurrentNodeFinishesAndNoMore) {
    InNamespace([&] {
        HttpAnswerServer healthy("<html>ok</html>\n");
        testing::TcpPeer silent(testing::TcpPeer::Behaviour::Silent);
        ASSERT_TRUE(healthy.ok() && silent.listening());
        WriteSettings(Node(0, "127.0.0.1", healthy.portText()) +
                          Node(1, "127.0.0.1", std::to_string(silent.port())) +
                          Node(2, "127.0.0.1", healthy.portText()),
                      "");
        Program program(dir_.path());
        ASSERT_TRUE(program.started());
        // The first node is logged and the second one is being probed (4 s).
        ASSERT_TRUE(WaitFor([&] { return silent.accepted() == 1; }, 20s));
        TerminateAndCheck(program, 10.0);
        const auto lines = SplitLines(ReadFileBytes(Log()));
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_NE(lines[0].find("HTTP: 16 bytes. "), std::string::npos);
        EXPECT_NE(lines[1].find("*ERROR* count: 1"), std::string::npos);
        EXPECT_EQ(healthy.connections(), 1);
    });
}

TEST_F(SigtermFault, DuringAnEmailTheProgramStillEnds) {
    InNamespace([&] {
        // A mail server on port 25 that takes the connection and never greets.
        const int smtp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(25);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(smtp, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(listen(smtp, 4), 0);
        WriteSettings(Node(0, "127.0.0.1", std::to_string(HttpAnswerServer::RefusedPort())),
                      "Num_Fails=1\r\nMax_Alarms=10\r\nEmail_Flag=1\r\nEmail_SMTP=127.0.0.1\r\n"
                      "Email_From=ops@example.org\r\nEmail_To=pager@example.org\r\n");
        Program program(dir_.path());
        ASSERT_TRUE(program.started());
        pollfd p{smtp, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 20000), 1) << "no e-mail was started";
        const int held = accept(smtp, nullptr, nullptr);
        // The mail may hold the pass for up to a minute; the close waits a bounded time.
        TerminateAndCheck(program, 15.0);
        EXPECT_EQ(SplitLines(ReadFileBytes(Log())).size(), 1u);
        close(held);
        close(smtp);
    });
}

TEST_F(SigtermFault, DuringAPageTheProgramStillEnds) {
    testing::PtyModem modem;
    ASSERT_TRUE(modem.ok()) << modem.error();
    InNamespace([&] {
        WriteSettings(Node(0, "127.0.0.1", std::to_string(HttpAnswerServer::RefusedPort())),
                      "Num_Fails=1\r\nMax_Alarms=10\r\nPager_Flag=1\r\nCom_1=1\r\nCom_1_Device=" +
                          modem.slavePath() + "\r\nPager_Phone=5551234\r\nPager_Message=911\r\n");
        Program program(dir_.path());
        ASSERT_TRUE(program.started());
        // The page has begun: the modem got its reset; the dial and pauses follow.
        ASSERT_TRUE(modem.WaitForBytes(4, 20s)) << "no page was started";
        TerminateAndCheck(program, 15.0);
        EXPECT_EQ(modem.Bytes().substr(0, 4), "atz\r");
        EXPECT_EQ(SplitLines(ReadFileBytes(Log())).size(), 1u);
    });
}

}  // namespace
}  // namespace sentrel::fault
