#pragma once

// The catalog's SQLite layer: the connection, the row binder and reader, the statement pool,
// the schema and the one "latest event" query. Internal to engine/catalog.

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/catalog/BackupCatalog.h"
#include "engine/catalog/CatalogRecords.h"
#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/Iso8601.h"

namespace tvr::catalog_internal {

inline Error catalogError(const std::string& message) { return Error(kBackupCatalogErrorDomain, 1, message); }

// ---------------------------------------------------------------- SQL texts

inline constexpr const char* kSchemaScript = R"SQL(CREATE TABLE IF NOT EXISTS runs (
  id INTEGER PRIMARY KEY,
  run_uuid TEXT NOT NULL,
  plan_id TEXT NOT NULL DEFAULT '',
  started_at REAL NOT NULL,
  finished_at REAL,
  source_path_ciphertext BLOB NOT NULL,
  dest_path_ciphertext BLOB NOT NULL,
  notes TEXT,
  case_insensitive INTEGER NOT NULL DEFAULT 0,
  hash_algorithm TEXT NOT NULL DEFAULT 'sha256',
  engine_version TEXT,
  source_volume_uuid TEXT,
  dest_volume_uuid TEXT,
  status TEXT NOT NULL DEFAULT 'running' CHECK(status IN ('running', 'completed', 'failed', 'cancelled')),
  files_total_count INTEGER,
  files_total_bytes INTEGER,
  files_copy_count INTEGER,
  files_replace_count INTEGER,
  files_skipped_count INTEGER,
  files_deleted_count INTEGER
);
CREATE UNIQUE INDEX IF NOT EXISTS idx_runs_uuid ON runs(run_uuid);
CREATE INDEX IF NOT EXISTS idx_runs_plan_started ON runs(plan_id, started_at);

-- Current snapshot (one row per keyed path)
CREATE TABLE IF NOT EXISTS files_current (
  plan_id TEXT NOT NULL,
  path_id TEXT NOT NULL CHECK(length(path_id) = 64),
  rel_path_ciphertext BLOB NOT NULL,
  rel_path_norm_ciphertext BLOB NOT NULL,
  blob_key TEXT NOT NULL CHECK(length(blob_key) = 64),
  size_bytes INTEGER NOT NULL,
  created_at REAL,
  modified_at REAL NOT NULL,
  content_id INTEGER,
  last_seen_run_id INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
  deleted INTEGER NOT NULL DEFAULT 0,
  deleted_at REAL,
  PRIMARY KEY (plan_id, path_id)
);
CREATE INDEX IF NOT EXISTS idx_files_current_seen ON files_current(plan_id, last_seen_run_id);
CREATE INDEX IF NOT EXISTS idx_files_current_blob ON files_current(blob_key);
CREATE INDEX IF NOT EXISTS idx_files_current_sweep ON files_current(plan_id, deleted, last_seen_run_id);

-- Append-only per-run changes
CREATE TABLE IF NOT EXISTS file_events (
  id INTEGER PRIMARY KEY,
  run_id INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
  plan_id TEXT NOT NULL,
  path_id TEXT NOT NULL CHECK(length(path_id) = 64),
  rel_path_ciphertext BLOB NOT NULL,
  rel_path_norm_ciphertext BLOB NOT NULL,
  op TEXT NOT NULL,
  blob_key TEXT,
  size_bytes INTEGER,
  created_at REAL,
  modified_at REAL,
  content_id INTEGER,
  deleted INTEGER NOT NULL DEFAULT 0,
  ts REAL NOT NULL
);
CREATE INDEX IF NOT EXISTS idx_file_events_plan_run_norm ON file_events(plan_id, run_id, path_id);
CREATE INDEX IF NOT EXISTS idx_file_events_plan_norm_run ON file_events(plan_id, path_id, run_id);

-- Optional checkpoints (manifest stored as a blob in blobs/)
CREATE TABLE IF NOT EXISTS checkpoints (
  plan_id TEXT NOT NULL,
  run_id INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
  manifest_blob_key TEXT NOT NULL CHECK(length(manifest_blob_key) = 64),
  created_at REAL NOT NULL,
  PRIMARY KEY (plan_id, run_id)
);
)SQL";

