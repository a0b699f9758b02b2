#include "ui/history_window.h"

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QDir>
#include <QEvent>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QLineSeries>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScatterSeries>
#include <QToolTip>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <cstring>

#include "config/node_table.h"
#include "engine/pass_events.h"
#include "history/history_export.h"
#include "history/history_setup.h"
#include "ui/dialogs.h"

namespace sentrel::ui {

namespace {

constexpr int kFollowMs = 2000;

QString Duration(std::int64_t ms) {
    const std::int64_t s = ms / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString UptimeText(const history::Uptime& u) {
    if (u.passes == 0) {
        return u.maintenance > 0 ? QStringLiteral("in maintenance (%1 results)").arg(u.maintenance)
                                 : QStringLiteral("no results");
    }
    return QStringLiteral("%1 % (%2 of %3 passes%4)")
        .arg(u.Percent(), 0, 'f', 2)
        .arg(u.answered)
        .arg(u.passes)
        .arg(u.maintenance > 0 ? QStringLiteral(", %1 in maintenance").arg(u.maintenance)
                               : QString());
}

// The node behind a row of the status list (rows are the table's slots in order).
NodeEntry RowNode(int row) {
    return row >= 0 && row < kMaxNodes ? NodeTable::Instance().Get(row).node : NodeEntry{};
}

}  // namespace

HistoryWindow::HistoryWindow(const NodeEntry& node, const std::string& storePath, QWidget* parent)
    : QWidget(parent, Qt::Window),
      storePath_(storePath),
      key_(history::MakeNodeKey(node.address, node.port, node.probeType)) {
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("historyWindow"));
    const std::string& name = node.title.empty() ? node.address : node.title;
    setWindowTitle(QStringLiteral("History - ") + QString::fromStdString(name));

    spanBox_ = new QComboBox(this);
    spanBox_->addItems({QStringLiteral("Last hour"), QStringLiteral("24 hours"),
                        QStringLiteral("7 days"), QStringLiteral("30 days")});
    spanBox_->setCurrentIndex(span_);
    exportButton_ = new QPushButton(QStringLiteral("Export CSV..."), this);
    exportButton_->setAutoDefault(false);
    figures_ = new QLabel(this);
    figures_->setObjectName(QStringLiteral("historyFigures"));
    figures_->setTextFormat(Qt::PlainText);
    figures_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    figures_->setMinimumWidth(250);

    chart_ = new QChart();
    chart_->legend()->hide();
    chart_->setMargins(QMargins(4, 4, 4, 4));
    view_ = new QChartView(chart_, this);
    view_->setRenderHint(QPainter::Antialiasing, false);

