// Log and report writers: byte-exact lines and headers, failures and the
// advisory lock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include "reporting/line_timestamp.h"
#include "reporting/log_file.h"
#include "reporting/report_file.h"
#include "support/recording_window.h"
#include "support/temp_dir.h"

namespace sentrel {
namespace {

using testing::ReadFileBytes;
using testing::RecordingWindow;
using testing::TempDir;
using testing::WriteFileBytes;

std::tm MakeTm(int year, int mon, int mday, int hour, int min, int sec, int wday) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = mon;
    t.tm_mday = mday;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = sec;
    t.tm_wday = wday;
    return t;
}

// Checks a written result line whose timestamp is "now": the timestamp is one
// taken just before or just after the write, the rest is byte for byte.
void ExpectLineNow(const std::string& line, const std::string& before, const std::string& after,
                   const std::string& rest) {
    ASSERT_GE(line.size(), 24u);
    std::string stamp = line.substr(0, 24);
    EXPECT_TRUE(stamp == before || stamp == after) << stamp;
    EXPECT_EQ(line.substr(24), rest);
}

TEST(LineTimestamp, FixedTimeIsZeroPaddedWithEnglishNames) {
    EXPECT_EQ(LineTimestamp(MakeTm(1997, 0, 2, 9, 5, 7, 4)), "Thu Jan 02 09:05:07 1997");
    EXPECT_EQ(LineTimestamp(MakeTm(2024, 11, 31, 23, 59, 58, 2)), "Tue Dec 31 23:59:58 2024");
    EXPECT_EQ(LineTimestamp(MakeTm(2000, 6, 10, 0, 0, 0, 1)), "Mon Jul 10 00:00:00 2000");

    const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int m = 0; m < 12; ++m) {
        std::string s = LineTimestamp(MakeTm(2001, m, 1 + m, m, m, m, m % 7));
        ASSERT_EQ(s.size(), 24u) << s;
        EXPECT_EQ(s.substr(0, 3), days[m % 7]);
        EXPECT_EQ(s.substr(4, 3), months[m]);
        EXPECT_EQ(s.substr(8, 2), (m + 1 < 10 ? "0" : "") + std::to_string(m + 1));
    }
}

TEST(LineTimestamp, AsctimeFormPadsTheDayWithABlank) {
    EXPECT_EQ(AsctimeText(MakeTm(1997, 0, 2, 9, 5, 7, 4)), "Thu Jan  2 09:05:07 1997\n");
    EXPECT_EQ(AsctimeText(MakeTm(1997, 0, 12, 9, 5, 7, 0)), "Sun Jan 12 09:05:07 1997\n");
    EXPECT_EQ(AsctimeText().size(), 25u);
    EXPECT_EQ(LineTimestamp().size(), 24u);
}

TEST(LineTimestamp, ResultLineBytes) {
    const std::string stamp = LineTimestamp(MakeTm(1997, 0, 2, 9, 5, 7, 4));
    EXPECT_EQ(ResultLine(stamp, "10.1.2.3", "PING: 15 ms. "),
              "Thu Jan 02 09:05:07 1997  Server: 10.1.2.3 - PING: 15 ms.  \r\n");
    EXPECT_EQ(ResultLine(stamp, "10.1.2.3", "*ERROR* count: 3"),
              "Thu Jan 02 09:05:07 1997  Server: 10.1.2.3 - *ERROR* count: 3 \r\n");
}

