#include "metrics/metrics_listener.h"

#include <iterator>
#include <string>
#include <utility>

#include "alerts/alarm_hold.h"
#include "config/node_table.h"
#include "config/settings.h"

namespace sentrel {

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;
using Labels = std::vector<ClientMetric::Label>;

constexpr AlarmChannel kChannels[] = {AlarmChannel::Email, AlarmChannel::Sound, AlarmChannel::Pager,
                                      AlarmChannel::Command, AlarmChannel::Webhook};

MetricFamily Family(const char* name, const char* help, MetricType type) {
    MetricFamily family;
    family.name = name;
    family.help = help;
    family.type = type;
    return family;
}

void Add(MetricFamily& family, Labels labels, double value) {
    ClientMetric metric;
    metric.label = std::move(labels);
    if (family.type == MetricType::Counter) {
        metric.counter.value = value;
    } else {
        metric.gauge.value = value;
    }
    family.metric.push_back(std::move(metric));
}

// Length of the well-formed UTF-8 sequence at text[at], or 0 when it is not one
// (a stray byte, a cut sequence, an overlong form, a surrogate, past U+10FFFF).
std::size_t Utf8SequenceAt(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;  // bounds of the second byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) {
        return 0;
    }
    for (std::size_t i = at + 2; i < at + length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

// Label values must be UTF-8 or the whole scrape is refused; tarn.ini may hold
// titles in an older code page. Each byte that is not part of UTF-8 becomes
// the four characters \xHH, so titles that differ only in such bytes still differ.
std::string Utf8Label(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string label;
    label.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        if (const std::size_t length = Utf8SequenceAt(text, at); length > 0) {
            label.append(text, at, length);
            at += length;
            continue;
        }
        const auto value = static_cast<unsigned char>(text[at++]);
        label += "\\x";
        label += kHex[value >> 4];
        label += kHex[value & 0x0F];
    }
    return label;
}

}  // namespace

void MetricsListener::MonitoringChanged(bool on, std::int64_t) {
    std::lock_guard lock(mutex_);
    state_.monitoring = on;
}

void MetricsListener::PassStarted(std::int64_t timeMs) {
    std::lock_guard lock(mutex_);
    state_.passStartSeconds = static_cast<double>(timeMs) / 1000.0;
    ++state_.pass;
}

MetricsListener::NodeKey MetricsListener::KeyOf(int index, const std::string& address,
                                                const std::string& port, std::int32_t probeType,
                                                const std::string& title) {
    return {index, Utf8Label(address), Utf8Label(port), ProbeKindName(probeType), Utf8Label(title)};
}

void MetricsListener::ProbeDone(const ProbeEvent& event) {
    const std::int32_t kind = ProbeKind(event.probeType);
    const bool ping = kind != HTTPD;
    NodeKey key = KeyOf(event.index, event.address, event.port, event.probeType, event.title);
    std::lock_guard lock(mutex_);
    NodeState& node = state_.nodes[std::move(key)];
    node.ping = ping;
    node.up = event.result > 0;
    node.failures = event.failCount;
    node.pass = state_.pass;
    if (event.certExpirySeconds > 0) {
        node.certExpirySeconds = static_cast<double>(event.certExpirySeconds);
    }
    if (node.up) {
        ++node.successes;
        node.value = ping ? event.result / 1000.0 : event.result;
        node.hasValue = true;
    } else {
        ++node.failed;
    }
    const EchoFigures& echoes = event.echoes;
    if (ping && echoes.sent > 0) {
        node.lossRatio = static_cast<double>(echoes.sent - echoes.received) / echoes.sent;
        node.jitterSeconds = static_cast<double>(echoes.jitterMicros) / 1e6;
        node.echoesSent += static_cast<std::uint64_t>(echoes.sent);
        node.echoesReceived += static_cast<std::uint64_t>(echoes.received);
        if (!node.up && echoes.received > 0) {  // answered, yet over a threshold
            node.value = WholeMs(echoes.medianMicros) / 1000.0;
            node.hasValue = true;
        }
    }
}

void MetricsListener::PassEnded(std::int64_t, double seconds) {
    // A whole pass has probed every configured node: nodes it did not reach
    // were taken out of tarn.ini, and their series end here.
    const bool whole = ScanAbort.load() == 0;
    std::lock_guard lock(mutex_);
    state_.passSeconds = seconds;
    if (whole) {
        std::erase_if(state_.nodes,
                      [this](const auto& entry) { return entry.second.pass != state_.pass; });
        // A hold lasts from the sweep that decided it to the next whole pass's.
        for (auto& [key, node] : state_.nodes) {
            if (node.heldPass != state_.pass) {
                node.held = HoldReason::None;
            }
        }
    }
}

void MetricsListener::NodeHeld(const NodeHeldEvent& event) {
    std::lock_guard lock(mutex_);
    const auto found = state_.nodes.find(
        KeyOf(event.index, event.address, event.port, event.probeType, event.title));
    if (found != state_.nodes.end()) {
        found->second.held = event.reason;
        found->second.heldPass = state_.pass;
    }
    state_.alarmsHeld += event.alarmHeld ? 1 : 0;
}

void MetricsListener::AlarmDone(AlarmChannel channel, bool ok) {
    std::lock_guard lock(mutex_);
    ++state_.alarms[{channel, ok}];
}

