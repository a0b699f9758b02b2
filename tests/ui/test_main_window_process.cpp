// The real executable, started the way an operator's session would start it
// (offscreen, its own config folder): SIGTERM and SIGINT close it the orderly
// way, during a pass and while a pass is stuck in a launched command.
#include <signal.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <memory>
#include <set>

#include "program_test_util.h"
#include "support/http_answer_server.h"
#include "support/tcp_peer.h"

using namespace sentrel;
using namespace sentrel::testing;

namespace {

// Every process below `pid`, found through /proc.
std::set<qint64> Descendants(qint64 pid) {
    std::set<qint64> found;
    std::vector<qint64> todo{pid};
    while (!todo.empty()) {
        const qint64 p = todo.back();
        todo.pop_back();
        const QDir tasks(QStringLiteral("/proc/%1/task").arg(p));
        for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile children(tasks.filePath(tid + QStringLiteral("/children")));
            if (!children.open(QIODevice::ReadOnly)) {
                continue;
            }
            for (const QByteArray& c : children.readAll().split(' ')) {
                bool ok = false;
                const qint64 child = c.trimmed().toLongLong(&ok);
                if (ok && found.insert(child).second) {
                    todo.push_back(child);
                }
            }
        }
    }
    return found;
}

}  // namespace

class ProcessTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<TempDir> home_;
    std::unique_ptr<QProcess> process_;

    std::string IniPath() const { return home_->path() + "/sentrel/tarn.ini"; }

    void Launch(const IniText& ini) {
        WriteFileBytes(IniPath(), ini.str());
        process_ = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), QString::fromStdString(home_->path()));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process_->setProcessEnvironment(env);
        process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_->start(QStringLiteral(SENTREL_EXE), QStringList());
        QVERIFY(process_->waitForStarted(5000));
    }
    void Signal(int sig) { ::kill(static_cast<pid_t>(process_->processId()), sig); }

  private slots:
    void init() { home_ = std::make_unique<TempDir>(); }
    void cleanup() {
        if (process_ && process_->state() != QProcess::NotRunning) {
            process_->kill();
            process_->waitForFinished(5000);
        }
        process_.reset();
        home_.reset();
    }

    void sigtermDuringAPassEndsItAfterItsNodeAndSavesOnlyThePlacement() {
        TcpPeer peer(TcpPeer::Behaviour::Silent);
        const std::string port = std::to_string(peer.port());
        IniText ini = SlowPassIni(port);
        ini.Section("Reports").Key("Log_Flag", "1").Key("Log_File_Name", home_->File("x.log"));
        ini.Section("Alerts").Key("Num_Fails", "1").Key("Max_Alarms", "3");
        Launch(ini);
        QVERIFY(peer.WaitForAccepted(1, std::chrono::seconds(10)));

        QElapsedTimer clock;
        clock.start();
        Signal(SIGTERM);
        QVERIFY(process_->waitForFinished(8000));
        QCOMPARE(process_->exitStatus(), QProcess::NormalExit);
        QCOMPARE(process_->exitCode(), 0);
        QVERIFY(clock.elapsed() < 5000);
        QTest::qWait(300);
        QCOMPARE(peer.accepted(), 1);  // no node after the one in progress

        // The node in progress was finished: its failure is in the log.
        const std::string log = ReadFileBytes(home_->File("x.log"));
        QVERIFY(log.find("*ERROR* count: 1") != std::string::npos);
        const std::string after = ReadFileBytes(IniPath());
        QCOMPARE(LinesWithoutScreen(after), LinesWithoutScreen(ini.str()));
        const auto screen = SectionKeys(after, "Screen");
        QCOMPARE(screen.size(), std::size_t{4});
        QVERIFY(std::stoi(screen.at("WIDTH")) > 0 && std::stoi(screen.at("HEIGHT")) > 0);
    }

    void sigintWhileIdleClosesTheSameWay() {
        IniText ini;
        ini.Section("General").Key("AutoStart", "0").Key("Secs", "60");
        Launch(ini);
        QTest::qWait(700);  // let it reach its event loop
        Signal(SIGINT);
        QVERIFY(process_->waitForFinished(5000));
        QCOMPARE(process_->exitStatus(), QProcess::NormalExit);
        QCOMPARE(process_->exitCode(), 0);
        QCOMPARE(SectionKeys(ReadFileBytes(IniPath()), "Screen").size(), std::size_t{4});
    }

    void aPassStuckInALaunchedCommandIsNotWaitedForLongerThanTenSeconds() {
        const int refused = HttpAnswerServer::RefusedPort();
        IniText ini;
        ini.Section("General").Key("AutoStart", "1").Key("Secs", "60").Key("MAXSecs", "2");
        ini.Section("Servers").Node(0, "127.0.0.1", std::to_string(refused), HTTPD, "closed");
        ini.Section("Alerts").Key("Num_Fails", "1").Key("Max_Alarms", "5");
        ini.Key("Launch_Flag", "1").Key("Command_Line", "sleep 30");
        Launch(ini);
        const qint64 pid = process_->processId();
        QVERIFY(QTest::qWaitFor([&] { return !Descendants(pid).empty(); }, 10000));
        QTest::qWait(200);
        const std::set<qint64> launched = Descendants(pid);

        QElapsedTimer clock;
        clock.start();
        Signal(SIGTERM);
        const bool finished = process_->waitForFinished(16000);
        const qint64 took = clock.elapsed();
        for (qint64 child : launched) {  // the command outlives the program: end it here
            ::kill(static_cast<pid_t>(child), SIGKILL);
        }
        QVERIFY(finished);
        QCOMPARE(process_->exitStatus(), QProcess::NormalExit);
        QCOMPARE(process_->exitCode(), 0);
        QVERIFY2(took >= 9500 && took < 13000, qPrintable(QString::number(took)));
        const std::string after = ReadFileBytes(IniPath());
        QCOMPARE(LinesWithoutScreen(after), LinesWithoutScreen(ini.str()));
        QCOMPARE(SectionKeys(after, "Screen").size(), std::size_t{4});
    }
};

QTEST_GUILESS_MAIN(ProcessTest)
#include "test_main_window_process.moc"