enum PooledStatement : std::size_t {
  kBeginRun,
  kFinishRun,
  kMarkRunFailed,
  kUpsertCurrent,
  kTouchCurrent,
  kInsertEvent,
  kUpdateRunSummary,
  kInsertCheckpoint,
  kSelectCheckpoint,
  kPooledStatementCount
};

struct PooledStatementText {
  const char* purpose;
  const char* missingMessage;
  const char* sql;
};

inline constexpr std::array<PooledStatementText, kPooledStatementCount> kPooledStatements = {{
    {"beginRun", "Begin run statement not prepared",
     "INSERT INTO runs (run_uuid, plan_id, started_at, source_path_ciphertext, dest_path_ciphertext, notes, "
     "case_insensitive, hash_algorithm, engine_version, source_volume_uuid, dest_volume_uuid, status)\n"
     "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 'running');"},
    {"finishRun", "Finish run statement not prepared", "UPDATE runs SET finished_at=?, status='completed' WHERE id=?;"},
    {"markRunFailed", "Mark run failed statement not prepared", "UPDATE runs SET finished_at=?, status=? WHERE id=?;"},
    {"upsertCurrent", "Upsert current statement not prepared",
     "INSERT INTO files_current (plan_id, path_id, rel_path_ciphertext, rel_path_norm_ciphertext, blob_key, "
     "size_bytes, created_at, modified_at, content_id, last_seen_run_id, deleted, deleted_at)\n"
     "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0, NULL)\n"
     "ON CONFLICT(plan_id, path_id) DO UPDATE SET\n"
     "  rel_path_ciphertext = excluded.rel_path_ciphertext,\n"
     "  rel_path_norm_ciphertext = excluded.rel_path_norm_ciphertext,\n"
     "  blob_key = excluded.blob_key,\n"
     "  size_bytes = excluded.size_bytes,\n"
     "  created_at = excluded.created_at,\n"
     "  modified_at = excluded.modified_at,\n"
     "  content_id = excluded.content_id,\n"
     "  last_seen_run_id = excluded.last_seen_run_id,\n"
     "  deleted = 0,\n"
     "  deleted_at = NULL;"},
    {"touchCurrent", "Touch current statement not prepared",
     "UPDATE files_current SET last_seen_run_id = ?, deleted = 0, deleted_at = NULL\n"
     "WHERE plan_id = ? AND path_id = ?;"},
    {"insertEvent", "Insert event statement not prepared",
     "INSERT INTO file_events (run_id, plan_id, path_id, rel_path_ciphertext, rel_path_norm_ciphertext, op, "
     "blob_key, size_bytes, created_at, modified_at, content_id, deleted, ts)\n"
     "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);"},
    {"updateRunSummary", "Update run summary statement not prepared",
     "UPDATE runs SET files_total_count = ?, files_total_bytes = ?, files_copy_count = ?, "
     "files_replace_count = ?, files_skipped_count = ?, files_deleted_count = ?\n"
     "WHERE id = ?;"},
    {"insertCheckpoint", "Insert checkpoint statement not prepared",
     "INSERT OR REPLACE INTO checkpoints (plan_id, run_id, manifest_blob_key, created_at)\n"
     "VALUES (?, ?, ?, ?);"},
    {"selectCheckpoint", "Select checkpoint statement not prepared",
     "SELECT manifest_blob_key\nFROM checkpoints\nWHERE plan_id = ? AND run_id = ?\nLIMIT 1;"},
}};

// ---------------------------------------------------------------- statements and rows

