// sentrel-monitor: the monitor without a window, for servers and schedulers.
#include <QCoreApplication>
#include <QFileInfo>

#include <sysexits.h>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "config/profile_file.h"
#include "config/settings.h"
#include "config/node_table.h"
#include "engine/ping_probe.h"
#include "engine/scan_pass.h"
#include "platform/window_port.h"
#include "history/history_setup.h"
#include "metrics/metrics_endpoint.h"
#include "monitor/console_output.h"
#include "monitor/headless_monitor.h"
#include "monitor/monitor_args.h"
#include "platform/server_sound.h"

using namespace sentrel;
using namespace sentrel::monitor;

namespace {

// The settings file must be there and readable: a monitor never runs on
// defaults by mistake.
bool SettingsReadable() {
    const std::string path = SettingsFilePath();
    ProfileFile file;
    switch (file.Load(path)) {
        case ProfileFile::LoadResult::Loaded:
            return true;
        case ProfileFile::LoadResult::Missing:
            SayLine("no settings file at " + path);
            return false;
        case ProfileFile::LoadResult::Unreadable:
            break;
    }
    SayLine("cannot read the settings file " + path);
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);

    std::vector<std::string> rest;
    for (int i = 1; i < argc; ++i) {
        rest.emplace_back(argv[i]);
    }
    MonitorArgs args;
    std::string error;
    if (!ParseMonitorArgs(rest, &args, &error)) {
        SayLine(error);
        std::fputs(kUsage, stderr);
        return EX_USAGE;
    }
    if (args.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!args.config.empty()) {
        SetSettingsFilePath(
            QFileInfo(QString::fromStdString(args.config)).absoluteFilePath().toStdString());
    }
    if (!SettingsReadable()) {
        return EX_NOINPUT;
    }
    if (!PingLibraryLoad()) {
        SayLine(kMsgNoPing);
        return EX_UNAVAILABLE;
    }

    ConsoleWindow window;
    SetMainWindowHandle(&window);
    ResetNodeTable();
    LoadSettings();
    SetSoundPlayer(MakeServerSoundPlayer());
    if ((!args.once || args.alarms) && CurrentSettings().Audio_Flag && !SoundServerAnswers()) {
        SetSoundPlayer(nullptr);
        SayLine("no sound server answers: alarm sounds are skipped");
    }

    int code = 0;
    {
        std::unique_ptr<MetricsEndpoint> metrics;
        if (!args.once) {
            std::string message;
            metrics = MetricsEndpoint::Start(&message);
            if (!message.empty()) {
                SayLine(message);
            }
        }
        // The history store listens before the monitor starts, so it sees the
        // first pass and the start of monitoring.
        auto history = history::StartHistory(CurrentSettings());
        HeadlessMonitor monitor(args, &window);
        code = monitor.Run();
        history::StopHistory(history);
        if (ScanPassRunning()) {
            // A pass stuck in a launched command or a page was not waited for:
            // end now, without tearing down what that thread may still use.
            std::fflush(nullptr);
            std::_Exit(code);
        }
    }
    SetMainWindowHandle(nullptr);
    PingLibraryRelease();
    return code;
}
