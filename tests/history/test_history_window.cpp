// The history window's numbers: reduced series, uptime over monitored passes, export.
#include <sys/resource.h>
#include <QApplication>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>

#include "history/history_export.h"
#include "history_test_util.h"
#include "ui/dialogs.h"
#include "ui/history_window.h"

namespace sentrel::history {
namespace {

const NodeEntry kNode{"127.0.0.1", "8080", "web", HTTPD};
// Results every five minutes over thirty days, half-way between minutes: sawtooth values, a spike,
// a failure every 97th, and three hours unwatched a day ago.
struct WindowTest : ::testing::Test {
    static void SetUpTestSuite() { app = new QApplication(argc, argv); }
    static void TearDownTestSuite() { delete app; }  // before exit, with Qt's caches
    static inline int argc = 1;
    static inline char name[] = "test_history", *argv[] = {name, nullptr};
    static inline QApplication* app = nullptr;
    void SetUp() override {
        HistoryWriter w({dir.file});
        w.MonitoringChanged(true, now - 30 * kDay);
        for (std::int64_t t = now - 30 * kDay + 150'000; t < now; t += 5 * kMinuteMs, ++n) {
            if (t == now - kDay + 150'000) {
                w.MonitoringChanged(false, t);
                w.MonitoringChanged(true, t += 3 * 60 * kMinuteMs);
            }
            all.push_back({t, n % 97 == 0 ? 0 : n == 5000 ? 90'000 : 100 + n % 23, n % 97 == 0});
            w.ProbeDone(Probe(t, all.back().value, all.back().failCount));
        }
        w.Flush();
    }
    TempDir dir;
    std::int64_t now = NowUtcMs() / kMinuteMs * kMinuteMs;
    std::vector<Sample> all;
    int n = 0;
};

TEST_F(WindowTest, ReducedSeriesKeepsEveryBucketsMinimumAndMaximum) {
    ui::HistoryWindow window(kNode, dir.file);
    window.SetSpan(3);
    std::size_t seen = 0;
    for (const Bucket& b : window.Buckets()) {
        auto [first, last] = SpanOf(all, b.fromMs, b.toMs);
        std::vector<std::int32_t> up;
        for (auto it = first; it != last; ++it)
            if (it->Answered())
                up.push_back(it->value);
        seen += static_cast<std::size_t>(last - first);
        const int answered = static_cast<int>(up.size());
        const auto [low, high] = std::minmax_element(up.begin(), up.end());
        EXPECT_EQ(std::tuple(b.answered, b.failures, b.min, b.max),
                  std::tuple(answered, static_cast<int>(last - first) - answered,
                             answered ? *low : 0, answered ? *high : 0));
    }
    EXPECT_EQ(seen, all.size());
    EXPECT_EQ(std::ranges::count_if(window.Buckets(), &Bucket::gapBefore), 1);
}

TEST_F(WindowTest, UptimeCountsOnlyMonitoredPassesAndExportWritesTheSpan) {
    ui::HistoryWindow window(kNode, dir.file);
    window.SetSpan(0);
    HistoryWriter({dir.file}).ProbeDone(Probe(now - 4 * kMinuteMs, 0, 3));  // a clock set back
    all.insert(all.end() - 1, {now - 4 * kMinuteMs, 0, 3});
    window.Refresh();
    for (const auto& [days, name] : {std::pair{1, "24 hours"}, {7, "7 days"}, {30, "30 days"}}) {
        const auto [first, last] = SpanOf(all, now - days * kDay, now + 1);
        const long n = last - first,
                   up = std::count_if(first, last, std::mem_fn(&Sample::Answered));
        const QString want = QString::asprintf("Uptime %s: %.2f %% (%ld of %ld passes)", name,
                                               100.0 * up / n, up, n);
        EXPECT_TRUE(window.FiguresText().contains(want)) << want.toStdString() << " not in:\n"
                                                         << window.FiguresText().toStdString();
    }
    const QString csv = QString::fromStdString(dir.path + "/span.csv");
    ASSERT_EQ(window.ExportTo(csv), 0);
    const auto [first, last] = SpanOf(all, now - 60 * kMinuteMs, now + 1);
    const std::string text = testing::ReadFile(csv.toStdString()), row = ",\"127.0.0.1\",HTTPD,";
    EXPECT_EQ(LinesWith(csv.toStdString(), row.c_str()), last - first) << text;   // the span's rows
    EXPECT_EQ(text.find(IsoTimeWithOffset(first->timeMs)), text.find('\n') + 1);  // after a header
    const std::string value = std::to_string((last - 1)->value);  // the last two rows whole:
    EXPECT_TRUE(text.ends_with(IsoTimeWithOffset(now - 4 * kMinuteMs) + row +
                               "0,\"*ERROR* count: 3\"\n" + IsoTimeWithOffset((last - 1)->timeMs) +
                               row + value + ",\"HTTP: " + value + " bytes. \"\n"))
        << text;
    // A file that cannot grow past 200 bytes, as on a full disk: a message with
    // the reason, and nothing of the file left.
    const std::string big = dir.path + "/big.csv";
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlim_t was = std::exchange(limit.rlim_cur, 200);
    std::signal(SIGXFSZ, SIG_IGN);
    ui::SetDialogTestModeForTesting(true);
    ui::QueueSavePathForTesting(QString::fromStdString(big));
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    window.OnExport();
    limit.rlim_cur = was, setrlimit(RLIMIT_FSIZE, &limit);
    ASSERT_EQ(ui::ShownMessagesForTesting().size(), 1);
    EXPECT_TRUE(ui::ShownMessagesForTesting()[0].text.endsWith(std::strerror(EFBIG)));
    for (const auto& entry : std::filesystem::directory_iterator(dir.path))
        EXPECT_EQ(entry.path().string().find(big), std::string::npos);
    // The hour repeated when summer time ends: two different times.
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    EXPECT_EQ(IsoTimeWithOffset(1792888200000), "2026-10-25T02:30:00.000+02:00");
    EXPECT_EQ(IsoTimeWithOffset(1792891800250), "2026-10-25T02:30:00.250+01:00");
    unsetenv("TZ");
    tzset();
}

}  // namespace
}  // namespace sentrel::history
