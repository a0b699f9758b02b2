#include "history/history_store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <thread>

#include "config/settings.h"
#include "history/history_math.h"

namespace sentrel::history {

namespace {

constexpr const char* kSchemaV1 =
    "CREATE TABLE IF NOT EXISTS node("
    " id INTEGER PRIMARY KEY, address TEXT NOT NULL, port TEXT NOT NULL,"
    " probe_type INTEGER NOT NULL, title TEXT NOT NULL,"
    " UNIQUE(address, port, probe_type, title));"
    "CREATE TABLE IF NOT EXISTS result("
    " node_id INTEGER NOT NULL, time_ms INTEGER NOT NULL, value INTEGER NOT NULL,"
    " fail_count INTEGER NOT NULL, PRIMARY KEY(node_id, time_ms)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS session("
    " id INTEGER PRIMARY KEY, pid INTEGER NOT NULL, start_ms INTEGER NOT NULL,"
    " last_ms INTEGER NOT NULL, end_ms INTEGER);"
    "CREATE INDEX IF NOT EXISTS session_start ON session(start_ms);";

// Version 1 files keep their rows; their sessions count for every node, as
// they did.
constexpr const char* kSchemaV2 =
    "ALTER TABLE session ADD COLUMN per_node INTEGER NOT NULL DEFAULT 0;"
    "CREATE TABLE session_node(session_id INTEGER NOT NULL, node_id INTEGER NOT NULL,"
    " PRIMARY KEY(session_id, node_id)) WITHOUT ROWID;"
    "CREATE TABLE batch(seq INTEGER PRIMARY KEY AUTOINCREMENT, from_ms INTEGER NOT NULL,"
    " to_ms INTEGER NOT NULL);";

// The figures of a PING probe's echoes; 0 in every result stored before.
constexpr const char* kSchemaV3 =
    "ALTER TABLE result ADD COLUMN sent INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE result ADD COLUMN received INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE result ADD COLUMN min_us INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE result ADD COLUMN median_us INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE result ADD COLUMN max_us INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE result ADD COLUMN jitter_us INTEGER NOT NULL DEFAULT 0;";

// Which text a failed probe showed (FailureText); the count's in every result
// stored before.
constexpr const char* kSchemaV4 =
    "ALTER TABLE result ADD COLUMN failure INTEGER NOT NULL DEFAULT 0;";

// Whether the result's alarms were held (Sample::held), and the row's status text
// where the figures cannot give it (Sample::text); 0 and empty in every result
// stored before.
constexpr const char* kSchemaV5 =
    "ALTER TABLE result ADD COLUMN held INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE result ADD COLUMN status TEXT NOT NULL DEFAULT '';";

// Each step takes the schema from the version before it to its own number.
struct Migration {
    int version;
    const char* sql;
};
constexpr Migration kMigrations[] = {
    {1, kSchemaV1}, {2, kSchemaV2}, {3, kSchemaV3}, {4, kSchemaV4}, {5, kSchemaV5}};

std::string CacheKey(const ProbeRecord& r) {
    std::string key = r.key.address;
    key.append(1, '\x1f').append(r.key.port).append(1, '\x1f');
    key.append(std::to_string(r.key.probeType)).append(1, '\x1f').append(r.title);
    return key;
}

// Switching a new file to WAL needs it to itself for a moment; another program
// opening it at the same time may get it first, without the busy handler.
int UseWal(Database& db, int busyMs) {
    int code = db.Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    for (int waited = 0; (code == SQLITE_BUSY || code == SQLITE_LOCKED) && waited < busyMs;
         waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        code = db.Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    }
    return code;
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

}  // namespace

std::string DamageMarkerPath(const std::string& path) {
    return path + ".damaged";
}

bool MoveAside(const std::string& path) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    const std::string aside = path + ".corrupt-" + stamp;
    if (std::rename(path.c_str(), aside.c_str()) != 0) {
        return false;
    }
    for (const char* suffix : {"-wal", "-shm"}) {
        const std::string companion = path + suffix;
        if (Exists(companion)) {
            std::rename(companion.c_str(), (aside + suffix).c_str());
        }
    }
    return true;
}

int HistoryStore::OpenForWriting(const std::string& path, int busyMs) {
    const std::string marker = DamageMarkerPath(path);
    int code = db_.Open(path, false, busyMs);
    if (code == SQLITE_OK && Exists(marker)) {
        Statement check(db_.Handle(), "PRAGMA quick_check(1)");
        const bool ok = check.Step() == SQLITE_ROW && check.Text(0) == "ok";
        check = Statement();
        code = ok ? SQLITE_OK : SQLITE_CORRUPT;
    }
    if (code == SQLITE_OK) {
        code = UseWal(db_, busyMs);
    }
    if (IsCorruptCode(code) || (code == SQLITE_OK && IsCorruptCode(Prepare()))) {
        db_.Close();
        if (!MoveAside(path)) {
            return SQLITE_CORRUPT;
        }
        code = db_.Open(path, false, busyMs);
        if (code == SQLITE_OK) {
            code = UseWal(db_, busyMs);
        }
        if (code == SQLITE_OK) {
            code = Prepare();
        }
    } else if (code == SQLITE_OK) {
        code = Prepare();
    }
    if (code == SQLITE_OK) {
        std::remove(marker.c_str());
    }
    return code;
}

int HistoryStore::OpenForReading(const std::string& path) {
    if (!Exists(path)) {
        return SQLITE_CANTOPEN;
    }
    int code = db_.Open(path, true, 200);
    if (code == SQLITE_OK && db_.QueryInt("PRAGMA user_version", 0) < kSchemaVersion) {
        db_.Close();
        code = SQLITE_MISMATCH;
    }
    return code;
}

// Brings the schema up to date inside one write transaction (two programs
// starting at once migrate once) and prepares the writer's statements.
int HistoryStore::Prepare() {
    int code = db_.Exec("BEGIN IMMEDIATE");
    if (code != SQLITE_OK) {
        return code;
    }
    const std::int64_t version = db_.QueryInt("PRAGMA user_version", -1);
    if (version < 0 || version > kSchemaVersion) {
        db_.Exec("ROLLBACK");
        return version < 0 ? SQLITE_NOTADB : SQLITE_MISMATCH;
    }
    for (const Migration& m : kMigrations) {
        if (m.version > version && code == SQLITE_OK) {
            code = db_.Exec(m.sql);
            if (code == SQLITE_OK) {
                code = db_.Exec(("PRAGMA user_version=" + std::to_string(m.version)).c_str());
            }
        }
    }
    if (code != SQLITE_OK) {
        db_.Exec("ROLLBACK");
        return code;
    }
    if ((code = db_.Exec("COMMIT")) != SQLITE_OK) {
        db_.Exec("ROLLBACK");
        return code;
    }
    sqlite3* h = db_.Handle();
    insertNode_ = Statement(h,
                            "INSERT OR IGNORE INTO node(address, port, probe_type, title)"
                            " VALUES(?1, ?2, ?3, ?4)");
    findNode_ = Statement(h,
                          "SELECT id FROM node WHERE address=?1 AND port=?2 AND probe_type=?3"
                          " AND title=?4");
    insertResult_ = Statement(h,
                              "INSERT OR IGNORE INTO result(node_id, time_ms, value, fail_count,"
                              " sent, received, min_us, median_us, max_us, jitter_us, failure,"
                              " held, status)"
                              " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)");
    markHeld_ = Statement(h,
                          "UPDATE result SET held=?2 WHERE node_id=?1 AND"
                          " time_ms=(SELECT max(time_ms) FROM result WHERE node_id=?1)");
    touchSession_ = Statement(h, "UPDATE session SET last_ms=max(last_ms, ?2) WHERE id=?1");
    noteNode_ = Statement(h, "INSERT OR IGNORE INTO session_node VALUES(?1, ?2)");
    logBatch_ = Statement(h, "INSERT INTO batch(from_ms, to_ms) VALUES(?1, ?2)");
    for (const Statement* s : {&insertNode_, &findNode_, &insertResult_, &touchSession_, &noteNode_,
                               &logBatch_, &markHeld_}) {
        if (!s->ok()) {
            return s->error();
        }
    }
    return SQLITE_OK;
}

int HistoryStore::BeginSession(std::int64_t timeMs) {
    if (sessionId_ != 0) {
        return SQLITE_OK;
    }
    Statement s(db_.Handle(),
                "INSERT INTO session(pid, start_ms, last_ms, per_node) VALUES(?1, ?2, ?2, 1)");
    const int code = s.Bind(1, static_cast<std::int64_t>(getpid())).Bind(2, timeMs).Run();
    if (code == SQLITE_DONE) {
        sessionId_ = sqlite3_last_insert_rowid(db_.Handle());
        sessionNodes_.clear();
        return SQLITE_OK;
    }
    return code;
}

int HistoryStore::EndSession(std::int64_t timeMs) {
    if (sessionId_ == 0) {
        return SQLITE_OK;
    }
    Statement s(db_.Handle(), "UPDATE session SET end_ms=?2, last_ms=max(last_ms, ?2) WHERE id=?1");
    const int code = s.Bind(1, sessionId_).Bind(2, timeMs).Run();
    sessionId_ = 0;
    sessionNodes_.clear();
    return code == SQLITE_DONE ? SQLITE_OK : code;
}

int HistoryStore::NodeId(const ProbeRecord& record, std::int64_t* id) {
    const std::string cacheKey = CacheKey(record);
    if (auto it = nodeIds_.find(cacheKey); it != nodeIds_.end()) {
        *id = it->second;
        return SQLITE_OK;
    }
    for (Statement* s : {&insertNode_, &findNode_}) {
        s->Bind(1, record.key.address).Bind(2, record.key.port);
        s->Bind(3, std::int64_t{record.key.probeType}).Bind(4, record.title);
    }
    int code = insertNode_.Run();
    if (code != SQLITE_DONE) {
        findNode_.Reset();
        return code;
    }
    code = findNode_.Step();
    if (code == SQLITE_ROW) {
        *id = findNode_.Int(0);
        nodeIds_[cacheKey] = *id;
        code = SQLITE_OK;
    }
    findNode_.Reset();
    return code;
}

int HistoryStore::MarkHeld(const ProbeRecord& record) {
    std::int64_t id = 0;
    int code = NodeId(record, &id);
    if (code == SQLITE_OK) {
        code = markHeld_.Bind(1, id).Bind(2, std::int64_t{record.sample.held}).Run();
    }
    return code == SQLITE_DONE ? SQLITE_OK : code;
}

int HistoryStore::AddResults(const std::vector<ProbeRecord>& records, std::int64_t passEndMs) {
    int code = db_.Exec("BEGIN IMMEDIATE");
    std::int64_t fromMs = INT64_MAX, toMs = INT64_MIN;
    for (std::size_t i = 0; code == SQLITE_OK && i < records.size(); ++i) {
        const ProbeRecord& r = records[i];
        std::int64_t id = 0;
        code = NodeId(r, &id);
        if (code == SQLITE_OK) {
            code = insertResult_.Bind(1, id)
                       .Bind(2, r.sample.timeMs)
                       .Bind(3, r.sample.value)
                       .Bind(4, r.sample.failCount)
                       .Bind(5, r.sample.echoes.sent)
                       .Bind(6, r.sample.echoes.received)
                       .Bind(7, r.sample.echoes.minMicros)
                       .Bind(8, r.sample.echoes.medianMicros)
                       .Bind(9, r.sample.echoes.maxMicros)
                       .Bind(10, r.sample.echoes.jitterMicros)
                       .Bind(11, static_cast<std::int64_t>(r.sample.failure))
                       .Bind(12, std::int64_t{r.sample.held})
                       .Bind(13, r.sample.text)
                       .Run();
            code = code == SQLITE_DONE ? SQLITE_OK : code;
            fromMs = std::min(fromMs, r.sample.timeMs), toMs = std::max(toMs, r.sample.timeMs + 1);
        }
        if (code == SQLITE_OK && sessionId_ != 0 && sessionNodes_.insert(id).second) {
            code = noteNode_.Bind(1, sessionId_).Bind(2, id).Run();
            code = code == SQLITE_DONE ? SQLITE_OK : code;
        }
    }
    if (code == SQLITE_OK && !records.empty()) {
        // The log keeps the latest batches: enough for a reader that follows the file.
        code = logBatch_.Bind(1, fromMs).Bind(2, toMs).Run();
        code = code == SQLITE_DONE
                   ? db_.Exec("DELETE FROM batch WHERE seq <= last_insert_rowid() - 1000")
                   : code;
    }
    if (code == SQLITE_OK && passEndMs != 0 && sessionId_ != 0) {
        code = touchSession_.Bind(1, sessionId_).Bind(2, passEndMs).Run();
        code = code == SQLITE_DONE ? SQLITE_OK : code;
    }
    if (code == SQLITE_OK) {
        code = db_.Exec("COMMIT");
    }
    if (code != SQLITE_OK) {
        db_.Exec("ROLLBACK");
        nodeIds_.clear();  // ids inserted by the rolled-back transaction are gone
        sessionNodes_.clear();
    }
    return code;
}

int HistoryStore::Prune(std::int64_t cutoffMs, int limit) {
    int code = db_.Exec("BEGIN IMMEDIATE");
    if (code != SQLITE_OK) {
        return -code;
    }
    // Per node, along the primary key: never a scan of the whole table.
    Statement nodes(db_.Handle(), "SELECT id FROM node ORDER BY id");
    Statement del(db_.Handle(),
                  "DELETE FROM result WHERE node_id=?1 AND time_ms < coalesce((SELECT time_ms"
                  " FROM result WHERE node_id=?1 AND time_ms<?2 ORDER BY time_ms LIMIT 1"
                  " OFFSET ?3), ?2)");
    int removed = 0;
    code = SQLITE_DONE;
    while (code == SQLITE_DONE && removed < limit && nodes.Step() == SQLITE_ROW) {
        code = del.Bind(1, nodes.Int(0)).Bind(2, cutoffMs).Bind(3, limit - removed).Run();
        removed += sqlite3_changes(db_.Handle());
    }
    nodes.Reset();
    if (code == SQLITE_DONE) {
        Statement sessions(db_.Handle(),
                           "DELETE FROM session WHERE coalesce(end_ms, last_ms) < ?1 AND id<>?2");
        code = sessions.Bind(1, cutoffMs).Bind(2, sessionId_).Run();
    }
    if (code == SQLITE_DONE) {
        code =
            db_.Exec("DELETE FROM session_node WHERE session_id NOT IN (SELECT id FROM session)");
        code = code == SQLITE_OK ? SQLITE_DONE : code;
    }
    code = code == SQLITE_DONE ? db_.Exec("COMMIT") : code;
    if (code != SQLITE_OK) {
        db_.Exec("ROLLBACK");
        return -code;
    }
    return removed;
}

std::int64_t HistoryStore::NewestResultMs() {
    // Per node along the primary key: never a scan of the whole table.
    return db_.QueryInt(
        "SELECT coalesce(max((SELECT max(time_ms) FROM result"
        " WHERE node_id=node.id)), 0) FROM node",
        0);
}

std::vector<std::int64_t> HistoryStore::NodeIds(const NodeKey& key) {
    Statement s(db_.Handle(), "SELECT id FROM node WHERE address=?1 AND port=?2 AND probe_type=?3");
    s.Bind(1, key.address).Bind(2, key.port).Bind(3, std::int64_t{key.probeType});
    std::vector<std::int64_t> ids;
    while (s.Step() == SQLITE_ROW) {
        ids.push_back(s.Int(0));
    }
    return ids;
}

namespace {

// Adds the rows' samples in time order; a time already held is not added twice.
void AddSamples(Statement& rows, std::vector<Sample>& into) {
    const auto byTime = [](const Sample& a, const Sample& b) { return a.timeMs < b.timeMs; };
    const auto held = static_cast<std::ptrdiff_t>(into.size());
    while (rows.Step() == SQLITE_ROW) {
        const auto int32 = [&](int column) { return static_cast<std::int32_t>(rows.Int(column)); };
        const std::int64_t failure = rows.Int(9);  // a number this version does not know: the count
        const Sample s{
            rows.Int(0),
            int32(1),
            int32(2),
            EchoFigures{int32(3), int32(4), rows.Int(5), rows.Int(6), rows.Int(7), rows.Int(8)},
            failure == 1 || failure == 2 ? static_cast<FailureText>(failure) : FailureText::Count,
            static_cast<std::uint8_t>(rows.Int(10)),
            rows.Text(11)};
        if (!std::binary_search(into.begin(), into.begin() + held, s, byTime)) {
            into.push_back(s);
        }
    }
    rows.Reset();
    std::sort(into.begin() + held, into.end(), byTime);
    std::inplace_merge(into.begin(), into.begin() + held, into.end(), byTime);
}

}  // namespace

// The stretches of the sessions that watched the node.
std::vector<Watched> HistoryStore::WatchedStretches(const NodeKey& key, std::int64_t fromMs,
                                                    std::int64_t toMs) {
    Statement sessions(db_.Handle(),
                       "SELECT start_ms, coalesce(end_ms, last_ms) AS stop FROM session"
                       " WHERE start_ms<?2 AND stop>=?1 AND (per_node=0 OR id IN"
                       " (SELECT session_id FROM session_node JOIN node ON node.id=node_id"
                       "  WHERE address=?3 AND port=?4 AND probe_type=?5)) ORDER BY start_ms");
    sessions.Bind(1, fromMs).Bind(2, toMs).Bind(3, key.address).Bind(4, key.port);
    sessions.Bind(5, std::int64_t{key.probeType});
    std::vector<Watched> stretches;
    while (sessions.Step() == SQLITE_ROW) {
        stretches.push_back({sessions.Int(0), sessions.Int(1)});
    }
    std::vector<Watched> merged;
    MergeWatched(merged, stretches);
    return merged;
}

// Inside one read transaction: the results of the spans, the monitoring of
// [fromMs, toMs) and the log's latest batch all come from the same moment.
void HistoryStore::ReadSpans(const NodeKey& key, const std::vector<Watched>& spans,
                             NodeSeries& series, std::int64_t fromMs, std::int64_t toMs) {
    series.lastSeq = db_.QueryInt("SELECT coalesce(max(seq), 0) FROM batch", 0);
    Statement rows(db_.Handle(),
                   "SELECT time_ms, value, fail_count, sent, received, min_us, median_us, max_us,"
                   " jitter_us, failure, held, status FROM result"
                   " WHERE node_id=?1 AND time_ms>=?2 AND time_ms<?3 ORDER BY time_ms");
    for (const std::int64_t id : NodeIds(key)) {
        for (const Watched& span : spans) {
            AddSamples(rows.Bind(1, id).Bind(2, span.fromMs).Bind(3, span.toMs), series.samples);
        }
    }
    rows = Statement();
    series.watched = WatchedStretches(key, fromMs, toMs);
}

NodeSeries HistoryStore::Read(const NodeKey& key, std::int64_t fromMs, std::int64_t toMs) {
    NodeSeries series;
    if (db_.IsOpen() && db_.Exec("BEGIN") == SQLITE_OK) {
        ReadSpans(key, {{fromMs, toMs}}, series, fromMs, toMs);
        db_.Exec("COMMIT");
    }
    return series;
}

std::pair<std::int64_t, std::int64_t> HistoryStore::CountAnswered(const NodeKey& key,
                                                                  std::int64_t fromMs,
                                                                  std::int64_t toMs) {
    std::pair<std::int64_t, std::int64_t> counts{0, 0};
    if (!db_.IsOpen()) {
        return counts;
    }
    Statement rows(db_.Handle(),
                   "SELECT count(*), coalesce(sum(value>0), 0) FROM result "
                   "WHERE node_id=?1 AND time_ms>=?2 AND time_ms<?3 AND held<>2");
    for (const std::int64_t id : NodeIds(key)) {
        if (rows.Bind(1, id).Bind(2, fromMs).Bind(3, toMs).Step() == SQLITE_ROW) {
            counts.first += rows.Int(0);
            counts.second += rows.Int(1);
        }
        rows.Reset();
    }
    return counts;
}

void HistoryStore::ReadNewer(const NodeKey& key, NodeSeries& series, std::int64_t fromMs,
                             std::int64_t toMs) {
    if (!db_.IsOpen() || db_.Exec("BEGIN") != SQLITE_OK) {
        return;
    }
    // The times the batches stored since then cover, whatever the clock did.
    std::vector<Watched> spans;
    if (db_.QueryInt("SELECT coalesce(min(seq), 0) FROM batch", 0) > series.lastSeq + 1) {
        series.samples.clear();  // the log no longer reaches back: read all again
        spans.push_back({fromMs, toMs});
    } else {
        Statement batches(db_.Handle(), "SELECT from_ms, to_ms FROM batch WHERE seq>?1");
        batches.Bind(1, series.lastSeq);
        std::vector<Watched> stored;
        while (batches.Step() == SQLITE_ROW) {
            stored.push_back({batches.Int(0), batches.Int(1)});
        }
        MergeWatched(spans, stored);
    }
    ReadSpans(key, spans, series, fromMs, toMs);
    db_.Exec("COMMIT");
}

NodeKey MakeNodeKey(const std::string& address, const std::string& port, std::int32_t probeType) {
    const std::int32_t kind = ProbeKind(probeType);
    if (kind == HTTPD) {
        return {address, port.empty() ? std::string("80") : port, HTTPD};
    }
    return {address, kind == PING ? std::string() : port, kind};
}

}  // namespace sentrel::history