std::vector<MetricFamily> MetricsListener::Collect() const {
    State state;
    {
        std::lock_guard lock(mutex_);
        state = state_;
    }

    MetricFamily up = Family(
        "sentrel_node_up", "1 when the node answered its latest probe, else 0.", MetricType::Gauge);
    MetricFamily rtt = Family("sentrel_node_round_trip_seconds",
                              "Round-trip time of the latest answered probe (a PING's echoes' "
                              "median; the time to connect, to the whole answer, to the DNS "
                              "answer).",
                              MetricType::Gauge);
    MetricFamily bytes =
        Family("sentrel_node_received_bytes", "Bytes received by the latest answered HTTPD probe.",
               MetricType::Gauge);
    MetricFamily expiry =
        Family("sentrel_node_cert_expiry_timestamp_seconds",
               "When the earliest certificate of an HTTPS node's chain ends (Unix time).",
               MetricType::Gauge);
    MetricFamily failures =
        Family("sentrel_node_consecutive_failures", "Failed probes since the node last answered.",
               MetricType::Gauge);
    MetricFamily probes =
        Family("sentrel_node_probes_total", "Probes of the node by outcome.", MetricType::Counter);
    MetricFamily loss =
        Family("sentrel_node_echo_loss_ratio",
               "Share of the latest PING's echoes not answered (0 to 1).", MetricType::Gauge);
    MetricFamily jitter = Family("sentrel_node_round_trip_jitter_seconds",
                                 "Mean difference between consecutive answered echoes of the "
                                 "latest PING.",
                                 MetricType::Gauge);
    MetricFamily sent = Family("sentrel_node_echoes_sent_total", "PING echoes sent to the node.",
                               MetricType::Counter);
    MetricFamily received = Family("sentrel_node_echoes_received_total",
                                   "PING echoes the node answered in time.", MetricType::Counter);
    MetricFamily held = Family(
        "sentrel_node_held", "1 while the node's alarms are held, by reason (parent, maintenance).",
        MetricType::Gauge);
    for (const auto& [key, node] : state.nodes) {
        const auto& [index, address, port, type, title] = key;
        const Labels labels{{"address", address},
                            {"node", std::to_string(index)},
                            {"port", port},
                            {"title", title},
                            {"type", type}};
        Add(up, labels, node.up ? 1 : 0);
        if (node.hasValue) {
            Add(node.ping ? rtt : bytes, labels, node.value);
        }
        if (node.certExpirySeconds > 0) {
            Add(expiry, labels, node.certExpirySeconds);
        }
        Add(failures, labels, node.failures);
        for (const HoldReason reason : {HoldReason::Parent, HoldReason::Maintenance}) {
            Labels why = labels;
            why.push_back({"reason", HoldReasonName(reason)});
            Add(held, std::move(why), node.held == reason ? 1 : 0);
        }
        if (node.echoesSent > 0) {
            Add(loss, labels, node.lossRatio);
            Add(jitter, labels, node.jitterSeconds);
            Add(sent, labels, static_cast<double>(node.echoesSent));
            Add(received, labels, static_cast<double>(node.echoesReceived));
        }
        Labels outcome = labels;
        outcome.push_back({"outcome", "failure"});
        Add(probes, outcome, static_cast<double>(node.failed));
        outcome.back().value = "success";
        Add(probes, std::move(outcome), static_cast<double>(node.successes));
    }

    MetricFamily alarms = Family("sentrel_alarms_total", "Alarms raised by channel and outcome.",
                                 MetricType::Counter);
    for (AlarmChannel channel : kChannels) {
        for (bool ok : {false, true}) {
            const auto found = state.alarms.find({channel, ok});
            Add(alarms,
                {{"channel", AlarmChannelName(channel)}, {"outcome", ok ? "sent" : "failed"}},
                found == state.alarms.end() ? 0.0 : static_cast<double>(found->second));
        }
    }

    MetricFamily alarmsHeld =
        Family("sentrel_alarms_held_total",
               "Alarms that were due and held back (parent, maintenance).", MetricType::Counter);
    Add(alarmsHeld, {}, static_cast<double>(state.alarmsHeld));

    MetricFamily monitoring =
        Family("sentrel_monitoring", "1 while monitoring is switched on.", MetricType::Gauge);
    Add(monitoring, {}, state.monitoring ? 1 : 0);
    MetricFamily start = Family("sentrel_last_pass_start_timestamp_seconds",
                                "When the latest pass started (Unix time).", MetricType::Gauge);
    Add(start, {}, state.passStartSeconds);
    MetricFamily duration = Family("sentrel_last_pass_duration_seconds",
                                   "How long the latest whole pass took.", MetricType::Gauge);
    Add(duration, {}, state.passSeconds);

    std::vector<MetricFamily> families;
    for (MetricFamily* family :
         {&up, &rtt, &bytes, &expiry, &failures, &held, &probes, &loss, &jitter, &sent, &received,
          &alarms, &alarmsHeld, &monitoring, &start, &duration}) {
        // The echo families only once a PING node has sent echoes; the expiry
        // only once an HTTPS node has shown its certificates.
        const bool echo = family == &loss || family == &jitter || family == &sent ||
                          family == &received || family == &expiry;
        if (!echo || !family->metric.empty()) {
            families.push_back(std::move(*family));
        }
    }
    return families;
}

}  // namespace sentrel
