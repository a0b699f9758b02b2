// What the history window shows, computed from a node's series: the reduced
// chart series, uptime, outages and the spread of the values.
#pragma once

#include <cstdint>
#include <vector>

#include "history/history_types.h"

namespace sentrel::history {

// Answers whether monitoring stopped between two moments: some watched stretch
// starts or ends strictly between them.
class GapFinder {
  public:
    explicit GapFinder(const std::vector<Watched>& watched);
    bool Between(std::int64_t aMs, std::int64_t bMs) const;
    // The first start or end of a watched stretch after `ms`, or `fallback`.
    std::int64_t NextBoundary(std::int64_t ms, std::int64_t fallback) const;

  private:
    std::vector<std::int64_t> boundaries_;
};

// One slice of the span. Buckets without results are left out.
struct Bucket {
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
    int answered = 0;  // results with a value
    int failures = 0;
    std::int32_t min = 0;  // over answered results
    std::int32_t max = 0;
    double mean = 0;
    bool gapBefore = false;       // monitoring stopped since the previous bucket's last result
    std::int64_t echoesSent = 0;  // PING echoes of the bucket's results
    std::int64_t echoesReceived = 0;
    // Lost echoes in percent of those sent; 0 when none was sent.
    double LossPercent() const;
};

// At most `buckets` buckets of equal width over [fromMs, toMs).
std::vector<Bucket> Reduce(const NodeSeries& series, std::int64_t fromMs, std::int64_t toMs,
                           int buckets);

// Results in maintenance count apart: neither up nor down.
inline constexpr std::uint8_t kHeldInMaintenance = 2;
struct Uptime {
    int passes = 0;       // monitored passes with a result for the node, maintenance aside
    int answered = 0;     // of them, those the node answered
    int maintenance = 0;  // results in maintenance
    double Percent() const { return passes > 0 ? 100.0 * answered / passes : 0.0; }
};
Uptime CountUptime(const std::vector<Sample>& samples, std::int64_t fromMs, std::int64_t toMs);

struct Outages {
    int count = 0;
    std::int64_t longestMs = 0;
    std::int64_t lastFailureMs = 0;  // 0: none in the span
};
// An outage is a run of failures; it ends at the next answer, or where monitoring
// stopped. A stop always ends it: the next failure after a gap starts a new one.
Outages FindOutages(const NodeSeries& series, std::int64_t fromMs, std::int64_t toMs);

struct Spread {
    bool any = false;
    std::int32_t median = 0;
    std::int32_t p95 = 0;
};
// Nearest-rank median and 95th percentile of the answered values in the span.
Spread ValueSpread(const std::vector<Sample>& samples, std::int64_t fromMs, std::int64_t toMs);

// The echoes of the span: loss over all echoes sent, and the mean jitter of
// the rounds that had at least two answers.
struct EchoSpan {
    std::int64_t sent = 0;
    std::int64_t received = 0;
    int jitterRounds = 0;
    double jitterMs = 0;
    double LossPercent() const;
};
EchoSpan SpanEchoes(const std::vector<Sample>& samples, std::int64_t fromMs, std::int64_t toMs);

// Adds watched stretches, keeping the list merged and in time order.
void MergeWatched(std::vector<Watched>& into, const std::vector<Watched>& more);

// The samples of [fromMs, toMs) as iterators into a sorted vector.
std::pair<std::vector<Sample>::const_iterator, std::vector<Sample>::const_iterator> SpanOf(
    const std::vector<Sample>& samples, std::int64_t fromMs, std::int64_t toMs);

}  // namespace sentrel::history
