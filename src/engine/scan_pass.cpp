#include "engine/scan_pass.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "alerts/alarm_dispatch.h"
#include "config/node_table.h"
#include "config/settings.h"
#include "engine/dns_probe.h"
#include "engine/echo_round.h"
#include "engine/httpd_probe.h"
#include "engine/https_probe.h"
#include "engine/ordered_probes.h"
#include "engine/pass_events.h"
#include "engine/pass_host.h"
#include "engine/ping_probe.h"
#include "engine/tcp_probe.h"
#include "platform/net_names.h"
#include "platform/sound.h"
#include "platform/window_port.h"
#include "reporting/log_file.h"
#include "reporting/report_file.h"

namespace sentrel {

namespace {

constexpr std::size_t kTitleMax = 100;

std::string NodeTitle(const std::string& address) {
    const std::size_t room = kTitleMax - std::strlen(kTitleScanningNode);
    return std::string(kTitleScanningNode) + address.substr(0, room);
}

// The address the probes use for slot `index`, kept in the table as text and as
// parsed. Text taken as an address is never looked up: its own literal, "[::1]"
// read as ::1 and an IPv4-mapped address as its IPv4 address; when it is no
// address at all nothing is found and why says what is wrong with it. A name is
// looked up once and its address kept; a lookup that finds nothing is tried
// again next pass.
bool ResolveAddress(NodeTable& table, int index, const NodeSlot& slot, IpAddress* ip,
                    std::string* why) {
    const std::string& address = slot.node.address;
    bool found = false;
    if (IsAddressText(address)) {
        found = ParseNodeAddress(address, ip, why);
    } else if (!slot.status.ipText.empty()) {
        *ip = slot.status.ip;
        return true;
    } else {
        WindowBeginWaitCursor();
        std::string text;
        found = NodeAddressText(address, &text) && ParseIpAddress(text, ip);
        WindowEndWaitCursor();
    }
    if (found) {
        table.SetAddress(index, *ip);
    }
    return found;
}

// What is wrong with a node's address is said once per address text and run,
// not at every pass.
void SayBadAddressOnce(PassHost& host, const std::string& address, const std::string& why) {
    static std::mutex mutex;
    static std::set<std::string> said;
    std::unique_lock lock(mutex);
    if (said.insert(address).second) {
        lock.unlock();
        host.OperatorLine("node " + address + " is not probed: " + why);
    }
}

// A PING probe: a round of `settings.Echoes` (one echo is a round of one), judged
// against the thresholds; to a node not found, a round never sent. Echoes that
// were never sent count neither as sent nor as lost.
RoundVerdict PingNode(const IpAddress* ip, const MonitorSettings& settings, EchoFigures* figures) {
    const PingRound round =
        ip != nullptr ? PingProbeRound(*ip, settings.Echoes) : UnsentRound(settings.Echoes);
    *figures = FiguresOfRound(round.micros);
    return JudgeRound(*figures, EchoThresholds{settings.Loss_Percent, settings.Slow_ms});
}

// A TCP, HTTPS or DNS probe of the node at `ip` (empty: not found, a failure).
ServiceVerdict ProbeService(std::int32_t kind, const std::string& ip, const NodeEntry& node,
                            const MonitorSettings& settings) {
    if (kind == TCP) {
        return TcpProbe(ip, node.port, settings.MAXSecs);
    }
    if (ip.empty()) {
        return {};
    }
    if (kind == HTTPS) {
        return HttpsProbe({node.address, ip, node.port, node.path, node.expect, settings.MAXSecs,
                           settings.Cert_Days});
    }
    return DnsProbe({ip, node.port, node.query, node.qtype, node.expect});
}

void PublishProbe(PassHost& host, int index, const NodeSlot& slot, const ServiceVerdict& verdict,
                  const NodeStatus& status, const EchoFigures& echoes,
                  std::chrono::steady_clock::time_point start) {
    ProbeEvent event;
    event.timeMs = NowUtcMs();
    event.index = index;
    event.address = slot.node.address;
    event.port = slot.node.port;
    event.title = slot.node.title;
    event.probeType = slot.node.probeType;
    event.result = verdict.result;
    event.httpStatus = verdict.httpStatus;
    event.certExpirySeconds = verdict.certExpirySeconds;
    event.failCount = status.failCount;
    event.statusText = status.statusText;
    event.echoes = echoes;
    event.probeSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    host.ProbeDone(event);
}

NodeAlarmEvent AlarmEventFor(int index, const NodeSlot& slot) {
    NodeAlarmEvent event;
    event.timeMs = NowUtcMs();
    event.index = index;
    event.address = slot.node.address;
    event.title = slot.node.title;
    event.statusText = slot.status.statusText;
    event.failCount = slot.status.failCount;
    event.alarmCount = slot.status.alarmCount;
    event.failingSinceMs = slot.status.failingSinceMs;
    return event;
}

// One node's probe: its slot as the pass found it and what the probe found.
struct NodeProbe {
    NodeSlot slot;
    ServiceVerdict verdict;
    EchoFigures echoes;
    std::chrono::steady_clock::time_point start;
    std::string badAddress;  // what is wrong with an address that was not probed
};

// The probe of slot `index` (name lookup included), the part of a node's turn
// that may run beside other nodes' probes.
void ProbeNode(NodeTable& table, int index, const MonitorSettings& settings, NodeProbe& probe) {
    NodeSlot& slot = probe.slot;
    const std::int32_t kind = ProbeKind(slot.node.probeType);
    if (kind == HTTPD && slot.node.port.empty()) {
        table.DefaultPortIfEmpty(index, "80");
        slot.node.port = "80";
    }

    std::string why;
    IpAddress parsed;
    const bool found = ResolveAddress(table, index, slot, &parsed, &why);
    const std::string ip = found ? IpAddressText(parsed) : std::string();
    probe.start = std::chrono::steady_clock::now();
    if (!why.empty()) {
        probe.badAddress = why;
        probe.verdict.failureText = BadAddressStatusText(why);
    } else if (kind == HTTPD) {
        probe.verdict.result = ip.empty() ? 0 : HttpdProbe(ip, slot.node.port, settings.MAXSecs);
    } else if (kind == PING) {
        RoundVerdict round = PingNode(found ? &parsed : nullptr, settings, &probe.echoes);
        probe.verdict.result = round.result;
        probe.verdict.failureText = std::move(round.failureText);
    } else {
        probe.verdict = ProbeService(kind, ip, slot.node, settings);
    }
}

// What a node's probe found, applied, shown, told and written: always on the
// pass's own thread, in table order.
void CommitNode(PassHost& host, NodeTable& table, int index, const MonitorSettings& settings,
                const ReportTarget& report, const NodeProbe& probe) {
    const NodeSlot& slot = probe.slot;
    const std::string& address = slot.node.address;
    const ServiceVerdict& verdict = probe.verdict;
    if (!probe.badAddress.empty()) {
        SayBadAddressOnce(host, address, probe.badAddress);
    }
    const NodeStatus status =
        table.ApplyProbeResult(index, verdict.result, verdict.failureText, verdict.httpStatus);
    PublishProbe(host, index, slot, verdict, status, probe.echoes, probe.start);
    if (slot.status.alarmCount > 0 && !IsFailureStatus(status.statusText)) {
        NodeSlot now = slot;  // the run that alarmed ends here
        now.status.statusText = status.statusText;
        host.NodeRecovered(AlarmEventFor(index, now));
    }

    WindowRedraw();

    if (settings.Log_Flag && (IsFailureStatus(status.statusText) || settings.Success)) {
        WriteLogLine(settings.Log_File_Name, address, status.statusText);
    }
    if (settings.Report_Flag) {
        WriteReportLine(report, address, status.statusText);
    }
}

NodeHeldEvent HeldEventFor(int index, const NodeSlot& slot, bool alarmHeld) {
    NodeHeldEvent event;
    event.timeMs = NowUtcMs();
    event.index = index;
    event.address = slot.node.address;
    event.port = slot.node.port;
    event.title = slot.node.title;
    event.probeType = slot.node.probeType;
    event.reason = slot.status.held;
    event.parent = slot.status.heldBehind;
    event.failing = IsFailureStatus(slot.status.statusText);
    event.alarmHeld = alarmHeld;
    return event;
}

void ProbeSweep(PassHost& host, const MonitorSettings& settings, const ReportTarget& report) {
    NodeTable& table = NodeTable::Instance();
    for (int i = 0; i < kMaxNodes; ++i) {
        NodeProbe probe{table.Get(i), {}, {}, {}, {}};
        if (probe.slot.node.address.empty() || ScanAbort.load() == 1) {
            break;
        }
        WindowSetTitle(NodeTitle(probe.slot.node.address));
        ProbeNode(table, i, settings, probe);
        CommitNode(host, table, i, settings, report, probe);
    }
}

// Echo requests of a parallel pass go out no closer together than this.
constexpr std::chrono::milliseconds kParallelEchoPacing{10};

// The sweep with up to settings.Parallel probes in flight: the same nodes, the
// same commits in the same order as ProbeSweep; only the probes overlap, those
// of nodes failing at the pass's start going first.
void ParallelProbeSweep(PassHost& host, const MonitorSettings& settings,
                        const ReportTarget& report) {
    NodeTable& table = NodeTable::Instance();
    int count = 0;
    while (count < kMaxNodes && !table.Get(count).node.address.empty()) {
        ++count;
    }
    std::vector<NodeProbe> probes(static_cast<std::size_t>(count));
    struct Pacing {
        Pacing() { SetEchoPacing(kParallelEchoPacing); }
        ~Pacing() { SetEchoPacing(std::chrono::milliseconds{0}); }
    } pacing;
    OrderedProbeSteps steps;
    steps.probe = [&](int i) {
        NodeProbe& probe = probes[static_cast<std::size_t>(i)];
        probe.slot = table.Get(i);
        if (probe.slot.node.address.empty()) {
            return false;  // the table changed under the pass
        }
        ProbeNode(table, i, settings, probe);
        return true;
    };
    steps.commit = [&](int i) {
        CommitNode(host, table, i, settings, report, probes[static_cast<std::size_t>(i)]);
    };
    steps.firstPending = [&](int i) { WindowSetTitle(NodeTitle(table.Get(i).node.address)); };
    steps.stop = [] { return ScanAbort.load() == 1; };
    steps.early = [&](int i) { return IsFailureStatus(table.Get(i).status.statusText); };
    RunOrderedProbes(count, settings.Parallel, steps);
}

// The pass thread and its bookkeeping; only ever touched under `mutex`.
struct PassThread {
    std::mutex mutex;
    std::condition_variable ended;
    std::thread thread;
    bool done = true;  // the body of `thread` has returned (or there is none)