// One step of a read: true for a row, false at the end. Anything else (a damaged page, an
// I/O error, no memory, a lock) must not pass for the end of the rows.
inline bool stepRow(sqlite3* db, sqlite3_stmt* statement, const std::string& what) {
  int rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  const char* message = db ? sqlite3_errmsg(db) : nullptr;
  throw catalogError("Failed to read " + what + ": " + (message ? message : "Unknown SQLite error"));
}

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
};
using StatementHandle = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// A size below zero is no size.
inline std::optional<std::int64_t> shownSize(std::optional<std::int64_t> value) {
  if (value && *value < 0) return std::nullopt;
  return value;
}
// A date a reader shows: one outside years 1 to 9999 cannot be rendered and is left out.
inline std::optional<double> shownDate(std::optional<double> value) {
  if (value && !isRepresentableDate(*value)) return std::nullopt;
  return value;
}

// Binds and reads one statement; failures throw catalog errors with the connection's message.
class Row {
 public:
  Row(sqlite3* db, sqlite3_stmt* statement) : db_(db), statement_(statement) {}

  std::string sqliteMessage() const {
    const char* message = db_ ? sqlite3_errmsg(db_) : nullptr;
    return message ? message : "Unknown SQLite error";
  }

  void check(int rc) const {
    if (rc != SQLITE_OK) throw catalogError("Failed to bind statement parameter: " + sqliteMessage());
  }
  void text(int index, const std::string& value) {
    check(sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT));
  }
  void text(int index, const std::optional<std::string>& value) {
    if (value)
      text(index, *value);
    else
      null(index);
  }
  void blob(int index, const Bytes& value) {
    // An empty value binds as a zero-length blob, never as NULL.
    static const std::uint8_t kEmpty = 0;
    const void* data = value.empty() ? static_cast<const void*>(&kEmpty) : value.data();
    if (sqlite3_bind_blob(statement_, index, data, static_cast<int>(value.size()), SQLITE_TRANSIENT) != SQLITE_OK) {
      throw catalogError("Failed to bind encrypted path data: " + sqliteMessage());
    }
  }
  void int64(int index, std::int64_t value) { check(sqlite3_bind_int64(statement_, index, value)); }
  void int64(int index, std::optional<std::int64_t> value) {
    if (value)
      int64(index, *value);
    else
      null(index);
  }
  void real(int index, double value) { check(sqlite3_bind_double(statement_, index, value)); }
  void real(int index, std::optional<double> value) {
    if (value)
      real(index, *value);
    else
      null(index);
  }
  void null(int index) { check(sqlite3_bind_null(statement_, index)); }

  bool isNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
  std::string columnText(int column) const {
    const unsigned char* value = sqlite3_column_text(statement_, column);
    if (value == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(value),
                       static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
  }
  std::optional<std::string> optionalText(int column) const {
    if (isNull(column)) return std::nullopt;
    return columnText(column);
  }
  Bytes columnBlob(int column) const {
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement_, column));
    int size = sqlite3_column_bytes(statement_, column);
    if (data == nullptr || size <= 0) return {};
    return Bytes(data, data + size);
  }
  std::int64_t columnInt64(int column) const { return sqlite3_column_int64(statement_, column); }
  std::optional<std::int64_t> optionalInt64(int column) const {
    if (isNull(column)) return std::nullopt;
    return columnInt64(column);
  }
  // A count beyond int, or below zero, is damage: left out rather than wrapped.
  std::optional<int> optionalInt(int column) const {
    if (isNull(column)) return std::nullopt;
    std::int64_t value = columnInt64(column);
    if (value < 0 || value > std::numeric_limits<int>::max()) return std::nullopt;
    return static_cast<int>(value);
  }
  // A size below zero is no size.
  std::optional<std::int64_t> optionalSize(int column) const { return shownSize(optionalInt64(column)); }
  double columnDouble(int column) const { return sqlite3_column_double(statement_, column); }
  std::optional<double> optionalDouble(int column) const {
    if (isNull(column)) return std::nullopt;
    return columnDouble(column);
  }
  // A date a reader shows: one outside years 1 to 9999 cannot be rendered and is left out.
  std::optional<double> optionalDate(int column) const { return shownDate(optionalDouble(column)); }
  // The column's bytes into `into`, reusing its storage.
  void assignBlob(int column, Bytes& into) const {
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement_, column));
    int size = sqlite3_column_bytes(statement_, column);
    if (data == nullptr || size <= 0) {
      into.clear();
    } else {
      into.assign(data, data + size);
    }
  }
  std::string_view textView(int column) const {
    const unsigned char* value = sqlite3_column_text(statement_, column);
    if (value == nullptr) return {};
    return std::string_view(reinterpret_cast<const char*>(value),
                            static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* statement_;
};

// ---------------------------------------------------------------- connection and pool

class BackupCatalogSQLiteConnection {
 public:
  ~BackupCatalogSQLiteConnection() { close(); }

  sqlite3* db = nullptr;
  int busyTimeoutMilliseconds = BackupCatalog::kBusyTimeoutMilliseconds;

  std::string sqliteMessage() const {
    const char* message = db ? sqlite3_errmsg(db) : nullptr;
    return message ? message : "Unknown SQLite error";
  }

  Error makeError(const std::string& message) const { return catalogError(message); }

  void open(const std::filesystem::path& path, bool createIfMissing, bool readOnly = false) {
    int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_FULLMUTEX |
                (createIfMissing ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
      throw makeError("Unable to open database at " + path.string() + ": " + sqliteMessage());
    }
    if (sqlite3_busy_timeout(db, busyTimeoutMilliseconds) != SQLITE_OK) {
      throw makeError("Unable to set database busy timeout at " + path.string() + ": " + sqliteMessage());
    }
    // The file comes from storage we do not control: no schema tricks, no functions run
    // from views or triggers it defines.
    if (sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr) != SQLITE_OK ||
        sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr) != SQLITE_OK) {
      throw makeError("Unable to configure database at " + path.string() + ": " + sqliteMessage());
    }
  }

  int execRaw(const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

  void exec(const char* sql) {
    if (execRaw(sql) != SQLITE_OK) throw makeError("SQL error: " + sqliteMessage());
  }

  sqlite3_stmt* prepare(const char* sql, const std::string& purpose) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
      sqlite3_finalize(statement);
      throw makeError("Failed to prepare " + purpose + " statement: " + sqliteMessage());
    }
    return statement;
  }

  StatementHandle prepareDynamic(const std::string& sql, const std::string& failureText) {
    StatementHandle statement = tryPrepare(sql);
    if (!statement) throw makeError(failureText + ": " + sqliteMessage());
    return statement;
  }
  // Null when the statement cannot be prepared (sqliteMessage says why).
  StatementHandle tryPrepare(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      sqlite3_finalize(statement);
      return StatementHandle(nullptr);
    }
    return StatementHandle(statement);
  }

  void close() noexcept {
    if (db != nullptr) {
      sqlite3_close(db);
      db = nullptr;
    }
  }
};

