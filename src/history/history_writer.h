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

namespace sentrel::history {

struct WriterOptions {
    std::string path;
    int keepDays = 30;
    int busyMs = 1000;               // longest wait for another program's transaction
    std::size_t queueLimit = 20000;  // events waiting; beyond it the file is too slow
    int pruneBatch = 500;            // results deleted per transaction
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
    void PassEnded(std::int64_t timeMs, double seconds) override;

  private:
    enum class Kind { On, Off, Probe, PassEnd };
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
    void Say(const std::string& what, int code);  // the one line on standard error

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
    std::int64_t nextPruneMs_ = 0;
    std::thread thread_;
};

}  // namespace sentrel::history
