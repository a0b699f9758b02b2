// The store on a real SQLite file: order, gaps, retention, two writers, and the
// faults that must turn history off while the passes and the log go on.
#include <fcntl.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "config/node_table.h"
#include "engine/pass_host.h"
#include "engine/scan_pass.h"
#include "history/history_export.h"
#include "history/history_math.h"
#include "history_test_util.h"

namespace sentrel::history {
namespace {

NodeSeries ReadAll(const std::string& path) {
    HistoryStore store;
    EXPECT_EQ(store.OpenForReading(path), SQLITE_OK);
    return store.Read(kWeb, 0, INT64_MAX);
}

bool MakeStore(const std::string& path) {
    HistoryWriter w({path});
    w.ProbeDone(Probe(NowUtcMs(), 1));
    w.Flush();
    return w.Enabled();
}

TEST(HistoryStore, KeepsResultsInOrderAndKnowsWhenTheNodeWasNotWatched) {
    TempDir dir;
    const std::int64_t t0 = NowUtcMs() - 10 * kMinuteMs;
    {
        HistoryWriter other({dir.file});  // another program, watching another node all along
        ProbeEvent elsewhere = Probe(t0 + 3 * kMinuteMs, 7);
        elsewhere.port = "9090";
        other.MonitoringChanged(true, t0);
        other.ProbeDone(elsewhere);
        other.MonitoringChanged(false, t0 + 10 * kMinuteMs);
        HistoryWriter w({dir.file});
        w.MonitoringChanged(true, t0);
        w.ProbeDone(Probe(t0 + 1000, 12));
        w.PassEnded(t0 + 1100, 0.1);
        w.ProbeDone(Probe(t0 + kMinuteMs, 0, 1));
        w.MonitoringChanged(false, t0 + 2 * kMinuteMs);
        w.MonitoringChanged(true, t0 + 5 * kMinuteMs);
        w.ProbeDone(Probe(t0 + 5 * kMinuteMs + 1000, 0, 2, "renamed"));  // same node
        w.ProbeDone(Probe(t0 + 6 * kMinuteMs, 15));
        w.PassEnded(t0 + 6 * kMinuteMs + 100, 0.1);
        w.Flush();
    }  // no STOP, as after a crash: the last pass ends the stretch
    for (const std::int64_t t : {t0 + 8 * kMinuteMs, t0 + 9 * kMinuteMs}) {
        HistoryWriter once({dir.file});  // sentrel-monitor --once: one pass, no RUN nor STOP
        once.PassStarted(t);
        once.ProbeDone(Probe(t + 500, 0, 1));
        once.PassEnded(t + 900, 1);
    }
    const NodeSeries s = ReadAll(dir.file);
    std::vector<std::pair<int, int>> got;  // value, fails
    for (const Sample& x : s.samples)
        got.emplace_back(x.value, x.failCount);
    EXPECT_EQ(got,
              (std::vector<std::pair<int, int>>{{12, 0}, {0, 1}, {0, 2}, {15, 0}, {0, 1}, {0, 1}}));
    ASSERT_EQ(s.watched.size(), 4u);
    EXPECT_EQ(s.watched[0].toMs, t0 + 2 * kMinuteMs);
    EXPECT_EQ(s.watched[1].toMs, t0 + 6 * kMinuteMs + 100);
    EXPECT_EQ(s.watched[3].fromMs, t0 + 9 * kMinuteMs);
    // The failure before STOP and the one after RUN are two outages, not one
    // spanning the time nobody watched; so are those of two --once runs.
    const Outages o = FindOutages(s, 0, INT64_MAX);
    EXPECT_EQ(o.count, 4);
    EXPECT_EQ(o.longestMs, kMinuteMs);
    EXPECT_EQ(o.lastFailureMs, t0 + 9 * kMinuteMs + 500);
}

TEST(HistoryStore, RetentionPrunesOnlyOldRowsInSmallBatches) {
    TempDir dir;
    const std::int64_t now = NowUtcMs();
    HistoryWriter w({dir.file, 30, 1000, 20000, 2});  // prunes two results at a time
    for (const double days : {45.0, 40.0, 31.0, 30.01, 29.99, 10.0, 0.0})
        w.ProbeDone(Probe(now - static_cast<std::int64_t>(days * kDay), 10));
    for (int write = 0; write < 4; ++write) {  // each write lets one more batch go
        w.PassEnded(now, 0);
        w.Flush();
    }
    const NodeSeries s = ReadAll(dir.file);
    ASSERT_EQ(s.samples.size(), 3u);
    EXPECT_EQ(s.samples[0].timeMs, now - static_cast<std::int64_t>(29.99 * kDay));
    HistoryWriter ahead({dir.file, 30, 1000, 20000, 2, [] { return NowUtcMs() + 365 * kDay; }});
    ahead.PassEnded(now, 0);  // a clock a year ahead finds nothing old
    ahead.Flush();
    EXPECT_EQ(ReadAll(dir.file).samples.size(), 3u);
}

TEST(HistoryStore, TwoWritersOnOneFileKeepEverything) {
    TempDir dir;
    const std::int64_t t0 = NowUtcMs() - kDay;
    HistoryWriter a({dir.file}), b({dir.file});
    auto feed = [&](HistoryWriter& w, int parity) {
        for (int i = 0; i < 300; ++i) {
            w.ProbeDone(Probe(t0 + 2 * i + parity, 5 + i));
            w.PassEnded(t0, 0);  // a transaction each, interleaved with the other writer's
        }
        w.Flush();
    };
    std::thread second([&] { feed(b, 1); });
    feed(a, 0);
    second.join();
    const NodeSeries s = ReadAll(dir.file);
    ASSERT_EQ(s.samples.size(), 600u);
    for (std::size_t i = 0; i < s.samples.size(); ++i)
        EXPECT_EQ(s.samples[i].timeMs, t0 + static_cast<std::int64_t>(i));
}

TEST(HistoryStore, CorruptFileIsMovedAsideAndANewOneStarted) {
    TempDir dir;
    const std::string garbage(8192, 'x');
    std::ofstream(dir.file) << garbage;
    EXPECT_TRUE(MakeStore(dir.file));
    std::vector<std::string> aside;  // the bytes of each file moved aside
    for (const auto& entry : std::filesystem::directory_iterator(dir.path))
        if (entry.path().filename().string().rfind("h.sqlite.corrupt-", 0) == 0)
            aside.push_back(testing::ReadFile(entry.path()));
    EXPECT_EQ(aside, std::vector{garbage});
    EXPECT_EQ(ReadAll(dir.file).samples.size(), 1u);
}

TEST(HistoryStore, AFileOfTheFirstSchemaIsBroughtUpToDateWithItsHistory) {
    TempDir dir;
    Database old;
    old.Open(dir.file, false, 0);
    ASSERT_EQ(old.Exec("CREATE TABLE node(id INTEGER PRIMARY KEY, address TEXT, port TEXT,"
                       " probe_type INTEGER, title TEXT, UNIQUE(address, port, probe_type, title));"
                       "CREATE TABLE result(node_id INTEGER, time_ms INTEGER, value INTEGER,"
                       " fail_count INTEGER, PRIMARY KEY(node_id, time_ms)) WITHOUT ROWID;"
                       "CREATE TABLE session(id INTEGER PRIMARY KEY, pid INTEGER, start_ms INTEGER,"
                       " last_ms INTEGER, end_ms INTEGER); PRAGMA user_version=1;"
                       "INSERT INTO node VALUES(1, '127.0.0.1', '8080', 0, 'web');"
                       "INSERT INTO result VALUES(1, 1000, 5, 0); INSERT INTO session VALUES(1, 0, "
                       "0, 0, 2000);"),
              SQLITE_OK);
    old.Close();
    HistoryWriter({dir.file, 0}).ProbeDone(Probe(4000, 6));  // no pruning
    const NodeSeries s = ReadAll(dir.file);  // the old row kept, the new one with its figures
    ASSERT_EQ(s.samples.size(), 2u);
    EXPECT_EQ(s.samples[0].value, 5);
    ASSERT_EQ(s.watched.size(), 1u);  // the old session counts for every node
    EXPECT_EQ(s.watched[0].toMs, 2000);
}

// A version-2 file (this one with its echo columns dropped) keeps its rows and gains the
// figures in one transaction: a step that fails half-way leaves it at version 2. The export says
// what each row said, to the microsecond. A file of a later version is left untouched.
TEST(HistoryStore, EchoFiguresMigrateWholeOrNotAndALaterVersionIsLeftAlone) {
    TempDir dir;
    const auto write = [&](const ProbeEvent& e) {
        HistoryWriter w({dir.file, 0});
        w.ProbeDone(e);
        w.Flush();
        return w.Enabled();
    };
    const auto columns = [&](const char* sql) {
        Database db;
        db.Open(dir.file, false, 0);
        EXPECT_EQ(db.Exec(sql), SQLITE_OK) << sql;
        return db.QueryInt("SELECT count(*) FROM pragma_table_info('result') WHERE name='sent'", 9);
    };
    ProbeEvent round = Probe(5000, 20);
    round.echoes = FiguresOfRound({10250, -1, 30001});
    ProbeEvent loss = Probe(6000, 0, 1), slow = Probe(7000, 0, 2);
    loss.echoes = slow.echoes = round.echoes;
    loss.statusText = "*ERROR* Loss: 33 %.";
    slow.statusText = "*ERROR* Slow: 20 ms.";
    ASSERT_TRUE(write(Probe(1000, 5)));
    columns(
        "ALTER TABLE result DROP COLUMN sent; ALTER TABLE result DROP COLUMN received;"
        "ALTER TABLE result DROP COLUMN min_us; ALTER TABLE result DROP COLUMN median_us;"
        "ALTER TABLE result DROP COLUMN max_us; ALTER TABLE result DROP COLUMN failure;"
        "ALTER TABLE result DROP COLUMN held; ALTER TABLE result DROP COLUMN status;"
        "PRAGMA user_version=2;");
    EXPECT_FALSE(write(round));  // jitter_us is there already: the step fails
    EXPECT_EQ(columns("ALTER TABLE result DROP COLUMN jitter_us"), 0);
    EXPECT_TRUE(write(round) && write(loss) && write(slow));
    const NodeSeries s = ReadAll(dir.file);  // the old row kept, the new ones with their figures
    ASSERT_EQ(s.samples.size(), 4u);
    EXPECT_EQ(std::tuple(s.samples[0].value, s.samples[0].echoes, s.samples[1].echoes),
              std::tuple(5, EchoFigures{}, round.echoes));
    ASSERT_EQ(ExportCsv(dir.path + "/e.csv", {"127.0.0.1", "", 1}, s.samples, 0, INT64_MAX), 0);
    const std::string csv = testing::ReadFile(dir.path + "/e.csv");
    EXPECT_NE(csv.find(",5,\"PING: 5 ms. \",,,,,,,\n"), std::string::npos) << csv;
    const std::string figures = ",3,2,33,10.250,20.125,30.001,19.751\n";
    EXPECT_NE(csv.find(",20,\"PING: 20 ms. \"" + figures), std::string::npos) << csv;
    EXPECT_NE(csv.find(",0,\"*ERROR* Loss: 33 %.\"" + figures), std::string::npos) << csv;
    EXPECT_TRUE(csv.ends_with(",0,\"*ERROR* Slow: 20 ms.\"" + figures)) << csv;
    const EchoSpan span = SpanEchoes(s.samples, 0, INT64_MAX);
    EXPECT_EQ(std::tuple(span.sent, span.received, span.jitterMs), std::tuple(9, 6, 19.751));
    columns("PRAGMA user_version=6");
    const std::string before = testing::ReadFile(dir.file);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(write(Probe(9000, 7)));
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::tuple(testing::ReadFile(dir.file) == before, said.find('\n') + 1),
              std::tuple(true, said.size()))
        << said;
}

// Why a result's alarms were held is kept whether its pass is still queued or
// stored already; uptime counts the results in maintenance apart. A status the
// figures cannot give (a kind's own cause) is kept as the row showed it.
TEST(HistoryStore, HeldResultsKeepWhyAndMaintenanceCountsApart) {
    TempDir dir;
    NodeHeldEvent held;
    held.address = "127.0.0.1", held.port = "8080", held.title = "web";
    HistoryWriter w({dir.file, 0});
    for (const auto& [time, reason] : {std::pair{1000, HoldReason::Maintenance},
                                       {2000, HoldReason::Parent},
                                       {3000, HoldReason::None}}) {
        ProbeEvent probe = Probe(time, 0, time / 1000);
        probe.statusText =
            time == 3000 ? "*ERROR* HTTP 503." : "*ERROR* count: " + std::to_string(time / 1000);
        w.ProbeDone(probe);
        if (time == 2000)
            w.Flush();  // stored before its hold is known
        held.reason = reason;
        if (reason != HoldReason::None)
            w.NodeHeld(held);
    }
    w.Flush();
    const NodeSeries s = ReadAll(dir.file);
    ASSERT_EQ(s.samples.size(), 3u);
    EXPECT_EQ(std::tuple(s.samples[0].held, s.samples[1].held, s.samples[2].held),
              std::tuple(2, 1, 0));
    EXPECT_EQ(std::tuple(s.samples[0].text, StatusTextOf(s.samples[2], HTTPD)),
              std::tuple("", "*ERROR* HTTP 503."));
    const Uptime u = CountUptime(s.samples, 0, INT64_MAX);
    EXPECT_EQ(std::tuple(u.passes, u.answered, u.maintenance), std::tuple(2, 0, 1));
    HistoryStore store;
    ASSERT_EQ(store.OpenForReading(dir.file), SQLITE_OK);
    const auto [counted, up] = store.CountAnswered(kWeb, 0, INT64_MAX);
    EXPECT_EQ(std::tuple(counted, up), std::tuple(2, 0));
}

// Each fault is prepared in a child process (mounts, a lock holder, another
// user), which then runs two real passes with history on: the log must get its
// lines, history must go off with exactly one line on standard error.
using Fault = std::pair<const char*, bool (*)(const std::string& dir, std::string* path)>;
FILE* lockHolder = nullptr;  // the sqlite3 program holding the lock, in the child

bool HoldWriteLock(const std::string& dir, std::string* path) {
    *path = dir + "/h.sqlite";
    MakeStore(*path);
    lockHolder = popen(("sqlite3 " + *path).c_str(), "w");
    std::fputs("BEGIN IMMEDIATE;\nINSERT INTO session(pid, start_ms, last_ms) VALUES(0, 0, 0);\n",
               lockHolder);
    std::fflush(lockHolder);
    Database probe;
    probe.Open(*path, false, 0);
    for (int i = 0; i < 500 && probe.Exec("BEGIN IMMEDIATE; ROLLBACK;") == SQLITE_OK; ++i)
        usleep(10'000);
    return probe.Exec("BEGIN IMMEDIATE") == SQLITE_BUSY;
}

bool ReadOnlyFolder(const std::string& dir, std::string* path) {
    *path = dir + "/ro/h.sqlite";
    return chmod(dir.c_str(), 0755) == 0 && mkdir((dir + "/ro").c_str(), 0555) == 0 &&
           (geteuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0));
}

bool FullDisk(const std::string& dir, std::string* path) {
    const std::string disk = dir + "/disk";
    *path = disk + "/h.sqlite";
    if (mkdir(disk.c_str(), 0755) != 0 || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=256k") != 0)
        return false;
    static Database open;  // keeps -wal and -shm, so the disk fills while writing
    MakeStore(*path);
    open.Open(*path, false, 0);
    open.QueryInt("SELECT 1 FROM node", 0);
    std::ofstream filler(disk + "/filler", std::ios::binary);
    const std::string block(4096, 'f');
    while (filler.write(block.data(), block.size()) && filler.flush()) {
    }
    return true;
}

int PassesWithHistory(const std::string& path, const std::string& logDir) {
    MonitorSettings settings;
    settings.MAXSecs = "1", settings.Log_Flag = true, settings.Log_File_Name = logDir + "/l";
    settings.NodeList[0] = {"127.0.0.1", "1", "closed", HTTPD};  // refused at once
    testing::ResetEngine();
    NodeTable::Instance().SetNode(0, settings.NodeList[0]);
    SetCurrentSettings(settings);
    WriterOptions options{path, 30, 300};
    options.say = StderrVoice("sentrel");
    auto writer = std::make_shared<HistoryWriter>(options);
    PassHost host;
    host.Add(writer);
    host.MonitoringChanged(true, NowUtcMs());
    for (int pass = 0; pass < 2; ++pass, writer->Flush())
        ScanCycle(host);
    host.MonitoringChanged(false, NowUtcMs());
    writer->Flush();
    return LinesWith(settings.Log_File_Name, "*ERROR* count:") != 2 ? 2 : writer->Enabled() ? 3 : 0;
}

TEST(HistoryStore, FaultsTurnHistoryOffAndLeaveThePassAlone) {
    const Fault faults[] = {
        {"locked", HoldWriteLock}, {"read-only", ReadOnlyFolder}, {"full", FullDisk}};
    std::string notRun;
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.first);
        TempDir dir;
        const std::string logDir = dir.path + "/log", errors = dir.path + "/stderr";
        mkdir(logDir.c_str(), 0777);
        chmod(logDir.c_str(), 0777);
        const pid_t child = fork();
        if (child == 0) {
            dup2(open(errors.c_str(), O_WRONLY | O_CREAT, 0644), 2);
            std::string path;
            const int code = fault.second(dir.path, &path) ? PassesWithHistory(path, logDir) : 77;
            std::fflush(stderr);
            _exit(lockHolder != nullptr && pclose(lockHolder) != 0 ? 4 : code);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 77 && geteuid() != 0) {
            notRun += std::string(" ") + fault.first;
            continue;
        }
        EXPECT_EQ(WEXITSTATUS(status), 0) << testing::ReadFile(errors);
        EXPECT_EQ(LinesWith(errors, "history off"), 1) << testing::ReadFile(errors);
    }
    if (!notRun.empty())
        GTEST_SKIP() << "mounts and another user need root (as in CI); not run:" << notRun;
}

// Median and 95th percentile: ranks ceil(n/2), ceil(0.95n) of the answered values in the span.
TEST(HistoryMath, MedianAndP95AreTheNearestRanksOfTheAnsweredValues) {
    for (const auto& [values, median, p95] : std::vector<std::tuple<std::vector<int>, int, int>>{
             {{7}, 7, 7},
             {{40, 10, 30, 20}, 20, 40},
             {{50, 0, 10, 40, 20, 30}, 30, 50},
             {{20, 3, 17, 1, 12, 6, 19, 9, 14, 2, 11, 16, 5, 8, 18, 4, 13, 10, 15, 7}, 10, 19}}) {
        std::vector<Sample> samples{{0, 999, 0}};  // before the span
        for (const int v : values)
            samples.push_back({static_cast<std::int64_t>(samples.size()), v, v > 0 ? 0 : 1});
        const Spread s = ValueSpread(samples, 1, 100);
        EXPECT_EQ(std::tuple(s.any, s.median, s.p95), std::tuple(true, median, p95))
            << ::testing::PrintToString(values);
    }
    EXPECT_FALSE(ValueSpread({{1, 0, 1}}, 0, 100).any);  // failures only: shown as "-"
}

}  // namespace
}  // namespace sentrel::history
