// The history window's numbers: reduced series, uptime over monitored passes, export.
#include <QApplication>

#include <algorithm>
#include <fstream>

#include "history/history_export.h"
#include "history_test_util.h"
#include "ui/history_window.h"

namespace sentrel::history {
namespace {

const NodeEntry kNode{"127.0.0.1", "8080", "web", HTTPD};

// Results every five minutes over thirty days: sawtooth values, a spike, a failure
// every 97th, and three hours unwatched a day ago.
struct WindowTest : ::testing::Test {
    void SetUp() override {
        static int argc = 1;
        static char name[] = "test_history", *argv[] = {name, nullptr};
        static QApplication app(argc, argv);
        HistoryWriter w({path});
        w.MonitoringChanged(true, now - 30 * kDay);
        for (std::int64_t t = now - 30 * kDay + kMinuteMs; t < now; t += 5 * kMinuteMs, ++n) {
            if (t == now - kDay + kMinuteMs) {
                w.MonitoringChanged(false, t);
                w.MonitoringChanged(true, t += 3 * 60 * kMinuteMs);
            }
            w.ProbeDone(Probe(t, n % 97 == 0 ? 0 : n == 5000 ? 90'000 : 100 + n % 23, n % 97 == 0));
            all.push_back({t, n % 97 == 0 ? 0 : n == 5000 ? 90'000 : 100 + n % 23, 0});
        }
        w.Flush();
    }
    TempDir dir;
    std::string path = dir.path + "/h.sqlite";
    std::int64_t now = NowUtcMs() / kMinuteMs * kMinuteMs;
    std::vector<Sample> all;
    int n = 0;
};

TEST_F(WindowTest, ReducedSeriesKeepsEveryBucketsMinimumAndMaximum) {
    ui::HistoryWindow window(kNode, path);
    window.SetSpan(3);
    ASSERT_GT(window.Buckets().size(), 100u);
    std::size_t seen = 0;
    for (const Bucket& b : window.Buckets()) {
        auto [first, last] = SpanOf(all, b.fromMs, b.toMs);
        std::vector<std::int32_t> up;
        for (auto it = first; it != last; ++it) {
            if (it->Answered())
                up.push_back(it->value);
        }
        seen += static_cast<std::size_t>(last - first);
        ASSERT_EQ(b.answered + b.failures, last - first);
        if (!up.empty()) {
            EXPECT_EQ(b.min, *std::min_element(up.begin(), up.end()));
            EXPECT_EQ(b.max, *std::max_element(up.begin(), up.end()));
        }
    }
    EXPECT_EQ(seen, all.size());
    EXPECT_EQ(std::count_if(window.Buckets().begin(), window.Buckets().end(),
                            [](const Bucket& b) { return b.gapBefore; }),
              1);
}

TEST_F(WindowTest, UptimeCountsOnlyMonitoredPassesAndExportWritesTheSpan) {
    ui::HistoryWindow window(kNode, path);
    window.SetSpan(0);
    auto [first, last] = SpanOf(all, now - kDay, now + 1);
    const long passes = last - first,
               down = std::count_if(first, last, [](const Sample&s) { return !s.Answered(); });
    EXPECT_TRUE(
        window.FiguresText().contains(QStringLiteral("Uptime 24 hours: %1 % (%2 of %3 passes)")
                                          .arg(100.0 * (passes - down) / passes, 0, 'f', 2)
                                          .arg(passes - down)
                                          .arg(passes)));
    const QString csv = QString::fromStdString(dir.path + "/span.csv");
    ASSERT_TRUE(window.ExportTo(csv));
    std::ifstream in(csv.toStdString());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::tie(first, last) = SpanOf(all, now - 60 * kMinuteMs, now + 1);
    ASSERT_EQ(lines.size(), 1 + static_cast<std::size_t>(last - first));
    EXPECT_EQ(lines[1].substr(0, 23), LocalIsoTime(first->timeMs));
    EXPECT_EQ(lines.back().substr(0, 23), LocalIsoTime((last - 1)->timeMs));
}

}  // namespace
}  // namespace sentrel::history
