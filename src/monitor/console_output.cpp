#include "monitor/console_output.h"

#include <cstdio>

#include "config/node_table.h"
#include "engine/https_probe.h"
#include "engine/scan_pass.h"

namespace sentrel::monitor {

namespace {

// A message box text may hold line breaks; a journal line may not.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return text;
}

// A round's figures as monitoring-plugins performance data: the median round
// trip in ms ("U" when no echo was answered) and the loss in percent.
std::string PerfData(const EchoFigures& echoes) {
    char text[96];
    if (echoes.received > 0) {
        std::snprintf(text, sizeof text, " | rta=%.1fms;;;0 pl=%d%%;;;0;100",
                      static_cast<double>(echoes.medianMicros) / 1000.0, echoes.LossPercent());
    } else {
        std::snprintf(text, sizeof text, " | rta=U;;;0 pl=%d%%;;;0;100", echoes.LossPercent());
    }
    return text;
}

// A TCP, HTTPS or DNS probe's performance data: its time in ms ("U" for a
// failure without one) and, for HTTPS, the whole days its certificates have left.
std::string ServicePerfData(const ProbeEvent& event) {
    std::string text =
        " | time=" + (event.result > 0 ? std::to_string(event.result) + "ms" : std::string("U")) +
        ";;;0";
    if (ProbeKind(event.probeType) == HTTPS && event.certExpirySeconds > 0) {
        text +=
            " cert_days=" + std::to_string(DaysLeft(event.certExpirySeconds, event.timeMs / 1000)) +
            ";;;";
    }
    return text;
}

}  // namespace

void SayLine(const std::string& text) {
    std::fprintf(stderr, "sentrel-monitor: %s\n", OneLine(text).c_str());
    std::fflush(stderr);
}

MessageAnswer ConsoleWindow::ShowMessage(const std::string& text, const std::string& caption,
                                         MessageIcon, MessageButtons buttons) {
    SayLine(caption + ": " + text);
    return buttons == MessageButtons::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
}

void ProbeLines::MonitoringChanged(bool on, std::int64_t) {
    SayLine(on ? "monitoring on" : "monitoring off");
}

void ProbeLines::PassStarted(std::int64_t) {
    answered_ = 0;
    failed_ = 0;
}

void ProbeLines::ProbeDone(const ProbeEvent& event) {
    (event.result > 0 ? answered_ : failed_)++;
    NodeSlot slot;
    slot.node.address = event.address;
    slot.node.port = event.port;
    slot.node.title = event.title;
    slot.status.statusText = event.statusText;
    std::string row = OneLine(StatusRowText(slot));
    row.erase(row.find_last_not_of(' ') + 1);
    if (event.echoes.sent > 1) {  // a round of echoes; a single one prints as it always did
        row += PerfData(event.echoes);
    } else if (const std::int32_t kind = ProbeKind(event.probeType);
               kind != HTTPD && kind != PING) {
        row += ServicePerfData(event);
    }
    std::printf("%s\n", row.c_str());
    std::fflush(stdout);
}

void ProbeLines::PassEnded(std::int64_t, double) {
    if (const std::string why = LastPassFailure(); !why.empty()) {
        SayLine("the pass ended early: " + why);
    }
    if (passEnded_) {
        passEnded_();
    }
}

}  // namespace sentrel::monitor
