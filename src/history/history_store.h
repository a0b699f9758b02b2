// The history file: one SQLite database in WAL mode, shared safely by every
// Sentrel program that writes or reads it.
//
// Schema (PRAGMA user_version = 3):
//   node(id INTEGER PRIMARY KEY, address TEXT, port TEXT, probe_type INTEGER, title TEXT,
//        UNIQUE(address, port, probe_type, title))
//   result(node_id INTEGER, time_ms INTEGER, value INTEGER, fail_count INTEGER,
//          sent INTEGER, received INTEGER, min_us INTEGER, median_us INTEGER,
//          max_us INTEGER, jitter_us INTEGER,
//          PRIMARY KEY(node_id, time_ms)) WITHOUT ROWID
//   session(id INTEGER PRIMARY KEY, pid INTEGER, start_ms INTEGER, last_ms INTEGER,
//           end_ms INTEGER NULL, per_node INTEGER)  -- one row per monitoring on..off
//   session_node(session_id INTEGER, node_id INTEGER, PRIMARY KEY(session_id, node_id))
//   batch(seq INTEGER PRIMARY KEY AUTOINCREMENT, from_ms INTEGER, to_ms INTEGER)
// A node with a changed title gets a new node row; queries join all rows of
// one address, port and type. time_ms is UTC milliseconds since the epoch. A
// session with per_node = 1 watched only the nodes session_node names for it;
// one from before version 2 (per_node = 0) counts for every node. batch logs
// each transaction that stored results, in storing order, with the span
// [from_ms, to_ms) of their times: a reader that follows the file asks by seq,
// which never steps back with the clock. Only the latest 1000 are kept.
// sent to jitter_us are the figures of a PING probe's echoes (round trips in
// microseconds); version 3 added them, 0 in older rows and for HTTPD. Every
// step of a migration runs in the one transaction that checks the version: a
// file is migrated whole or not at all. A file of a later version is left
// untouched and history is off for the run.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "history/history_types.h"
#include "history/sqlite_db.h"

namespace sentrel::history {

inline constexpr int kSchemaVersion = 5;

struct ProbeRecord {
    NodeKey key;
    std::string title;
    Sample sample;
};

class HistoryStore {
  public:
    // Opens the file for writing, creating or migrating the schema. A file that
    // is not a database, or that an earlier run found damaged, is renamed to
    // "<path>.corrupt-<UTC time>" and a new one started. Returns the SQLite code
    // (SQLITE_OK when usable); `busyMs` bounds every wait for another writer.
    int OpenForWriting(const std::string& path, int busyMs);
    // Opens an existing file for queries only; SQLITE_MISMATCH for a file no
    // writer has brought to this schema yet.
    int OpenForReading(const std::string& path);

    // Monitoring on/off for this program. Each returns the SQLite code.
    int BeginSession(std::int64_t timeMs);
    int EndSession(std::int64_t timeMs);
    bool SessionOpen() const { return sessionId_ != 0; }
    // Results in one transaction; also notes `passEndMs` (when non-zero) as the
    // open session's latest sign of life.
    int AddResults(const std::vector<ProbeRecord>& records, std::int64_t passEndMs);
    // Marks the node's latest stored result as held (record.sample.held).
    int MarkHeld(const ProbeRecord& record);
    // Deletes up to `limit` results older than `cutoffMs` and the sessions that
    // ended before it. Returns how many results went, or minus the SQLite code.
    int Prune(std::int64_t cutoffMs, int limit);
    // Time of the newest result stored, 0 when there is none.
    std::int64_t NewestResultMs();

    // Results of the node in [fromMs, toMs) and the monitoring around them.
    NodeSeries Read(const NodeKey& key, std::int64_t fromMs, std::int64_t toMs);
    // Adds the node's results stored after `series` was read, whatever their
    // times (a clock set back stamps them before those already held), and
    // reads the monitoring of [fromMs, toMs) again.
    void ReadNewer(const NodeKey& key, NodeSeries& series, std::int64_t fromMs, std::int64_t toMs);
    // The node's results in [fromMs, toMs) counted by SQLite: {all, answered}.
    std::pair<std::int64_t, std::int64_t> CountAnswered(const NodeKey& key, std::int64_t fromMs,
                                                        std::int64_t toMs);
    std::string LastMessage() const { return db_.LastMessage(); }

  private:
    int Prepare();
    int NodeId(const ProbeRecord& record, std::int64_t* id);
    std::vector<std::int64_t> NodeIds(const NodeKey& key);
    std::vector<Watched> WatchedStretches(const NodeKey& key, std::int64_t fromMs,
                                          std::int64_t toMs);
    void ReadSpans(const NodeKey& key, const std::vector<Watched>& spans, NodeSeries& series,
                   std::int64_t fromMs, std::int64_t toMs);

    Database db_;
    Statement insertNode_, findNode_, insertResult_, touchSession_, noteNode_, logBatch_, markHeld_;
    std::unordered_map<std::string, std::int64_t> nodeIds_;
    std::int64_t sessionId_ = 0;
    std::unordered_set<std::int64_t> sessionNodes_;  // nodes noted for the open session
};

// Moves a damaged file (and its -wal, -shm companions) aside; true when moved.
bool MoveAside(const std::string& path);
// Path of the marker that tells the next start to check the file.
std::string DamageMarkerPath(const std::string& path);

}  // namespace sentrel::history
