// Start-up when the machine cannot do what the program needs: no ICMP socket
// (a private network namespace where unprivileged echo sockets are off, without
// the raw-socket capability), and no host name (a private UTS namespace with an
// empty name). Both namespaces are entered by this thread only and left again.
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QListWidget>
#include <QPushButton>
#include <QtTest>

#include <memory>

#include "engine/ping_probe.h"
#include "engine/scan_pass.h"
#include "program_test_util.h"
#include "ui/monitor_dlg.h"

using namespace sentrel;
using namespace sentrel::testing;
using sentrel::ui::CMonitorDlg;

namespace {

// This thread's effective capabilities: read, and write back.
struct Caps {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    bool Get() { return ::syscall(SYS_capget, &header, data) == 0; }
    bool Set() { return ::syscall(SYS_capset, &header, data) == 0; }
};

// Enters a fresh namespace of one kind on this thread and returns to the old
// one when destroyed.
class PrivateNamespace {
  public:
    PrivateNamespace(int kind, const char* nsFile) : kind_(kind) {
        old_ = ::open(nsFile, O_RDONLY | O_CLOEXEC);
        entered_ = old_ >= 0 && ::unshare(kind) == 0;
    }
    ~PrivateNamespace() {
        if (entered_) {
            ::setns(old_, kind_);
        }
        if (old_ >= 0) {
            ::close(old_);
        }
    }
    bool entered() const { return entered_; }

  private:
    int kind_;
    int old_ = -1;
    bool entered_ = false;
};

IniText AutoStartSettings() {
    IniText ini;
    ini.Section("General").Key("AutoStart", "1").Key("Secs", "1");
    ini.Section("Servers").Node(0, "127.0.0.1", "", PING, "loopback");
    return ini;
}

}  // namespace

class StartupTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<ConfigHomeGuard> home_;

  private slots:
    void init() {
        ResetProgramState();
        home_ = std::make_unique<ConfigHomeGuard>();
    }
    void cleanup() {
        ResetProgramState();
        home_.reset();
    }

    void withoutAnIcmpSocketTheProgramEndsAndSavesNothing() {
        PrivateNamespace net(CLONE_NEWNET, "/proc/thread-self/ns/net");
        if (!net.entered()) {
            QSKIP("no private network namespace (needs CAP_SYS_ADMIN)");
        }
        Caps caps;
        QVERIFY(caps.Get());
        const Caps saved = caps;
        caps.data[CAP_NET_RAW / 32].effective &= ~(1u << (CAP_NET_RAW % 32));
        QVERIFY(caps.Set());
        const std::string before = AutoStartSettings().str();
        WriteFileBytes(home_->IniPath(), before);
        // Started by root, the ping helper would get its capability back.
        qputenv("SENTREL_PING_HELPER", "/nonexistent/sentrel-ping");

        CMonitorDlg::StartResult result;
        {
            CMonitorDlg dlg;
            ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
            result = dlg.Initialise();
            QCOMPARE(MonitorRunning.load(), 0);
        }
        Caps restore = saved;
        QVERIFY(restore.Set());
        qunsetenv("SENTREL_PING_HELPER");

        QCOMPARE(result, CMonitorDlg::StartResult::NoPing);
        const auto shown = ui::ShownMessagesForTesting();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, QStringLiteral("*ERROR* Missing required file: ICMP.DLL"));
        QCOMPARE(shown[0].caption, QStringLiteral("sentrel"));
        QCOMPARE(shown[0].icon, MessageIcon::Exclamation);
        QCOMPARE(shown[0].buttons, MessageButtons::Ok);
        QCOMPARE(ReadFileBytes(home_->IniPath()), before);
        QVERIFY(!ScanPassRunning());
    }

    void withoutAHostNameTheWindowOpensWithoutSettings() {
        PrivateNamespace uts(CLONE_NEWUTS, "/proc/thread-self/ns/uts");
        if (!uts.entered()) {
            QSKIP("no private UTS namespace (needs CAP_SYS_ADMIN)");
        }
        QVERIFY(::sethostname("", 0) == 0);
        WriteFileBytes(home_->IniPath(), AutoStartSettings().str());

        CMonitorDlg dlg;
        ui::QueueMessageAnswerForTesting(MessageAnswer::Ok);
        QCOMPARE(dlg.Initialise(), CMonitorDlg::StartResult::NoNetwork);
        const auto shown = ui::ShownMessagesForTesting();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text,
                 QStringLiteral("Your System does not appear to be on the network. (required)"));
        QCOMPARE(shown[0].caption, QStringLiteral("sentrel"));

        dlg.show();
        auto* run = Child<QPushButton>(&dlg, "runButton");
        QCOMPARE(run->text(), QStringLiteral("RUN"));  // AutoStart not honoured
        QCOMPARE(Child<QListWidget>(&dlg, "statusList")->count(), 0);

        // RUN switches on, but the unread interval is 0: no pass ever starts.
        QTest::mouseClick(run, Qt::LeftButton);
        QCOMPARE(run->text(), QStringLiteral("STOP"));
        QCOMPARE(MonitorRunning.load(), 1);
        QTest::qWait(300);
        QVERIFY(!ScanPassRunning());
        QVERIFY(GetLastScanText().empty());
        dlg.reject();
        QCOMPARE(SectionKeys(ReadFileBytes(home_->IniPath()), "Screen").size(), std::size_t{4});
    }
};

QTEST_MAIN(StartupTest)
#include "test_main_window_startup.moc"
