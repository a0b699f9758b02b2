// Memory of the running program: the main window shown offscreen with 100 HTTPD
// nodes answered by a local server, passes started back to back through the
// scheduler; resident size after 10 and after 1,000 passes (goals: 60 MB or
// less, growth 1 MB or less). Gives up after about 170 seconds.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bench_util.h"
#include "config/node_table.h"
#include "engine/pass_host.h"
#include "engine/scan_pass.h"
#include "ui/monitor_dlg.h"

namespace {

constexpr int kNodes = 100;
constexpr int kEarly = 10;
constexpr int kLate = 1000;
constexpr qint64 kLimitMs = 170000;

long ResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
        status.ignore(1 << 16, '\n');
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QTemporaryDir home;
    setenv("XDG_CONFIG_HOME", home.path().toLocal8Bit().constData(), 1);
    QApplication app(argc, argv);

    const std::string answer = std::string(512, 'x');
    std::atomic<int> connections{0};
    sentrel::bench::LoopbackServer server(128, [&](int c) {
        ++connections;
        return sentrel::bench::AnswerRequest(c, answer);
    });
    if (server.port() == 0) {
        std::printf("no local server\n");
        return 1;
    }
    QDir().mkpath(home.path() + QStringLiteral("/sentrel"));
    {
        std::ofstream ini((home.path() + QStringLiteral("/sentrel/tarn.ini")).toStdString(),
                          std::ios::binary);
        ini << "[General]\r\nAutoStart=0\r\nSecs=1\r\nMAXSecs=5\r\n[Servers]\r\n";
        for (int i = 0; i < kNodes; ++i) {
            ini << "s" << i << "node=127.0.0.1\r\ns" << i << "port=" << server.port() << "\r\ns"
                << i << "title=node " << i << "\r\ns" << i << "type=0\r\n";
        }
    }

    sentrel::PassHost host;
    sentrel::ui::CMonitorDlg window(host);
    if (window.Initialise() != sentrel::ui::CMonitorDlg::StartResult::Ready) {
        return 2;
    }
    window.show();
    window.OnRunStop();  // RUN: the scheduler's own ticks come every second

    long earlyKb = -1;
    long lateKb = -1;
    QElapsedTimer clock;
    clock.start();
    qint64 earlyMs = 0;
    // Between the scheduler's own ticks, tick it again as soon as a pass is over.
    QTimer driver;
    driver.setInterval(1);
    QObject::connect(&driver, &QTimer::timeout, [&] {
        sentrel::ui::CMonitorDlg& w = window;
        const int passes = w.Scheduler().PassesStarted();
        if (sentrel::ScanBusy.load() == 0 &&
            sentrel::WaitForScanPass(std::chrono::milliseconds(0))) {
            if (passes == kEarly && earlyKb < 0) {
                earlyKb = ResidentKb();
                earlyMs = clock.elapsed();
            }
            if (passes >= kLate) {
                lateKb = ResidentKb();
                QCoreApplication::exit(0);
                return;
            }
            w.Scheduler().OnScanTimer();
        }
        if (clock.elapsed() > kLimitMs) {
            QCoreApplication::exit(1);
        }
    });
    driver.start();
    const int code = app.exec();
    const int passes = window.Scheduler().PassesStarted();
    window.reject();

    std::printf("nodes %d, passes %d in %.1f s (%.1f ms per pass), rows shown %d\n", kNodes, passes,
                clock.elapsed() / 1000.0,
                passes > kEarly ? double(clock.elapsed() - earlyMs) / (passes - kEarly) : 0.0,
                static_cast<int>(sentrel::StatusRows().size()));
    std::printf("RSS after %d passes: %.1f MB\n", kEarly, earlyKb / 1024.0);
    if (code == 0) {
        std::printf("RSS after %d passes: %.1f MB, growth %.2f MB (goals <= 60 MB, <= 1 MB)\n",
                    kLate, lateKb / 1024.0, (lateKb - earlyKb) / 1024.0);
    } else {
        std::printf("stopped at the time limit; RSS now %.1f MB\n", ResidentKb() / 1024.0);
    }
    return code;
}