class BackupCatalogStatementPool {
 public:
  ~BackupCatalogStatementPool() { finalize(); }

  void prepare(BackupCatalogSQLiteConnection& connection) {
    for (std::size_t i = 0; i < kPooledStatementCount; ++i) {
      statements[i] = connection.prepare(kPooledStatements[i].sql, kPooledStatements[i].purpose);
    }
  }

  void finalize() noexcept {
    for (sqlite3_stmt*& statement : statements) {
      if (statement != nullptr) sqlite3_finalize(statement);
      statement = nullptr;
    }
  }

  std::array<sqlite3_stmt*, kPooledStatementCount> statements{};
};

// ---------------------------------------------------------------- the latest event of each path

// One event row as the latest-event query reads it (values as stored, not yet checked).
struct LatestEvent {
  std::string pathID;
  Bytes relPathCiphertext;
  Bytes relPathNormCiphertext;
  std::string op;
  std::optional<std::string> blobKey;
  std::optional<std::int64_t> sizeBytes;
  std::optional<double> createdAt;
  std::optional<double> modifiedAt;
  std::optional<std::int64_t> contentID;
  bool deleted = false;
  double ts = 0;
  std::int64_t runID = 0;
  std::int64_t id = 0;

  bool isFile() const { return blobKey.has_value(); }
};

// The columns of a LatestEvent, in the order readLatestEvent reads them.
inline constexpr const char* kLatestEventColumns =
    "path_id, rel_path_ciphertext, rel_path_norm_ciphertext, op, blob_key, size_bytes, created_at, "
    "modified_at, content_id, deleted, ts, run_id, id";

