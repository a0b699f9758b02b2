// A month of history: 100 nodes, one pass a minute for 30 days (4.32 million
// results) written by the store itself, then measured side by side in one run:
// the file's size (goal <= 250 MB), a node's history window over 30 days from
// construction to first paint (goal <= 300 ms) and its three uptime figures
// read from a fresh connection (goal <= 50 ms).
#include <QApplication>
#include <QChartView>
#include <QElapsedTimer>
#include <QEvent>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/pass_events.h"
#include "history/history_math.h"
#include "history/history_store.h"
#include "ui/history_window.h"

using namespace sentrel;

namespace {

constexpr int kNodes = 100;
constexpr std::int64_t kMinuteMs = 60'000;
constexpr int kMinutes = 30 * 24 * 60;

class FirstPaint : public QObject {
  public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !painted) {
            painted = true;
        }
        return QObject::eventFilter(watched, event);
    }
    bool painted = false;
};

NodeEntry Node(int i) {
    return {"10.1.0." + std::to_string(i + 1), "", "node " + std::to_string(i), PING};
}

bool Generate(const std::string& path, std::int64_t now) {
    history::HistoryStore store;
    if (store.OpenForWriting(path, 1000) != 0) {
        return false;
    }
    std::mt19937 random(7);
    std::vector<history::ProbeRecord> hour;
    std::vector<int> fails(kNodes, 0);
    const std::int64_t start = now - std::int64_t{kMinutes} * kMinuteMs;
    store.BeginSession(start);
    for (int m = 0; m < kMinutes; ++m) {
        const std::int64_t t = start + m * kMinuteMs;
        for (int i = 0; i < kNodes; ++i) {
            const bool up = random() % 100 != 0;
            fails[i] = up ? 0 : fails[i] + 1;
            const auto value = static_cast<std::int32_t>(up ? 1 + random() % 40 : 0);
            const NodeEntry n = Node(i);
            hour.push_back({history::MakeNodeKey(n.address, n.port, n.probeType),
                            n.title,
                            {t + i * 20, value, fails[i]}});
        }
        if (m % 60 == 59 || m == kMinutes - 1) {
            if (store.AddResults(hour, t + 3000) != 0) {
                return false;
            }
            hour.clear();
        }
    }
    store.EndSession(now);
    return true;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::string dir = (std::filesystem::temp_directory_path() / "sentrel-bench-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) {
        return 1;
    }
    const std::string path = dir + "/history.sqlite";
    const std::int64_t now = NowUtcMs();
    QElapsedTimer clock;
    clock.start();
    if (!Generate(path, now)) {
        std::fprintf(stderr, "bench_ui_history: cannot write %s\n", path.c_str());
        return 1;
    }
    std::uintmax_t bytes = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        bytes += entry.file_size();
    }
    std::printf("generated %d results in %.1f s; file %.1f MB (goal <= 250 MB)\n",
                kNodes * kMinutes, clock.elapsed() / 1000.0, bytes / 1e6);

    std::vector<double> paint, uptime;
    for (int i = 0; i < 7; ++i) {
        const NodeEntry node = Node(i * 13 % kNodes);
        clock.restart();
        auto* window = new ui::HistoryWindow(node, path);
        window->SetSpan(3);
        FirstPaint watch;
        for (QChartView* w : window->findChildren<QChartView*>()) {
            w->viewport()->installEventFilter(&watch);
        }
        window->show();
        while (!watch.painted && clock.elapsed() < 10000) {
            QApplication::processEvents();
        }
        paint.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        delete window;

        clock.restart();
        history::HistoryStore store;
        store.OpenForReading(path);
        const auto key = history::MakeNodeKey(node.address, node.port, node.probeType);
        const auto series = store.Read(key, now - 30 * 86'400'000LL, now + 1);
        int passes = 0;
        for (const std::int64_t span : {1LL, 7LL, 30LL}) {
            passes +=
                history::CountUptime(series.samples, now - span * 86'400'000LL, now + 1).passes;
        }
        uptime.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        if (passes != 1440 + 7 * 1440 + kMinutes) {
            std::fprintf(stderr, "bench_ui_history: %d passes counted\n", passes);
        }
    }
    std::printf("history window, 30 days, start to first paint: median %.1f ms (goal <= 300 ms)\n",
                Median(paint));
    std::printf(
        "uptime figures (24 h, 7 d, 30 d) from a fresh connection: median %.1f ms "
        "(goal <= 50 ms)\n",
        Median(uptime));
    std::filesystem::remove_all(dir);
    return 0;
}
