// Log and report writers on real files: byte-exact lines, failures, short writes, the lock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "reporting/line_timestamp.h"
#include "reporting/log_file.h"
#include "reporting/report_file.h"
#include "support/harness.h"

namespace sentrel {
namespace {

using namespace testing;

TEST(LineTimestamp, EnglishNamesTwoDigitDayInBothForms) {
    const std::tm jan{7, 5, 9, 2, 0, 97, 4, 0, 0, 0, nullptr},
        dec{18, 27, 1, 7, 11, 126, 1, 0, 0, 0, nullptr};
    EXPECT_EQ(std::tuple(LineTimestamp(jan), AsctimeText(dec)),
              std::tuple("Thu Jan 02 09:05:07 1997", "Mon Dec 07 01:27:18 2026\n"));
}

// After `write` the file holds `before`, the time stamp of the write's moment, `rest`.
void ExpectLine(const std::string& path, const std::string& before, const std::string& rest,
                const std::function<bool()>& write) {
    const std::string earlier = LineTimestamp();
    ASSERT_TRUE(write());
    const std::string bytes = ReadFile(path),
                      stamp = bytes.substr(std::min(before.size(), bytes.size()), 24);
    EXPECT_TRUE(stamp == earlier || stamp == LineTimestamp()) << stamp;
    EXPECT_EQ(bytes, before + stamp + rest);
}

TEST(LogFile, AppendsByteExactLinesAndTakesAShortWriteBack) {
    TempDir dir;
    RecordingWindow window;
    const std::string path = dir.file("sentrel.log"), old = "old line\r\n";
    ExpectLine(path, "", "  Server: h.example - *ERROR* count: 1 \r\n",
               [&] { return WriteLogLine(path, "h.example", "*ERROR* count: 1"); });
    ASSERT_TRUE(WriteFile(path, old));
    ExpectLine(path, old, "  Server: 127.0.0.1 - HTTP: 12 bytes.  \r\n",
               [&] { return WriteLogLine(path, "127.0.0.1", "HTTP: 12 bytes. "); });
    ASSERT_TRUE(WriteFile(path, old));
    const pid_t child = ::fork();  // a file size limit cuts the write part way
    if (child == 0) {
        const rlimit room{old.size() + 20, old.size() + 20};
        ::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &room);
        ::_exit(WriteLogLine(path, "server.example", "*ERROR* count: 1") ? 1 : 0);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << "the cut write was reported as written";
    EXPECT_EQ(ReadFile(path), old);
    for (const std::string& bad : {dir.file("none/sentrel.log"), dir.path(), std::string()})
        EXPECT_FALSE(WriteLogLine(bad, "a", "*ERROR* count: 1"));
    const RecordedMessage m = window.Messages().at(2);
    EXPECT_EQ(std::tuple(m.text, m.caption, m.icon),
              std::tuple("*ERROR* Could not open LOG file.", "sentrel", MessageIcon::Exclamation));
    const int holder = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);  // another holder of the lock
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    std::thread release([holder] { std::this_thread::sleep_for(200ms), ::flock(holder, LOCK_UN); });
    EXPECT_TRUE(WriteLogLine(path, "a", "*ERROR* count: 1"));  // written after the wait
    release.join();
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    const std::string kept = ReadFile(path);
    const auto start = Clock::now();
    EXPECT_FALSE(WriteLogLine(path, "b", "*ERROR* count: 1"));  // never released: gives up
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(ReadFile(path), kept);
    EXPECT_EQ(window.Messages().size(), 4u);
    ::close(holder);
}

TEST(ReportFile, EachFormBeginsAnewWithItsHeaderAndLine) {
    TempDir dir;
    RecordingWindow window;
    const std::string
        text = "Sentrel Report: \r\n\r\n",
        html = "<HTML><HEAD><title>Sentrel Report</title>\r\n<body><h3>Sentrel Report</h3><p>\r\n";
    const std::tuple<bool, bool, std::string, std::string> rows[] = {
        {true, false, text, "  Server: a<b>&c - HTTP: 5 bytes.  \r\n"},
        {false, true, html + "<br>", "  Server: a&lt;b&gt;&amp;c - HTTP: 5 bytes.  \r\n"}};
    for (const auto& [isText, isHtml, header, rest] : rows) {
        const ReportTarget target{dir.file("report"), isText, isHtml};
        ASSERT_TRUE(WriteFile(target.path, "stale content of an earlier pass\r\n"));
        ASSERT_TRUE(BeginReport(target));
        ExpectLine(target.path, header, rest,
                   [&] { return WriteReportLine(target, "a<b>&c", "HTTP: 5 bytes. "); });
    }
    EXPECT_TRUE(window.Messages().empty());
    const ReportTarget missing{dir.file("none/report.txt"), true, false},
        folder{dir.path(), true, false};
    EXPECT_FALSE(BeginReport(missing) || WriteReportLine(missing, "a", "x") || BeginReport(folder));
    EXPECT_EQ(window.Calls().back(), "message:*ERROR* Could not open report file.");
    EXPECT_EQ(window.Messages().size(), 3u);
}

}  // namespace
}  // namespace sentrel