    auto* top = new QHBoxLayout();
    top->addWidget(spanBox_);
    top->addStretch(1);
    top->addWidget(exportButton_);
    auto* middle = new QHBoxLayout();
    middle->addWidget(view_, 1);
    middle->addWidget(figures_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(middle, 1);
    resize(960, 480);

    connect(spanBox_, &QComboBox::currentIndexChanged, this, &HistoryWindow::SetSpan);
    connect(exportButton_, &QPushButton::clicked, this, &HistoryWindow::OnExport);
    connect(&follow_, &QTimer::timeout, this, [this] {
        if (MonitorRunning.load() != 0) {
            Refresh();
        }
    });
    follow_.start(kFollowMs);

    nowMs_ = NowUtcMs();
    opened_ = store_.OpenForReading(storePath) == 0;
    if (opened_) {
        series_ = store_.Read(key_, nowMs_ - kHistorySpansMs[3], nowMs_ + 1);
    }
    Rebuild();
}

void HistoryWindow::SetSpan(int index) {
    span_ = std::clamp(index, 0, 3);
    if (spanBox_->currentIndex() != span_) {
        spanBox_->setCurrentIndex(span_);
    }
    Rebuild();
}

void HistoryWindow::Refresh() {
    const std::int64_t now = NowUtcMs();
    if (!opened_) {  // no file yet when the window opened, or one of an older schema
        opened_ = store_.OpenForReading(storePath_) == 0;
        if (opened_) {
            series_ = store_.Read(key_, now - kHistorySpansMs[3], now + 1);
        }
    } else {
        // By storing order, not by time: a clock set back stamps new results
        // before the newest one held.
        store_.ReadNewer(key_, series_, now - kHistorySpansMs[3], now + 1);
    }
    // Keep thirty days, no more.
    const auto first = history::SpanOf(series_.samples, now - kHistorySpansMs[3], now + 1).first;
    series_.samples.erase(series_.samples.cbegin(), first);
    nowMs_ = now;
    Rebuild();
}

void HistoryWindow::Rebuild() {
    const int buckets = std::max(100, 2 * view_->width());
    buckets_ = history::Reduce(series_, SpanFromMs(), nowMs_ + 1, buckets);
    BuildChart();
    figures_->setText(FiguresText());
}

void HistoryWindow::BuildChart() {
    chart_->removeAllSeries();
    for (QAbstractAxis* axis : chart_->axes()) {
        chart_->removeAxis(axis);
        delete axis;
    }
    auto* xAxis = new QDateTimeAxis();
    xAxis->setFormat(span_ <= 1 ? QStringLiteral("HH:mm") : QStringLiteral("MM-dd HH:mm"));
    xAxis->setRange(QDateTime::fromMSecsSinceEpoch(SpanFromMs()),
                    QDateTime::fromMSecsSinceEpoch(nowMs_));
    auto* yAxis = new QValueAxis();
    yAxis->setTitleText(key_.probeType == HTTPD ? QStringLiteral("bytes") : QStringLiteral("ms"));
    chart_->addAxis(xAxis, Qt::AlignBottom);
    chart_->addAxis(yAxis, Qt::AlignLeft);

    auto* failures = new QScatterSeries();
    failures->setColor(Qt::red);
    failures->setBorderColor(Qt::red);
    failures->setMarkerSize(7);
    std::int32_t top = 1;
    QLineSeries* mean = nullptr;
    QLineSeries* low = nullptr;
    QLineSeries* high = nullptr;
    const auto closeSegment = [&] {
        if (mean == nullptr) {
            return;
        }
        auto* band = new QAreaSeries(high, low);
        band->setColor(QColor(70, 130, 200, 90));
        band->setBorderColor(QColor(70, 130, 200, 140));
        for (QAbstractSeries* s :
             {static_cast<QAbstractSeries*>(band), static_cast<QAbstractSeries*>(mean)}) {
            chart_->addSeries(s);
            s->attachAxis(xAxis);
            s->attachAxis(yAxis);
        }
        mean = nullptr;
    };
    for (const history::Bucket& b : buckets_) {
        const qreal x = static_cast<qreal>(b.fromMs + (b.toMs - b.fromMs) / 2);
        if (b.gapBefore) {
            closeSegment();  // not monitored in between: no line across
        }
        if (b.failures > 0) {
            failures->append(x, 0);
        }
        if (b.answered == 0) {
            continue;
        }
        if (mean == nullptr) {
            mean = new QLineSeries();
            mean->setPen(QPen(QColor(20, 60, 140), 1.5));
            low = new QLineSeries(mean);
            high = new QLineSeries(mean);
        }
        mean->append(x, b.mean);
        low->append(x, b.min);
        high->append(x, b.max);
        top = std::max(top, b.max);
    }
    closeSegment();
    chart_->addSeries(failures);
    failures->attachAxis(xAxis);
    failures->attachAxis(yAxis);
    yAxis->setRange(0, top * 1.1);
    AddLossSeries(xAxis);
}

// Echo loss per bucket, in percent on an axis of its own at the right; only
// for a node whose results carry echoes (PING since the echoes were kept).
void HistoryWindow::AddLossSeries(QAbstractAxis* xAxis) {
    auto* loss = new QLineSeries();
    loss->setName(QStringLiteral("loss %"));
    loss->setPen(QPen(QColor(220, 120, 0), 1.0, Qt::DashLine));
    loss->setPointsVisible(true);
    for (const history::Bucket& b : buckets_) {
        if (b.echoesSent > 0) {
            loss->append(static_cast<qreal>(b.fromMs + (b.toMs - b.fromMs) / 2), b.LossPercent());
        }
    }
    if (loss->count() == 0) {
        delete loss;
        return;
    }
    auto* lossAxis = new QValueAxis();
    lossAxis->setTitleText(QStringLiteral("loss %"));
    lossAxis->setRange(0, 100);
    chart_->addAxis(lossAxis, Qt::AlignRight);
    chart_->addSeries(loss);
    loss->attachAxis(xAxis);
    loss->attachAxis(lossAxis);
}

QString HistoryWindow::FiguresText() const {
    const auto& samples = series_.samples;
    const std::int64_t end = nowMs_ + 1;
    QStringList lines;
    const char* names[] = {"24 hours", "7 days", "30 days"};
    for (int i = 0; i < 3; ++i) {
        lines << QStringLiteral("Uptime %1: %2")
                     .arg(QLatin1String(names[i]))
                     .arg(UptimeText(
                         history::CountUptime(samples, nowMs_ - kHistorySpansMs[i + 1], end)));
    }
    const history::Outages outages = history::FindOutages(series_, SpanFromMs(), end);
    lines << QString() << QStringLiteral("Outages: %1").arg(outages.count)
          << QStringLiteral("Longest: %1").arg(Duration(outages.longestMs))
          << QStringLiteral("Last failure: %1")
                 .arg(outages.lastFailureMs == 0
                          ? QStringLiteral("none")
                          : QString::fromStdString(history::LocalIsoTime(outages.lastFailureMs)));
    const history::Spread spread = history::ValueSpread(samples, SpanFromMs(), end);
    const QString unit = key_.probeType == HTTPD ? QStringLiteral(" bytes") : QStringLiteral(" ms");
    lines << QStringLiteral("Median: %1")
                 .arg(spread.any ? QString::number(spread.median) + unit : QStringLiteral("-"))
          << QStringLiteral("95th percentile: %1")
                 .arg(spread.any ? QString::number(spread.p95) + unit : QStringLiteral("-"));
    if (const history::EchoSpan echoes = history::SpanEchoes(samples, SpanFromMs(), end);
        echoes.sent > 0) {
        lines << QStringLiteral("Echo loss: %1 % (%2 of %3 lost)")
                     .arg(echoes.LossPercent(), 0, 'f', 2)
                     .arg(echoes.sent - echoes.received)
                     .arg(echoes.sent)
              << QStringLiteral("Jitter: %1")
                     .arg(echoes.jitterRounds > 0
                              ? QString::number(echoes.jitterMs, 'f', 2) + QStringLiteral(" ms")
                              : QStringLiteral("-"));
    }
    return lines.join(QLatin1Char('\n'));
}

int HistoryWindow::ExportTo(const QString& file) const {
    return history::ExportCsv(file.toStdString(), key_, series_.samples, SpanFromMs(), nowMs_ + 1);
}

void HistoryWindow::OnExport() {
    SaveFileRequest request;
    request.title = QStringLiteral("Export CSV");
    request.filters = {QStringLiteral("CSV files (*.csv)"), QStringLiteral("All Files (*.*)")};
    request.defaultSuffix = QStringLiteral("csv");
    const QString file = ChooseSaveFile(this, request);
    const int error = file.isEmpty() ? 0 : ExportTo(file);
    if (error != 0) {
        ShowMessageBox(
            this,
            QStringLiteral("Cannot export to %1: %2")
                .arg(QDir::toNativeSeparators(file), QString::fromLocal8Bit(std::strerror(error))),
            request.title, MessageIcon::Exclamation);
    }
}

namespace {

class RowTips : public QObject {
  public:
    explicit RowTips(QListWidget* list) : QObject(list), list_(list) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::ToolTip) {
            return false;
        }
        const auto* help = static_cast<QHelpEvent*>(event);
        const int row = list_->row(list_->itemAt(help->pos()));
        const NodeEntry node = RowNode(row);
        history::HistoryStore store;
        if (node.address.empty() || store.OpenForReading(history::HistoryFilePath()) != 0) {
            QToolTip::hideText();
            return true;
        }
        const std::int64_t now = NowUtcMs();
        const auto key = history::MakeNodeKey(node.address, node.port, node.probeType);
        const auto series = store.Read(key, now - kHistorySpansMs[1], now + 1);
        QToolTip::showText(help->globalPos(),
                           QStringLiteral("Uptime 24 hours: ") +
                               UptimeText(history::CountUptime(series.samples, 0, now + 1)),
                           list_->viewport());
        return true;
    }

  private:
    QListWidget* list_;
};

void OpenHistory(QListWidget* list, int row) {
    const NodeEntry node = RowNode(row);
    if (node.address.empty()) {
        return;
    }
    auto* window = new HistoryWindow(node, history::HistoryFilePath(), list->window());
    window->show();
}

}  // namespace

void AttachHistory(QListWidget* list) {
    QObject::connect(list, &QListWidget::itemDoubleClicked, list,
                     [list](QListWidgetItem* item) { OpenHistory(list, list->row(item)); });
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(list, &QWidget::customContextMenuRequested, list, [list](const QPoint& pos) {
        const int row = list->row(list->itemAt(pos));
        if (row < 0) {
            return;
        }
        QMenu menu(list);
        menu.addAction(QStringLiteral("History..."), list, [list, row] { OpenHistory(list, row); });
        menu.exec(list->viewport()->mapToGlobal(pos));
    });
    list->viewport()->installEventFilter(new RowTips(list));
}

}  // namespace sentrel::ui
