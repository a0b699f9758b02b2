#include "monitor/console_output.h"

#include <cstdio>

#include "config/node_table.h"
#include "engine/https_probe.h"
#include "engine/pass_host.h"
#include "engine/scan_pass.h"
#include "platform/operator_voice.h"

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
    static const OperatorVoice voice = StderrVoice("sentrel-monitor");
    voice(text);
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
    lines_.clear();
    answered_ = 0;
    failed_ = 0;
}

void ProbeLines::ProbeDone(const ProbeEvent& event) {
    (event.result > 0 ? answered_ : failed_)++;
    Line line;
    line.index = event.index;
    line.row.node.address = event.address;
    line.row.node.port = event.port;
    line.row.node.title = event.title;
    line.row.status.statusText = event.statusText;
    if (event.echoes.sent > 1) {  // a round of echoes; a single one prints as it always did
        line.perfData = PerfData(event.echoes);
    } else if (const std::int32_t kind = ProbeKind(event.probeType);
               kind != HTTPD && kind != PING) {
        line.perfData = ServicePerfData(event);
    }
    lines_.push_back(std::move(line));
}

void ProbeLines::NodeHeld(const NodeHeldEvent& event) {
    for (Line& line : lines_) {
        if (line.index == event.index) {
            line.row.status.held = event.reason;
            line.row.status.heldBehind = event.parent;
        }
    }
}

void ProbeLines::PassEnded(std::int64_t, double) {
    for (const Line& line : lines_) {
        std::string row = OneLine(StatusRowText(line.row));
        row.erase(row.find_last_not_of(' ') + 1);
        std::printf("%s%s\n", row.c_str(), line.perfData.c_str());
    }
    std::fflush(stdout);
    lines_.clear();
    if (const std::string why = host_.LastFailure(); !why.empty()) {
        SayLine("the pass ended early: " + why);
    }
    if (passEnded_) {
        passEnded_();
    }
}

}  // namespace sentrel::monitor
