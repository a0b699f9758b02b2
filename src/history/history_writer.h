// The pass listener that keeps every result in the history file. The scan
// thread only queues an event and goes on; the writer's own thread writes them
// in batches. Any failure of the file turns history off for the rest of the run
// with one line on standard error; monitoring never notices.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "engine/pass_events.h"
#include "history/history_store.h"
#include "platform/operator_voice.h"

namespace sentrel::history {

struct WriterOptions {
    std::string path;
    int keepDays = 30;
    int busyMs = 1000;                       // longest wait for another program's transaction
    std::size_t queueLimit = 20000;          // events waiting; beyond it the file is too slow
    int pruneBatch = 500;                    // results deleted per transaction
    std::int64_t (*wallClock)() = NowUtcMs;  // UTC ms; tests set a clock that jumps
    OperatorVoice say = [](const std::string&) {};  // the one line when history turns off
};

class HistoryWriter : public PassListener {
  public:
    explicit HistoryWriter(WriterOptions options);
    ~HistoryWriter() override;
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // False once history is off for this run.
    bool Enabled() const { return enabled_.load(); }
    // Waits until every event queued so far is written (or history is off).
    void Flush();

    void MonitoringChanged(bool on, std::int64_t timeMs) override;
    void ProbeDone(const ProbeEvent& event) override;
    // A pass while monitoring is off (sentrel-monitor --once) is a stretch of
    // its own: from its start to its end.
    void PassStarted(std::int64_t timeMs) override;
    void PassEnded(std::int64_t timeMs, double seconds) override;
    // Marks the node's result of the pass as held.
    void NodeHeld(const NodeHeldEvent& event) override;

  private:
    enum class Kind { On, Off, Probe, PassStart, PassEnd, Held };
    struct Event {
        Kind kind;
        std::int64_t timeMs;
        ProbeRecord record;
    };

    void Push(Event event);
    void Run();
    bool WriteBatch(std::deque<Event>& batch);
    void PruneSome();
    void TurnOff(const std::string& what, int code);
    void Say(const std::string& what, int code);  // the one line said, once

    const WriterOptions options_;
    HistoryStore store_;  // the writer thread's alone
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable drained_;
    std::deque<Event> queue_;
    std::uint64_t queued_ = 0;   // events ever queued
    std::uint64_t handled_ = 0;  // events written or dropped
    bool stop_ = false;
    std::atomic<bool> enabled_{true};
    std::atomic<bool> overflowed_{false};
    std::atomic<bool> said_{false};
    // Pruning goes by the wall clock, but never ahead of the newest result found
    // at open plus the time since (boot clock, counting suspend): a clock that
    // jumps forward must not make recent history look old.
    std::int64_t anchorMs_ = 0;
    std::int64_t anchorBootMs_ = 0;
    std::int64_t nextPruneBootMs_ = 0;
    bool passSession_ = false;  // the open session was opened by a pass, not by RUN
    std::thread thread_;
};

}  // namespace sentrel::history
