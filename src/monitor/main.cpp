// sentrel-monitor: the monitor without a window, for servers and schedulers.
#include <QCoreApplication>
#include <QFileInfo>

#include <sysexits.h>
#include <cstdio>
#include <ctime>

#include "config/hold_file.h"
#include "config/profile_file.h"
#include "config/settings.h"
#include "engine/ping_probe.h"
#include "monitor/console_output.h"
#include "monitor/headless_monitor.h"
#include "monitor/monitor_args.h"
#include "platform/server_sound.h"
#include "platform/window_port.h"
#include "startup/program_run.h"

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

// --hold: writes or removes the hold file beside the settings file, which the
// running monitors read at their next pass.
int HoldAlarms(const std::string& hold) {
    std::string why;
    if (hold == "off" ? EndHoldFile(&why)
                      : WriteHoldFile(std::time(nullptr) + ParseHoldDuration(hold), &why)) {
        const std::time_t until = ReadHoldFile();
        std::printf("%s\n", until > 0 ? ("every alarm held until " + HoldText(until)).c_str()
                                      : "no alarm held by --hold");
        return 0;
    }
    SayLine(why);
    return EX_CANTCREAT;
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
    if (!args.hold.empty()) {
        return HoldAlarms(args.hold);
    }
    startup::ProgramRun run({.metrics = !args.once,
                             .webhook = !args.once || args.alarms,
                             .watchHangup = !args.once,
                             .alarms = !args.once || args.alarms,
                             .sound = MakeServerSoundPlayer(),
                             .say = SayLine});
    if (!run.FindPing()) {
        SayLine(kMsgNoPing);
        return run.Finish(EX_UNAVAILABLE);
    }
    ConsoleWindow window;
    SetMainWindowHandle(&window);
    HeadlessMonitor monitor(args, &run);
    run.Start({monitor.Lines()});
    if ((!args.once || args.alarms) && CurrentSettings().Audio_Flag && !SoundServerAnswers()) {
        SetSoundPlayer(nullptr);
        SayLine("no sound server answers: alarm sounds are skipped");
    }
    const int code = run.Finish(monitor.Run());
    SetMainWindowHandle(nullptr);
    return code;
}
