#include "history/history_writer.h"

#include <sqlite3.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <utility>
#include <vector>

#include "history/history_export.h"

namespace sentrel::history {

namespace {

constexpr std::int64_t kDayMs = 86'400'000;
constexpr std::int64_t kPrunePauseMs = 60'000;
// A pass's results arrive one by one; waiting this long after the first of a
// batch lets one transaction take many.
constexpr auto kGatherTime = std::chrono::milliseconds(200);

std::int64_t BootMs() {
    timespec t{};
    clock_gettime(CLOCK_BOOTTIME, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1'000'000;
}

// The threshold whose text a failed round showed, rebuilt from its figures on export.
FailureText FailureTextOf(const ProbeEvent& event) {
    if (event.result > 0 || event.echoes.received <= 0) {
        return FailureText::Count;
    }
    if (event.statusText == LossStatusText(event.echoes.LossPercent())) {
        return FailureText::Loss;
    }
    return event.statusText == SlowStatusText(WholeMs(event.echoes.medianMicros))
               ? FailureText::Slow
               : FailureText::Count;
}

}  // namespace

HistoryWriter::HistoryWriter(WriterOptions options) : options_(std::move(options)) {
    thread_ = std::thread([this] { Run(); });
}

HistoryWriter::~HistoryWriter() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void HistoryWriter::Push(Event event) {
    if (!enabled_.load()) {
        return;
    }
    bool wake = event.kind != Kind::Probe;
    {
        std::lock_guard lock(mutex_);
        if (queue_.size() >= options_.queueLimit) {
            overflowed_.store(true);  // the writer drops what is queued and says why
            enabled_.store(false);
            wake = true;
        } else {
            wake = wake || queue_.empty();  // later results wait for the batch to fill
            queue_.push_back(std::move(event));
            ++queued_;
        }
    }
    if (wake) {
        wake_.notify_one();
    }
}

void HistoryWriter::MonitoringChanged(bool on, std::int64_t timeMs) {
    Push({on ? Kind::On : Kind::Off, timeMs, {}});
}

void HistoryWriter::ProbeDone(const ProbeEvent& event) {
    Event e{Kind::Probe, event.timeMs, {}};
    e.record.key = MakeNodeKey(event.address, event.port, event.probeType);
    e.record.title = event.title;
    e.record.sample = {event.timeMs, event.result > 0 ? event.result : 0, event.failCount,
                       event.echoes, FailureTextOf(event)};
    if (StatusTextOf(e.record.sample, e.record.key.probeType) != event.statusText) {
        e.record.sample.text = event.statusText;  // a cause or status the figures cannot give
    }
    Push(std::move(e));
}

void HistoryWriter::NodeHeld(const NodeHeldEvent& event) {
    Event e{Kind::Held, event.timeMs, {}};
    e.record.key = MakeNodeKey(event.address, event.port, event.probeType);
    e.record.title = event.title;
    e.record.sample.held = static_cast<std::uint8_t>(event.reason);
    Push(std::move(e));
}

void HistoryWriter::PassStarted(std::int64_t timeMs) {
    Push({Kind::PassStart, timeMs, {}});
}

void HistoryWriter::PassEnded(std::int64_t timeMs, double) {
    Push({Kind::PassEnd, timeMs, {}});
}

void HistoryWriter::Flush() {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = queued_;
    drained_.wait(lock, [&] { return handled_ >= target || stop_; });
}

void HistoryWriter::Say(const std::string& what, int code) {
    if (!said_.exchange(true)) {
        options_.say("history off for this run: " + options_.path + ": " + what + " (" +
                     sqlite3_errstr(code) + ")");
    }
}

void HistoryWriter::TurnOff(const std::string& what, int code) {
    enabled_.store(false);
    Say(what, code);
    if (IsCorruptCode(code)) {
        std::ofstream(DamageMarkerPath(options_.path)) << "checked and moved aside at next start\n";
    }
}

void HistoryWriter::Run() {
    const int opened = store_.OpenForWriting(options_.path, options_.busyMs);
    if (opened != SQLITE_OK) {
        TurnOff("cannot open", opened);
    } else {
        anchorMs_ = store_.NewestResultMs();
        anchorMs_ = anchorMs_ != 0 ? anchorMs_ : options_.wallClock();
        anchorBootMs_ = BootMs();
    }
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (!stop_ && enabled_.load()) {
            // Gather the rest of the pass unless monitoring changes or it ends.
            wake_.wait_for(lock, kGatherTime, [&] {
                return stop_ || queue_.back().kind != Kind::Probe || !enabled_.load();
            });
        }
        std::deque<Event> batch;
        batch.swap(queue_);
        lock.unlock();
        if (enabled_.load()) {
            if (WriteBatch(batch)) {
                PruneSome();
            }
        } else if (overflowed_.load()) {
            Say("the file does not keep up", SQLITE_BUSY);
        }
        lock.lock();
        handled_ += batch.size();
        drained_.notify_all();
        if (stop_ && queue_.empty()) {
            return;
        }
    }
}

bool HistoryWriter::WriteBatch(std::deque<Event>& batch) {
    std::vector<ProbeRecord> records;
    std::int64_t passEnd = 0;
    auto flushRecords = [&]() -> bool {
        if (records.empty() && passEnd == 0) {
            return true;
        }
        const int code = store_.AddResults(records, passEnd);
        records.clear();
        passEnd = 0;
        if (code != SQLITE_OK) {
            TurnOff("cannot write", code);
            return false;
        }
        return true;
    };
    for (Event& e : batch) {
        if (e.kind == Kind::Probe) {
            records.push_back(std::move(e.record));
            continue;
        }
        if (e.kind == Kind::Held) {
            // The node's result of the pass: still in this batch, or stored already.
            const auto same = [&](const ProbeRecord& r) {
                return r.key.address == e.record.key.address && r.key.port == e.record.key.port &&
                       r.key.probeType == e.record.key.probeType && r.title == e.record.title;
            };
            if (const auto r = std::find_if(records.rbegin(), records.rend(), same);
                r != records.rend()) {
                r->sample.held = e.record.sample.held;
            } else if (const int code = store_.MarkHeld(e.record); code != SQLITE_OK) {
                TurnOff("cannot write", code);
                return false;
            }
            continue;
        }
        if (e.kind == Kind::PassEnd) {
            passEnd = e.timeMs;
            if (!passSession_) {
                continue;
            }
        }
        if (!flushRecords()) {
            return false;
        }
        int code = SQLITE_OK;
        if (e.kind == Kind::On || (e.kind == Kind::PassStart && !store_.SessionOpen())) {
            passSession_ = e.kind == Kind::PassStart;
            code = store_.BeginSession(e.timeMs);
        } else if (e.kind == Kind::Off || e.kind == Kind::PassEnd) {
            passSession_ = false;
            code = store_.EndSession(e.timeMs);
        }
        if (code != SQLITE_OK) {
            TurnOff("cannot note monitoring", code);
            return false;
        }
    }
    return flushRecords();
}

// A batch of old results at a time, between writes, so a pass is never held.
void HistoryWriter::PruneSome() {
    if (options_.keepDays <= 0) {
        return;
    }
    const std::int64_t boot = BootMs();
    if (boot < nextPruneBootMs_) {
        return;
    }
    const std::int64_t now = std::min(options_.wallClock(), anchorMs_ + (boot - anchorBootMs_));
    const int removed = store_.Prune(now - options_.keepDays * kDayMs, options_.pruneBatch);
    if (removed < 0) {
        TurnOff("cannot prune", -removed);
        return;
    }
    // More to do: next batch after the next write; none left: rest a minute.
    nextPruneBootMs_ = removed >= options_.pruneBatch ? 0 : boot + kPrunePauseMs;
}

}  // namespace sentrel::history
