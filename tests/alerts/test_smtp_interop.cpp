// The mailer against a real SMTP server: aiosmtpd on 127.0.0.1, with a small
// handler that appends every message it accepts to a file.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "alerts/smtp_mailer.h"
#include "support/smtp_peer.h"
#include "support/temp_dir.h"

extern char** environ;

namespace sentrel {
namespace {

using namespace std::chrono_literals;

constexpr const char* kPython = "/usr/bin/python3";

constexpr const char* kSinkScript = R"PY(
class Sink:
    def __init__(self, path):
        self.path = path

    @classmethod
    def from_cli(cls, parser, *args):
        return cls(*args)

    async def handle_DATA(self, server, session, envelope):
        with open(self.path, "ab") as f:
            f.write(b"MAIL FROM: " + envelope.mail_from.encode() + b"\n")
            for rcpt in envelope.rcpt_tos:
                f.write(b"RCPT TO: " + rcpt.encode() + b"\n")
            f.write(b"--content--\n")
            f.write(envelope.original_content)
            f.write(b"--end--\n")
        return "250 Message accepted for delivery"
)PY";

bool PythonHasAiosmtpd() {
    return std::system("/usr/bin/python3 -c 'import aiosmtpd' >/dev/null 2>&1") == 0;
}

bool Accepts(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

// The server process: started with the sink handler, ended by its pid.
class AiosmtpdServer {
  public:
    AiosmtpdServer(const testing::TempDir& dir, std::uint16_t port) : dir_(dir) {
        testing::WriteFileBytes(dir.File("sentrel_sink.py"), kSinkScript);
        std::vector<std::string> args = {kPython,
                                         "-m",
                                         "aiosmtpd",
                                         "-n",
                                         "-l",
                                         "127.0.0.1:" + std::to_string(port),
                                         "-c",
                                         "sentrel_sink.Sink",
                                         dir.File("received.txt")};
        std::vector<std::string> env = {"PYTHONPATH=" + dir.path()};
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::string(*e).rfind("PYTHONPATH=", 0) != 0) {
                env.emplace_back(*e);
            }
        }
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log = dir.File("server.log");
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid_, kPython, &actions, nullptr, argv.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }

    ~AiosmtpdServer() {
        if (pid_ <= 0) {
            return;
        }
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                return;
            }
            std::this_thread::sleep_for(50ms);
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }

    bool running() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
    std::string log() const { return testing::ReadFileBytes(dir_.File("server.log")); }

  private:
    const testing::TempDir& dir_;
    pid_t pid_ = -1;
};

TEST(SmtpInterop, MessageArrivesAtARealSmtpServer) {
    if (!PythonHasAiosmtpd()) {
        GTEST_SKIP() << "/usr/bin/python3 cannot import aiosmtpd (Debian package python3-aiosmtpd)";
    }
    testing::TempDir dir;
    const std::uint16_t port = testing::UnusedLoopbackPort();
    AiosmtpdServer server(dir, port);
    bool up = false;
    for (int i = 0; i < 150 && !up; ++i) {
        std::this_thread::sleep_for(100ms);
        ASSERT_TRUE(server.running()) << server.log();
        up = Accepts(port);
    }
    ASSERT_TRUE(up) << "aiosmtpd did not listen within 15 s\n" << server.log();

    SetSmtpPortForTesting(port);
    const MailResult result =
        SendAlertMail("127.0.0.1", "sentrel@example.com", "ops@example.com", "Sentrel alarm",
                      "This is a message from Sentrel.\nThe following Server is NOT "
                      "responding:\n.hidden.example");
    SetSmtpPortForTesting(0);
    ASSERT_EQ(result, MailSent) << server.log();

    const std::string got = testing::ReadFileBytes(dir.File("received.txt"));
    EXPECT_NE(got.find("MAIL FROM: sentrel@example.com\n"), std::string::npos) << got;
    EXPECT_NE(got.find("RCPT TO: ops@example.com\n"), std::string::npos) << got;
    EXPECT_NE(got.find("\r\nFrom: sentrel@example.com\r\n"), std::string::npos) << got;
    EXPECT_NE(got.find("\r\nSubject: Sentrel alarm\r\n"), std::string::npos) << got;
    // The body as the server stores it: CR LF lines, the leading dot unstuffed.
    EXPECT_NE(got.find("\r\n\r\n\r\n* ALERT! Server Not Responding! *\r\n"
                       "This is a message from Sentrel.\r\n"
                       "The following Server is NOT responding:\r\n"
                       ".hidden.example\r\n*END*\r\n\r\n--end--\n"),
              std::string::npos)
        << got;
}

}  // namespace
}  // namespace sentrel