    // The program is ending (exit from anywhere, a lost display included). A
    // pass still running is let finish its node rather than cut off inside a log
    // or report write, but the window serves it no more and it is waited for no
    // longer than a close waits: a pass stuck beyond that (a launched command, a
    // page) ends with the process instead of having its objects torn down.
    ~PassThread() {
        if (!thread.joinable()) {
            return;
        }
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();  // the pass itself ended the program
            return;
        }
        ScanAbort.store(1);
        EndWindowService();
        std::unique_lock lock(mutex);
        if (!ended.wait_for(lock, kPassEndLimit, [this] { return done; })) {
            std::fflush(nullptr);
            std::_Exit(EXIT_FAILURE);
        }
        lock.unlock();
        thread.join();
    }
};

PassThread& Pass() {
    static PassThread pass;
    return pass;
}

// Why a pass ended early, as the host keeps it: empty when it did not.
std::string FailureText(const std::exception_ptr& failure) {
    if (!failure) {
        return {};
    }
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        return e.what()[0] != '\0' ? e.what() : "an exception";
    } catch (...) {
        return "an unknown exception";
    }
}

}  // namespace

void ScanCycle(PassHost& host) {
    MonitorSettings settings = CurrentSettings();
    if (!host.Alarms()) {  // the rules still count; nothing goes out
        settings.Audio_Flag = settings.Pager_Flag = settings.Email_Flag = settings.Launch_Flag =
            false;
    }
    ScanBusy = 1;
    const auto passStart = std::chrono::steady_clock::now();
    std::exception_ptr failure;
    try {
        host.PassStarted(NowUtcMs());
        WindowSetTitle(kTitleScanning);

        const ReportTarget report{settings.Report_File_Name, settings.Fmt_Text, settings.Fmt_HTML};
        if (settings.Report_Flag) {
            BeginReport(report);
        }

        if (settings.Parallel > 1) {
            ParallelProbeSweep(host, settings, report);
        } else {
            ProbeSweep(host, settings, report);
        }

        const auto done = [&host](AlarmChannel channel, bool ok) { host.AlarmDone(channel, ok); };
        const bool alarm = AlarmSweep(
            settings, done,
            [&host](int index, const NodeSlot& slot) {
                host.NodeAlarmed(AlarmEventFor(index, slot));
            },
            [&host](int index, const NodeSlot& slot, bool alarmHeld) {
                host.NodeHeld(HeldEventFor(index, slot, alarmHeld));
            },
            [&host](const std::string& line) { host.OperatorLine(line); });
        if (alarm && ScanAbort.load() == 0) {
            PassAlerts(settings, done);
        } else {
            StopSound();
        }
    } catch (...) {
        failure = std::current_exception();
    }
    // However the pass ended, every listener hears of its end (one waiting for
    // it must not wait for ever), and may ask the host why.
    host.SetLastFailure(FailureText(failure));
    try {
        host.PassEnded(
            NowUtcMs(),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - passStart).count());
    } catch (...) {
        if (!failure) {
            failure = std::current_exception();
            host.SetLastFailure(FailureText(failure));
        }
    }
    ScanBusy = 0;
    if (failure) {
        std::rethrow_exception(failure);
    }
    WindowSetTitle(kTitleSleeping);
    WindowRedraw();
}