TEST(LogFile, CreatesThenAppendsWithoutHeader) {
    TempDir dir;
    RecordingWindow window;
    const std::string path = dir.File("sentrel.log");

    std::string before = LineTimestamp();
    ASSERT_TRUE(WriteLogLine(path, "host.example", "*ERROR* count: 1"));
    std::string after = LineTimestamp();
    std::string bytes = ReadFileBytes(path);
    ExpectLineNow(bytes, before, after, "  Server: host.example - *ERROR* count: 1 \r\n");

    // Existing content stays; the new line follows it.
    ASSERT_TRUE(WriteFileBytes(path, "old line\r\n"));
    before = LineTimestamp();
    ASSERT_TRUE(WriteLogLine(path, "127.0.0.1", "HTTP: 12 bytes. "));
    after = LineTimestamp();
    bytes = ReadFileBytes(path);
    ASSERT_EQ(bytes.substr(0, 10), "old line\r\n");
    ExpectLineNow(bytes.substr(10), before, after, "  Server: 127.0.0.1 - HTTP: 12 bytes.  \r\n");

    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(
        st.st_mode & 0777, 0644u & ~[] {
            mode_t m = ::umask(0);
            ::umask(m);
            return m;
        }());
    EXPECT_TRUE(window.Messages().empty());
}

TEST(LogFile, UnopenablePathsShowTheMessageEachTime) {
    TempDir dir;
    RecordingWindow window;
    const std::string missingDir = dir.File("no-such-dir/sentrel.log");
    EXPECT_FALSE(WriteLogLine(missingDir, "a", "*ERROR* count: 1"));
    EXPECT_FALSE(WriteLogLine(missingDir, "b", "*ERROR* count: 1"));
    EXPECT_FALSE(WriteLogLine(dir.path(), "c", "*ERROR* count: 1"));  // a directory
    EXPECT_FALSE(WriteLogLine("", "d", "*ERROR* count: 1"));
    auto messages = window.Messages();
    ASSERT_EQ(messages.size(), 4u);
    for (const auto& m : messages) {
        EXPECT_EQ(m.text, "*ERROR* Could not open LOG file.");
        EXPECT_EQ(m.caption, "sentrel");
        EXPECT_EQ(m.icon, MessageIcon::Exclamation);
        EXPECT_EQ(m.buttons, MessageButtons::Ok);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.File("no-such-dir")));
}

TEST(LogFile, FullDeviceIsAFailure) {
    if (::access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no writable /dev/full";
    }
    RecordingWindow window;
    EXPECT_FALSE(WriteLogLine("/dev/full", "a", "*ERROR* count: 1"));
    ASSERT_EQ(window.Messages().size(), 1u);
    EXPECT_EQ(window.Messages()[0].text, "*ERROR* Could not open LOG file.");
}

// A write cut short by the file size limit must not leave half a line behind.
TEST(LogFile, ShortWriteIsTakenBack) {
    TempDir dir;
    const std::string path = dir.File("sentrel.log");
    const std::string old = "first line\r\n";
    ASSERT_TRUE(WriteFileBytes(path, old));
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit lim{};
        lim.rlim_cur = lim.rlim_max = old.size() + 20;  // room for part of a line only
        ::setrlimit(RLIMIT_FSIZE, &lim);
        bool ok = WriteLogLine(path, "server.example", "*ERROR* count: 1");
        ::_exit(ok ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the cut write was reported as written";
    EXPECT_EQ(ReadFileBytes(path), old);
}

TEST(LogFile, WaitsBoundedForAnotherLockHolder) {
    TempDir dir;
    RecordingWindow window;
    const std::string path = dir.File("held.log");
    int holder = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);

    // Released soon: the line is written after the wait.
    std::thread release([holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ::flock(holder, LOCK_UN);
    });
    EXPECT_TRUE(WriteLogLine(path, "a", "*ERROR* count: 1"));
    release.join();
    EXPECT_FALSE(ReadFileBytes(path).empty());
    EXPECT_TRUE(window.Messages().empty());

    // Never released: gives up within its bound and shows the message.
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    const std::string kept = ReadFileBytes(path);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WriteLogLine(path, "b", "*ERROR* count: 1"));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_EQ(ReadFileBytes(path), kept);
    EXPECT_EQ(window.Messages().size(), 1u);
    ::close(holder);
}

