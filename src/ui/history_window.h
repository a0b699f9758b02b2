// The history window of one node: a chart of its values over a chosen span with
// failures and unmonitored time, uptime and outage figures, and CSV export.
// Also the hooks that open it from the main window's status list.
#pragma once

#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <string>
#include <vector>

#include "config/settings.h"
#include "history/history_math.h"
#include "history/history_store.h"

class QAbstractAxis;
class QChart;
class QChartView;
class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;

namespace sentrel::ui {

inline constexpr std::int64_t kHistorySpansMs[] = {3'600'000LL, 86'400'000LL, 7 * 86'400'000LL,
                                                   30 * 86'400'000LL};

class HistoryWindow : public QWidget {
    Q_OBJECT

  public:
    HistoryWindow(const NodeEntry& node, const std::string& storePath, QWidget* parent = nullptr);

    // 0: last hour, 1: 24 hours, 2: 7 days, 3: 30 days.
    void SetSpan(int index);
    // The reduced series as the chart shows it, and the window's figures text.
    const std::vector<history::Bucket>& Buckets() const { return buckets_; }
    QString FiguresText() const;
    // Writes the span's results; 0, or the errno of the failure.
    int ExportTo(const QString& file) const;

  public slots:
    // Reads the results stored since the last read, then redraws.
    void Refresh();
    void OnExport();

  private:
    void Rebuild();
    void BuildChart();
    void AddLossSeries(QAbstractAxis* xAxis);
    std::int64_t SpanFromMs() const { return nowMs_ - kHistorySpansMs[span_]; }

    std::string storePath_;
    history::NodeKey key_;
    bool opened_ = false;
    history::HistoryStore store_;
    history::NodeSeries series_;  // 30 days, oldest first
    std::vector<history::Bucket> buckets_;
    std::int64_t nowMs_ = 0;
    int span_ = 1;

    QChart* chart_ = nullptr;
    QChartView* view_ = nullptr;
    QComboBox* spanBox_ = nullptr;
    QLabel* figures_ = nullptr;
    QPushButton* exportButton_ = nullptr;
    QTimer follow_;
};

// Double-click on a row, or "History..." in its context menu, opens the row's
// node's history window; hovering a row shows its uptime over 24 hours.
void AttachHistory(QListWidget* list);

}  // namespace sentrel::ui