bool StartScanPass(PassHost& host) {
    PassThread& pass = Pass();
    std::lock_guard lock(pass.mutex);
    if (ScanBusy.load() != 0) {
        return false;
    }
    if (pass.thread.joinable()) {
        // The previous pass clears ScanBusy before its last title and redraw;
        // while it is still sending them, joining here could wait on a thread
        // that waits for us. Such a tick starts nothing, like a busy one.
        if (!pass.done) {
            return false;
        }
        pass.thread.join();
    }
    ScanAbort = 0;
    ScanBusy = 1;
    pass.done = false;
    try {
        pass.thread = std::thread([&host] {
            try {
                ScanCycle(host);
            } catch (...) {
                // A pass that fails on its own must not take the program with it.
                ScanBusy = 0;
            }
            PassThread& p = Pass();
            {
                std::lock_guard endLock(p.mutex);
                p.done = true;
            }
            p.ended.notify_all();
        });
    } catch (const std::exception&) {
        pass.done = true;
        ScanBusy = 0;
        return false;
    }
    return true;
}

bool WaitForScanPass(std::chrono::milliseconds limit) {
    PassThread& pass = Pass();
    std::unique_lock lock(pass.mutex);
    if (!pass.thread.joinable()) {
        return true;
    }
    if (!pass.ended.wait_for(lock, limit, [&pass] { return pass.done; })) {
        return false;
    }
    pass.thread.join();
    return true;
}

bool ScanPassRunning() {
    PassThread& pass = Pass();
    std::lock_guard lock(pass.mutex);
    return pass.thread.joinable();
}

}  // namespace sentrel