TEST(ReportFile, TextHeaderAndLines) {
    TempDir dir;
    RecordingWindow window;
    ReportTarget target{dir.File("report.txt"), true, false};
    ASSERT_TRUE(WriteFileBytes(target.path, "stale content of an earlier pass\r\n"));

    ASSERT_TRUE(BeginReport(target));
    EXPECT_EQ(ReadFileBytes(target.path), "Sentrel Report: \r\n\r\n");

    std::string before = LineTimestamp();
    ASSERT_TRUE(WriteReportLine(target, "a<b>&c", "HTTP: 5 bytes. "));
    std::string after = LineTimestamp();
    std::string bytes = ReadFileBytes(target.path);
    ASSERT_EQ(bytes.substr(0, 20), "Sentrel Report: \r\n\r\n");
    ExpectLineNow(bytes.substr(20), before, after, "  Server: a<b>&c - HTTP: 5 bytes.  \r\n");
    EXPECT_TRUE(window.Messages().empty());
}

TEST(ReportFile, HtmlHeaderAndEscapedLines) {
    TempDir dir;
    ReportTarget target{dir.File("report.html"), false, true};
    ASSERT_TRUE(BeginReport(target));
    const std::string header =
        "<HTML><HEAD><title>Sentrel Report</title>\r\n<body><h3>Sentrel Report</h3><p>\r\n";
    EXPECT_EQ(ReadFileBytes(target.path), header);

    std::string before = LineTimestamp();
    ASSERT_TRUE(WriteReportLine(target, "a<b>&c", "*ERROR* count: 2"));
    std::string after = LineTimestamp();
    std::string bytes = ReadFileBytes(target.path);
    ASSERT_EQ(bytes.substr(0, header.size()), header);
    std::string line = bytes.substr(header.size());
    ASSERT_EQ(line.substr(0, 4), "<br>");
    ExpectLineNow(line.substr(4), before, after,
                  "  Server: a&lt;b&gt;&amp;c - *ERROR* count: 2 \r\n");
}

TEST(ReportFile, BothFormsWriteTextFirst) {
    TempDir dir;
    ReportTarget target{dir.File("report"), true, true};
    ASSERT_TRUE(BeginReport(target));
    ASSERT_TRUE(WriteReportLine(target, "x", "PING: 1 ms. "));
    std::string bytes = ReadFileBytes(target.path);
    const std::string header =
        "Sentrel Report: \r\n\r\n<HTML><HEAD><title>Sentrel Report</title>\r\n"
        "<body><h3>Sentrel Report</h3><p>\r\n";
    ASSERT_EQ(bytes.substr(0, header.size()), header);
    std::string lines = bytes.substr(header.size());
    // Text line, then the same bytes behind "<br>"; both carry one timestamp.
    const std::string rest = "  Server: x - PING: 1 ms.  \r\n";
    ASSERT_EQ(lines.size(), 2 * (24 + rest.size()) + 4);
    std::string text = lines.substr(0, 24 + rest.size());
    EXPECT_EQ(lines.substr(text.size()), "<br>" + text);
    EXPECT_EQ(text.substr(24), rest);
}

TEST(ReportFile, FailuresShowTheReportMessage) {
    TempDir dir;
    RecordingWindow window;
    ReportTarget missing{dir.File("none/report.txt"), true, false};
    EXPECT_FALSE(BeginReport(missing));
    EXPECT_FALSE(WriteReportLine(missing, "a", "*ERROR* count: 1"));
    ReportTarget directory{dir.path(), true, false};
    EXPECT_FALSE(BeginReport(directory));
    EXPECT_TRUE(std::filesystem::is_directory(dir.path()));
    auto messages = window.Messages();
    ASSERT_EQ(messages.size(), 3u);
    for (const auto& m : messages) {
        EXPECT_EQ(m.text, "*ERROR* Could not open report file.");
        EXPECT_EQ(m.caption, "sentrel");
        EXPECT_EQ(m.icon, MessageIcon::Exclamation);
    }
}

}  // namespace
}  // namespace sentrel