// One row of kLatestEventColumns into `event`, reusing its buffers.
inline void readLatestEvent(Row& row, LatestEvent& event) {
  event.pathID.assign(row.textView(0));
  row.assignBlob(1, event.relPathCiphertext);
  row.assignBlob(2, event.relPathNormCiphertext);
  event.op.assign(row.textView(3));
  event.blobKey = row.optionalText(4);
  event.sizeBytes = row.optionalInt64(5);
  event.createdAt = row.optionalDouble(6);
  event.modifiedAt = row.optionalDouble(7);
  event.contentID = row.optionalInt64(8);
  event.deleted = row.columnInt64(9) != 0;
  event.ts = row.columnDouble(10);
  event.runID = row.columnInt64(11);
  event.id = row.columnInt64(12);
}

// The SQL of forEachLatestEvent. Its ORDER BY is the order of idx_file_events_plan_norm_run,
// which SQLite then scans instead of sorting; a scope must not offer it a range on run_id
// (write "+run_id"), or it takes the other index and sorts every event of the plan.
inline std::string latestEventsSQL(const std::string& scope) {
  return std::string("SELECT ") + kLatestEventColumns +
         "\n"
         "FROM file_events\n"
         "WHERE plan_id = ?1 AND (" +
         scope +
         ")\n"
         "ORDER BY path_id, run_id, id;";
}

// Scopes of the snapshot of run ?2, of all its paths or of the one path ?3.
inline constexpr const char* kSnapshotScope = "+run_id <= ?2";
inline constexpr const char* kSnapshotPathScope = "+run_id <= ?2 AND path_id = ?3";

// The "latest event" query, the one place that decides which event of a path counts: for
// every path of the plan, its newest event (highest run, then highest id) of each kind,
// files (events with a blob key) and folders (events without one) apart, among the events
// `scope` admits (an SQL condition on file_events; ?1 is the plan, further parameters are
// bound by `bind`). The rows stream in the order of idx_file_events_plan_norm_run (path id,
// run, id), so SQLite neither sorts nor numbers them; `visit` gets each path once, in
// path-id order, with its newest file event and its newest folder event (either may be
// null). Errors: `prepareFailure` + ": " + the SQLite message when the query cannot be
// prepared, `stepFailure` + the SQLite message when a step fails (never taken for the end).
inline void forEachLatestEvent(BackupCatalogSQLiteConnection& connection, const std::string& planID,
                               const std::string& scope, const std::string& prepareFailure,
                               const std::function<void(Row&)>& bind, const std::string& stepFailure,
                               const std::function<void(const LatestEvent*, const LatestEvent*)>& visit) {
  StatementHandle statement = connection.prepareDynamic(latestEventsSQL(scope), prepareFailure);
  Row row(connection.db, statement.get());
  row.text(1, planID);
  if (bind) bind(row);
  // Two slots per kind: the newest so far and the row being read, swapped as rows arrive,
  // so buffers are reused and nothing is copied twice.
  LatestEvent slots[2][2];
  int newest[2] = {-1, -1};  // slot index of the newest event per kind, or -1
  std::string currentPath;
  auto flush = [&] {
    if (newest[0] < 0 && newest[1] < 0) return;
    visit(newest[0] >= 0 ? &slots[0][newest[0]] : nullptr, newest[1] >= 0 ? &slots[1][newest[1]] : nullptr);
    newest[0] = newest[1] = -1;
  };
  for (;;) {
    const int rc = sqlite3_step(statement.get());
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) throw catalogError(stepFailure + connection.sqliteMessage());
    std::string_view pathID = row.textView(0);
    if (pathID != currentPath) {
      flush();
      currentPath.assign(pathID);
    }
    const int kind = row.isNull(4) ? 1 : 0;
    const int target = newest[kind] == 0 ? 1 : 0;
    readLatestEvent(row, slots[kind][target]);
    newest[kind] = target;
  }
  flush();
}

}  // namespace tvr::catalog_internal
