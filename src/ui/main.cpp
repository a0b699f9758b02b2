// Sentrel: a desktop network monitor. The program is its main window.
#include <QApplication>

#include <cstdio>
#include <memory>

#include "engine/ping_probe.h"
#include "platform/operator_voice.h"
#include "platform/qt_sound.h"
#include "platform/window_port.h"
#include "startup/program_run.h"
#include "ui/alarm_notifier.h"
#include "ui/dialogs.h"
#include "ui/display_check.h"
#include "ui/monitor_dlg.h"

int main(int argc, char** argv) {
    using namespace sentrel;
    // Without a display Qt would end the program by an abort: say so and end first.
    if (const std::string message = ui::NoDisplayMessage(argc, argv); !message.empty()) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }
    // The application name stays the executable's base name: message captions
    // and window titles use it.
    QApplication app(argc, argv);
    const OperatorVoice say = StderrVoice("sentrel");
    startup::ProgramRun run(
        {.metrics = true, .watchHangup = false, .sound = MakeQtSoundPlayer(), .say = say});
    if (!run.FindPing()) {
        ui::ShowMessageBox(nullptr, QString::fromLatin1(kMsgNoPing), QString::fromLatin1(kAppTitle),
                           MessageIcon::Exclamation, MessageButtons::Ok);
        return run.Finish(0);
    }
    // Desktop notifications and the silence's end at a new outage, for this
    // program only: a listener of its own, which the run lets go at its end.
    ui::DesktopNotifier notifier(say);
    run.Start({std::make_shared<ui::AlarmNotifyListener>(&notifier)});

    ui::CMonitorDlg window(run.Host());
    window.Initialise();
    QObject::connect(&run, &startup::ProgramRun::terminationRequested, &window,
                     &ui::CMonitorDlg::reject);
    QObject::connect(&window, &ui::CMonitorDlg::settingsRead, &run,
                     &startup::ProgramRun::FollowSettings);
    QObject::connect(&window, &QDialog::finished, &app, [] { QCoreApplication::exit(0); });
    window.show();
    return run.Finish(app.exec());  // before the notifier goes
}
