// Sentrel: a desktop network monitor. The program is its main window.
#include <QApplication>

#include <cstdio>
#include <cstdlib>

#include "config/node_table.h"
#include "engine/pass_events.h"
#include "engine/scan_pass.h"
#include "history/history_setup.h"
#include "metrics/metrics_endpoint.h"
#include "platform/qt_sound.h"
#include "platform/termination_watch.h"
#include "ui/display_check.h"
#include "ui/monitor_dlg.h"

int main(int argc, char** argv) {
    // Without a display Qt would end the program by an abort: say so and end first.
    if (const std::string message = sentrel::ui::NoDisplayMessage(argc, argv); !message.empty()) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }
    // The application name stays the executable's base name: message captions
    // and window titles use it.
    QApplication app(argc, argv);
    sentrel::SetSoundPlayer(sentrel::MakeQtSoundPlayer());

    int code = 0;
    {
        // Before the window reads its settings, so an AutoStart is counted too.
        std::string message;
        const auto metrics = sentrel::MetricsEndpoint::Start(&message);
        if (!message.empty()) {
            std::fprintf(stderr, "sentrel: %s\n", message.c_str());
        }
        sentrel::ui::CMonitorDlg window;
        if (window.Initialise() == sentrel::ui::CMonitorDlg::StartResult::NoPing) {
            return 0;
        }
        auto history = sentrel::history::StartHistory(sentrel::CurrentSettings());
        if (history && sentrel::MonitorRunning.load() != 0) {
            history->MonitoringChanged(true, sentrel::NowUtcMs());  // switched on at start-up
        }
        sentrel::TerminationWatch termination;
        QObject::connect(&termination, &sentrel::TerminationWatch::terminationRequested, &window,
                         &sentrel::ui::CMonitorDlg::reject);
        QObject::connect(&window, &QDialog::finished, &app, [] { QCoreApplication::exit(0); });
        window.show();
        code = app.exec();
        sentrel::history::StopHistory(history);

        if (sentrel::ScanPassRunning()) {
            // A pass stuck in a launched command or a page was not waited for:
            // end now, without tearing down what that thread may still use.
            std::fflush(nullptr);
            std::_Exit(code);
        }
    }
    return code;
}
