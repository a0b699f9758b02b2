// What the window would show goes to the console instead, one line per event,
// without colour codes: probe results on standard output, messages and state
// changes on standard error. Nothing here ever waits for an answer.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "engine/pass_events.h"
#include "engine/pass_host.h"
#include "platform/window_port.h"

namespace sentrel::monitor {

// One line on standard error, prefixed with the program's name: the voice this
// program gives every room.
void SayLine(const std::string& text);

// The window the pass talks to, without a display: a message becomes one line
// "caption: text" on standard error and is answered at once (Ok, or No to a
// question). It has nothing else to show.
class ConsoleWindow : public ScanWindow {
  public:
    MessageAnswer ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon,
                              MessageButtons buttons) override;
};

// Writes one line per probe (the status list's row) to standard output and
// (for a PING probe of more than one echo, after " | ", its performance data:
// "rta=12.3ms;;;0 pl=20%;;;0;100") and
// counts the outcomes of the latest pass; calls `passEnded` (on the scan
// thread) when a pass ends. The lines of a pass go out at its end, when the
// alarm sweep has said which nodes are held (their rows say so).
class ProbeLines : public PassListener {
  public:
    // `host` says why a pass ended early; `passEnded` is called after each pass's lines.
    explicit ProbeLines(const PassHost& host, std::function<void()> passEnded = {})
        : host_(host), passEnded_(std::move(passEnded)) {}

    void MonitoringChanged(bool on, std::int64_t timeMs) override;
    void PassStarted(std::int64_t timeMs) override;
    void ProbeDone(const ProbeEvent& event) override;
    void PassEnded(std::int64_t timeMs, double seconds) override;
    void NodeHeld(const NodeHeldEvent& event) override;

    int Answered() const { return answered_.load(); }
    int Failed() const { return failed_.load(); }

  private:
    struct Line {
        int index = 0;
        NodeSlot row;
        std::string perfData;
    };
    const PassHost& host_;
    std::vector<Line> lines_;  // the pass's, on the scan thread only
    std::function<void()> passEnded_;
    std::atomic<int> answered_{0};
    std::atomic<int> failed_{0};
};

}  // namespace sentrel::monitor
