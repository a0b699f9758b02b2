#include "history/history_math.h"

#include <algorithm>
#include <cmath>

namespace sentrel::history {

GapFinder::GapFinder(const std::vector<Watched>& watched) {
    for (const Watched& w : watched) {
        boundaries_.push_back(w.fromMs);
        boundaries_.push_back(w.toMs);
    }
    std::sort(boundaries_.begin(), boundaries_.end());
}

bool GapFinder::Between(std::int64_t aMs, std::int64_t bMs) const {
    const auto it = std::upper_bound(boundaries_.begin(), boundaries_.end(), aMs);
    return it != boundaries_.end() && *it < bMs;
}

std::int64_t GapFinder::NextBoundary(std::int64_t ms, std::int64_t fallback) const {
    const auto it = std::upper_bound(boundaries_.begin(), boundaries_.end(), ms);
    return it != boundaries_.end() ? *it : fallback;
}

std::pair<std::vector<Sample>::const_iterator, std::vector<Sample>::const_iterator> SpanOf(
    const std::vector<Sample>& samples, std::int64_t fromMs, std::int64_t toMs) {
    const auto byTime = [](const Sample& s, std::int64_t t) { return s.timeMs < t; };
    const auto first = std::lower_bound(samples.begin(), samples.end(), fromMs, byTime);
    const auto last = std::lower_bound(first, samples.end(), toMs, byTime);
    return {first, last};
}

namespace {

double Loss(std::int64_t sent, std::int64_t received) {
    return sent > 0 ? 100.0 * static_cast<double>(sent - received) / static_cast<double>(sent) : 0;
}

}  // namespace

double Bucket::LossPercent() const {
    return Loss(echoesSent, echoesReceived);
}

double EchoSpan::LossPercent() const {
    return Loss(sent, received);
}

EchoSpan SpanEchoes(const std::vector<Sample>& samples, std::int64_t fromMs, std::int64_t toMs) {
    EchoSpan span;
    double jitterSum = 0;
    const auto [first, last] = SpanOf(samples, fromMs, toMs);
    for (auto it = first; it != last; ++it) {
        span.sent += it->echoes.sent;
        span.received += it->echoes.received;
        if (it->echoes.received >= 2) {
            jitterSum += static_cast<double>(it->echoes.jitterMicros) / 1000.0;
            ++span.jitterRounds;
        }
    }
    span.jitterMs = span.jitterRounds > 0 ? jitterSum / span.jitterRounds : 0;
    return span;
}

std::vector<Bucket> Reduce(const NodeSeries& series, std::int64_t fromMs, std::int64_t toMs,
                           int buckets) {
    std::vector<Bucket> out;
    if (buckets <= 0 || toMs <= fromMs) {
        return out;
    }
    const GapFinder gaps(series.watched);
    // Integer bounds: a result at t falls in slot floor((t - from) * n / span),
    // whose bucket is exactly [from + ceil(slot * span / n), from + ceil((slot + 1) * span / n)).
    const std::int64_t span = toMs - fromMs;
    const auto edge = [&](std::int64_t slot) {
        return fromMs + (slot * span + buckets - 1) / buckets;
    };
    const auto [first, last] = SpanOf(series.samples, fromMs, toMs);
    std::int64_t previousMs = 0;
    std::int64_t index = -1;
    double sum = 0;
    for (auto it = first; it != last; ++it) {
        const std::int64_t slot = (it->timeMs - fromMs) * buckets / span;
        if (slot != index) {
            if (!out.empty() && out.back().answered > 0) {
                out.back().mean = sum / out.back().answered;
            }
            Bucket b;
            b.fromMs = edge(slot);
            b.toMs = edge(slot + 1);
            b.gapBefore = !out.empty() && gaps.Between(previousMs, it->timeMs);
            out.push_back(b);
            index = slot;
            sum = 0;
        }
        Bucket& b = out.back();
        b.echoesSent += it->echoes.sent;
        b.echoesReceived += it->echoes.received;
        if (it->Answered()) {
            b.min = b.answered == 0 ? it->value : std::min(b.min, it->value);
            b.max = b.answered == 0 ? it->value : std::max(b.max, it->value);
            sum += it->value;
            ++b.answered;
        } else {
            ++b.failures;
        }
        previousMs = it->timeMs;
    }
    if (!out.empty() && out.back().answered > 0) {
        out.back().mean = sum / out.back().answered;
    }
    return out;
}

void MergeWatched(std::vector<Watched>& into, const std::vector<Watched>& more) {
    into.insert(into.end(), more.begin(), more.end());
    std::sort(into.begin(), into.end(),
              [](const auto& a, const auto& b) { return a.fromMs < b.fromMs; });
    std::vector<Watched> merged;
    for (const auto& w : into) {
        if (!merged.empty() && w.fromMs <= merged.back().toMs) {
            merged.back().toMs = std::max(merged.back().toMs, w.toMs);
        } else {
            merged.push_back(w);
        }
    }
    into.swap(merged);
}

Uptime CountUptime(const std::vector<Sample>& samples, std::int64_t fromMs, std::int64_t toMs) {
    Uptime u;
    const auto [first, last] = SpanOf(samples, fromMs, toMs);
    for (auto s = first; s != last; ++s) {
        if (s->held == kHeldInMaintenance) {
            ++u.maintenance;
        } else {
            ++u.passes;
            u.answered += s->Answered() ? 1 : 0;
        }
    }
    return u;
}

Outages FindOutages(const NodeSeries& series, std::int64_t fromMs, std::int64_t toMs) {
    Outages o;
    const GapFinder gaps(series.watched);
    const auto [first, last] = SpanOf(series.samples, fromMs, toMs);
    const Sample* start = nullptr;   // first failure of the open outage
    const Sample* latest = nullptr;  // its latest failure
    const auto close = [&](std::int64_t endMs) {
        o.longestMs = std::max(o.longestMs, endMs - start->timeMs);
        start = nullptr;
    };
    for (auto it = first; it != last; ++it) {
        if (start != nullptr && gaps.Between(latest->timeMs, it->timeMs)) {
            close(gaps.NextBoundary(latest->timeMs, latest->timeMs));
        }
        if (it->Answered()) {
            if (start != nullptr) {
                close(it->timeMs);
            }
            continue;
        }
        if (start == nullptr) {
            start = &*it;
            ++o.count;
        }
        latest = &*it;
        o.lastFailureMs = it->timeMs;
    }
    if (start != nullptr) {
        close(std::min(toMs, gaps.NextBoundary(latest->timeMs, latest->timeMs)));
    }
    return o;
}

Spread ValueSpread(const std::vector<Sample>& samples, std::int64_t fromMs, std::int64_t toMs) {
    const auto [first, last] = SpanOf(samples, fromMs, toMs);
    std::vector<std::int32_t> values;
    for (auto it = first; it != last; ++it) {
        if (it->Answered()) {
            values.push_back(it->value);
        }
    }
    Spread s;
    if (values.empty()) {
        return s;
    }
    const auto rank = [&](double p) {
        const auto n = static_cast<std::size_t>(std::ceil(p * values.size()));
        auto nth = values.begin() + static_cast<long>(std::max<std::size_t>(n, 1) - 1);
        std::nth_element(values.begin(), nth, values.end());
        return *nth;
    };
    s.any = true;
    s.median = rank(0.5);
    s.p95 = rank(0.95);
    return s;
}

}  // namespace sentrel::history
