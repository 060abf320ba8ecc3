#include "engine/catalog/BackupCatalog.h"

#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <limits>
#include <mutex>
#include <unordered_set>

#include "engine/catalog/SnapshotHistoryBuilder.h"
#include "engine/crypto/EncryptedBlobCodec.h"
#include "engine/crypto/RepositoryPathCodec.h"
#include "engine/metadata/RepositoryMetadata.h"
#include "engine/storage/BackupCatalogBlobStore.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Iso8601.h"

namespace tvr {

namespace fs = std::filesystem;
using catalog_internal::HistoryRow;
using catalog_internal::trimSlashes;

// ---------------------------------------------------------------- names

std::string runStatusName(RunStatus status) {
  switch (status) {
    case RunStatus::running:
      return "running";
    case RunStatus::completed:
      return "completed";
    case RunStatus::failed:
      return "failed";
    case RunStatus::cancelled:
      return "cancelled";
  }
  return "running";
}

std::optional<RunStatus> runStatusFromName(std::string_view name) {
  if (name == "running") return RunStatus::running;
  if (name == "completed") return RunStatus::completed;
  if (name == "failed") return RunStatus::failed;
  if (name == "cancelled") return RunStatus::cancelled;
  return std::nullopt;
}

std::string snapshotKindName(SnapshotKind kind) { return kind == SnapshotKind::directory ? "directory" : "file"; }

namespace {

// ---------------------------------------------------------------- SQL texts

constexpr const char* kSchemaScript = R"SQL(CREATE TABLE IF NOT EXISTS runs (
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

constexpr std::array<PooledStatementText, kPooledStatementCount> kPooledStatements = {{
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

// The live events of a run's snapshot. Files (events with a blob key) and folders (events
// without one) are resolved separately, each by its newest event at or before the run, so a
// folder's late "delete" never hides a file of the same path, nor a file's delete a folder;
// a folder is live only through a "mkdir". A path live as both kinds (a run that changed its
// kind records no delete for the other kind) shows the kind of its newer event. Columns:
// rel_path_ciphertext, rel_path_norm_ciphertext, op, blob_key, size_bytes, created_at,
// modified_at, content_id. Parameters: plan, run, then the path id when `onePath`.
std::string liveSnapshotSQL(bool onePath, const char* kindFilter) {
  return std::string(
             "WITH latest AS (\n"
             "  SELECT path_id, rel_path_ciphertext, rel_path_norm_ciphertext, op, blob_key, size_bytes, created_at, "
             "modified_at, content_id, deleted, run_id, id,\n"
             "         ROW_NUMBER() OVER (PARTITION BY path_id, blob_key IS NULL ORDER BY run_id DESC, id DESC) AS rn\n"
             "  FROM file_events\n"
             "  WHERE plan_id = ? AND run_id <= ?") +
         (onePath ? " AND path_id = ?" : "") +
         "\n"
         "), live AS (\n"
         "  SELECT *, ROW_NUMBER() OVER (PARTITION BY path_id ORDER BY run_id DESC, id DESC) AS kind_rank\n"
         "  FROM latest\n"
         "  WHERE rn = 1 AND deleted = 0 AND (blob_key IS NOT NULL OR op = 'mkdir')\n"
         ")\n"
         "SELECT rel_path_ciphertext, rel_path_norm_ciphertext, op, blob_key, size_bytes, created_at, modified_at, "
         "content_id\n"
         "FROM live\n"
         "WHERE kind_rank = 1" +
         kindFilter + ";";
}

constexpr const char* kNoKeyMaterialMessage = "Repository names are encrypted and require repository key material.";
constexpr const char* kNoCheckpointKeyMessage = "Repository checkpoints require repository key material.";

Error catalogError(const std::string& message) { return Error(kBackupCatalogErrorDomain, 1, message); }

bool isBlobKey(std::string_view key) {
  if (key.size() != 64) return false;
  for (char c : key) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// ---------------------------------------------------------------- statement helpers

// One step of a read: true for a row, false at the end. Anything else (a damaged page, an
// I/O error, no memory, a lock) must not pass for the end of the rows.
bool stepRow(sqlite3* db, sqlite3_stmt* statement, const std::string& what) {
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
  std::optional<std::int64_t> optionalSize(int column) const {
    std::optional<std::int64_t> value = optionalInt64(column);
    if (value && *value < 0) return std::nullopt;
    return value;
  }
  double columnDouble(int column) const { return sqlite3_column_double(statement_, column); }
  std::optional<double> optionalDouble(int column) const {
    if (isNull(column)) return std::nullopt;
    return columnDouble(column);
  }
  // A date a reader shows: one outside years 1 to 9999 cannot be rendered and is left out.
  std::optional<double> optionalDate(int column) const {
    std::optional<double> value = optionalDouble(column);
    if (value && !isRepresentableDate(*value)) return std::nullopt;
    return value;
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* statement_;
};

}  // namespace

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

  void open(const fs::path& path, bool createIfMissing, bool readOnly = false) {
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
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      sqlite3_finalize(statement);
      throw makeError(failureText + ": " + sqliteMessage());
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

// ---------------------------------------------------------------- Impl

struct BackupCatalog::Impl {
  fs::path rootURL;
  std::optional<RepositoryKeyMaterial> repositoryKeyMaterial;
  std::optional<RepositoryPathCodec> pathCodec;
  BackupCatalogSQLiteConnection connection;
  BackupCatalogStatementPool statements;
  std::mutex queue;
  // Superseded manifest blobs whose removal waits for the surrounding transaction to commit,
  // so a rollback never leaves a checkpoint row without its manifest.
  std::vector<std::string> blobRemovalsAfterCommit;

  // A private copy of a catalog that had a rollback journal beside it, removed on close.
  fs::path privateCopyDirectory;

  ~Impl() {
    std::lock_guard<std::mutex> lock(queue);
    statements.finalize();
    connection.close();
    if (!privateCopyDirectory.empty()) {
      std::error_code ignored;  // a leftover temporary copy must not turn a read into a failure
      fs::remove_all(privateCopyDirectory, ignored);
    }
  }

  // Copies the catalog and its journal into a new temporary folder and returns the copy's
  // path; opening the copy read-write rolls the journal back there, never in the repository.
  fs::path makePrivateCopy(const fs::path& catalogURL, const fs::path& journalURL) {
    std::string pattern = (fs::temp_directory_path() / "tvr-catalog-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw PosixError("mkdtemp", errno, pattern);
    privateCopyDirectory = pattern;
    fs::path copy = privateCopyDirectory / BackupCatalog::kCatalogFileName;
    copyFileBytes(catalogURL, copy);
    copyFileBytes(journalURL, fs::path(copy.string() + "-journal"));
    return copy;
  }

  static void copyFileBytes(const fs::path& from, const fs::path& to) {
    std::error_code error;
    fs::copy_file(from, to, fs::copy_options::none, error);
    if (error) throw PosixError("copy", error.value(), from.string());
  }

  sqlite3* db() const { return connection.db; }

  // SQLite hands a new run the number after the highest remaining one, which is the number
  // of a deleted newest run. Run numbers are used everywhere (and by people), so a new run
  // takes the number after every run that ever existed instead.
  std::int64_t renumberPastDeletedRuns(std::int64_t runID) {
    std::optional<std::int64_t> highestDeleted;
    {
      StatementHandle exists = connection.prepareDynamic(
          "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'deleted_runs';", "Failed to insert run");
      if (sqlite3_step(exists.get()) != SQLITE_ROW) return runID;
      StatementHandle select = connection.prepareDynamic("SELECT max(id) FROM deleted_runs;", "Failed to insert run");
      if (sqlite3_step(select.get()) != SQLITE_ROW) {
        throw catalogError("Failed to insert run: " + connection.sqliteMessage());
      }
      Row row(db(), select.get());
      highestDeleted = row.optionalInt64(0);
    }
    if (!highestDeleted || runID > *highestDeleted) return runID;
    StatementHandle update = connection.prepareDynamic("UPDATE runs SET id = ? WHERE id = ?;", "Failed to insert run");
    Row row(db(), update.get());
    row.int64(1, *highestDeleted + 1);
    row.int64(2, runID);
    if (sqlite3_step(update.get()) != SQLITE_DONE) {
      throw catalogError("Failed to insert run: " + connection.sqliteMessage());
    }
    return *highestDeleted + 1;
  }

  // Later snapshots are rebuilt from the history up to them, which includes this run's
  // events: a file it replaced or found deleted stays so only through them. Those of its
  // events that the plan's next run does not supersede become that run's, so every later
  // snapshot reads the same after the deletion.
  void carryEventsForwardPast(const PlanID& planID, std::int64_t runID) {
    std::optional<std::int64_t> nextRunID;
    {
      StatementHandle select = connection.prepareDynamic("SELECT min(id) FROM runs WHERE plan_id = ? AND id > ?;",
                                                         "Failed to prepare deleteRun");
      Row row(db(), select.get());
      row.text(1, planID.rawValue());
      row.int64(2, runID);
      if (sqlite3_step(select.get()) != SQLITE_ROW) {
        throw catalogError("Failed to delete run: " + connection.sqliteMessage());
      }
      nextRunID = row.optionalInt64(0);
    }
    if (!nextRunID) return;
    StatementHandle update = connection.prepareDynamic(
        "UPDATE file_events SET run_id = ?1\n"
        "WHERE plan_id = ?2 AND run_id = ?3\n"
        "  AND path_id NOT IN (SELECT path_id FROM file_events WHERE plan_id = ?2 AND run_id = ?1);",
        "Failed to prepare deleteRun");
    Row row(db(), update.get());
    row.int64(1, *nextRunID);
    row.text(2, planID.rawValue());
    row.int64(3, runID);
    if (sqlite3_step(update.get()) != SQLITE_DONE) {
      throw catalogError("Failed to delete run: " + connection.sqliteMessage());
    }
  }

  // Before a run goes, the current rows it was the last to see are set back to the newest
  // state that the remaining history records for them (a deletion stays a deletion), so that
  // later sweeps still see them; only rows with no other history go with the run.
  void rebuildCurrentRowsSeenOnlyBy(const PlanID& planID, std::int64_t runID) {
    struct Rebuilt {
      std::string pathID;
      Bytes relPathCiphertext, relPathNormCiphertext;
      std::string blobKey;
      std::int64_t sizeBytes;
      std::optional<double> createdAt;
      double modifiedAt;
      std::optional<std::int64_t> contentID;
      bool deleted;
      double ts;
      std::int64_t runID;
    };
    std::vector<Rebuilt> rows;
    {
      StatementHandle select = connection.prepareDynamic(
          "WITH latest AS (\n"
          "  SELECT path_id, rel_path_ciphertext, rel_path_norm_ciphertext, blob_key, size_bytes, created_at,\n"
          "         modified_at, content_id, deleted, ts, run_id,\n"
          "         ROW_NUMBER() OVER (PARTITION BY path_id ORDER BY run_id DESC, id DESC) AS rn\n"
          "  FROM file_events\n"
          "  WHERE plan_id = ?1 AND run_id != ?2 AND blob_key IS NOT NULL\n"
          "    AND path_id IN (SELECT path_id FROM files_current WHERE plan_id = ?1 AND last_seen_run_id = ?2)\n"
          ")\n"
          "SELECT path_id, rel_path_ciphertext, rel_path_norm_ciphertext, blob_key, size_bytes, created_at,\n"
          "       modified_at, content_id, deleted, ts, run_id\n"
          "FROM latest WHERE rn = 1 AND size_bytes IS NOT NULL AND modified_at IS NOT NULL;",
          "Failed to prepare deleteRun");
      Row row(db(), select.get());
      row.text(1, planID.rawValue());
      row.int64(2, runID);
      int rc;
      while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) {
        rows.push_back({row.columnText(0), row.columnBlob(1), row.columnBlob(2), row.columnText(3), row.columnInt64(4),
                        row.optionalDouble(5), row.columnDouble(6), row.optionalInt64(7), row.columnInt64(8) != 0,
                        row.columnDouble(9), row.columnInt64(10)});
      }
      if (rc != SQLITE_DONE) throw catalogError("Failed to delete run: " + connection.sqliteMessage());
    }
    if (rows.empty()) return;
    StatementHandle update = connection.prepareDynamic(
        "UPDATE files_current SET rel_path_ciphertext = ?, rel_path_norm_ciphertext = ?, blob_key = ?,\n"
        "  size_bytes = ?, created_at = ?, modified_at = ?, content_id = ?, last_seen_run_id = ?, deleted = ?,\n"
        "  deleted_at = ?\n"
        "WHERE plan_id = ? AND path_id = ?;",
        "Failed to prepare deleteRun");
    for (const Rebuilt& rebuilt : rows) {
      sqlite3_reset(update.get());
      sqlite3_clear_bindings(update.get());
      Row row(db(), update.get());
      row.blob(1, rebuilt.relPathCiphertext);
      row.blob(2, rebuilt.relPathNormCiphertext);
      row.text(3, rebuilt.blobKey);
      row.int64(4, rebuilt.sizeBytes);
      row.real(5, rebuilt.createdAt);
      row.real(6, rebuilt.modifiedAt);
      row.int64(7, rebuilt.contentID);
      row.int64(8, rebuilt.runID);
      row.int64(9, rebuilt.deleted ? 1 : 0);
      row.real(10, rebuilt.deleted ? std::optional<double>(rebuilt.ts) : std::nullopt);
      row.text(11, planID.rawValue());
      row.text(12, rebuilt.pathID);
      if (sqlite3_step(update.get()) != SQLITE_DONE) {
        throw catalogError("Failed to delete run: " + connection.sqliteMessage());
      }
    }
  }

  // A pooled statement reset and cleared, ready to bind; reset again when the use ends so
  // no read stays open between operations.
  class Pooled {
   public:
    Pooled(Impl& impl, PooledStatement which) : impl_(impl) {
      statement_ = impl.statements.statements[which];
      if (statement_ == nullptr) throw catalogError(kPooledStatements[which].missingMessage);
      sqlite3_reset(statement_);
      sqlite3_clear_bindings(statement_);
    }
    ~Pooled() {
      sqlite3_reset(statement_);
      sqlite3_clear_bindings(statement_);
    }
    Pooled(const Pooled&) = delete;
    Pooled& operator=(const Pooled&) = delete;

    Row row() const { return Row(impl_.db(), statement_); }
    sqlite3_stmt* statement() const { return statement_; }
    int step() { return sqlite3_step(statement_); }
    // Steps once; anything but SQLITE_DONE fails with `failure` + the SQLite message.
    void stepDone(const std::string& failure) {
      if (step() != SQLITE_DONE) throw catalogError(failure + impl_.connection.sqliteMessage());
    }

   private:
    Impl& impl_;
    sqlite3_stmt* statement_;
  };

  const RepositoryPathCodec& requirePathCodec() const {
    if (!pathCodec) throw catalogError(kNoKeyMaterialMessage);
    return *pathCodec;
  }

  struct EncryptedPathRecord {
    std::string pathID;
    Bytes relPathCiphertext;
    Bytes relPathNormCiphertext;
  };

  EncryptedPathRecord encryptedPathRecord(const std::string& relPath, const std::string& relPathNorm) const {
    const RepositoryPathCodec& codec = requirePathCodec();
    EncryptedPathRecord record;
    record.pathID = codec.pathIDForNormalizedPath(relPathNorm);
    record.relPathCiphertext = codec.sealPath(relPath);
    record.relPathNormCiphertext = codec.sealPath(relPathNorm);
    return record;
  }

  // -------- schema

  void initializeSchemaIfNeeded(OpenMode mode) {
    int version = 0;
    {
      StatementHandle statement = connection.prepareDynamic("PRAGMA user_version;", "Failed to read schema version");
      int rc = sqlite3_step(statement.get());
      // A file that is not a database fails here; it must not pass for an empty one.
      if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        throw catalogError("Failed to read schema version: " + connection.sqliteMessage());
      }
      if (rc == SQLITE_ROW) version = sqlite3_column_int(statement.get(), 0);
    }
    if (version != 0) {
      if (version == kSupportedSchemaVersion) return;
      throw catalogError("Unsupported catalog schema version " + std::to_string(version) + "; app supports version " +
                         std::to_string(kSupportedSchemaVersion));
    }
    if (mode != OpenMode::createOrOpenForWrite) throw catalogError("Repository catalog has no schema version.");
    connection.exec(kSchemaScript);
    connection.exec(("PRAGMA user_version=" + std::to_string(kSupportedSchemaVersion) + ";").c_str());
  }

  // -------- reads

  void requireRestorableRun(const PlanID& planID, std::int64_t runID) {
    StatementHandle statement = connection.prepareDynamic(
        "SELECT status FROM runs WHERE plan_id = ? AND id = ? LIMIT 1;", "Failed to prepare restorable run check");
    Row row(db(), statement.get());
    row.text(1, planID.rawValue());
    row.int64(2, runID);
    if (!stepRow(db(), statement.get(), "run " + std::to_string(runID))) {
      throw catalogError("No run " + std::to_string(runID) + " found for plan " + planID.rawValue() + ".");
    }
    std::string status = row.columnText(0);
    if (runStatusFromName(status) == RunStatus::completed) return;
    throw catalogError("Run " + std::to_string(runID) + " is " + status + " and cannot be used for restore.");
  }

  std::optional<std::string> selectCheckpointBlobKey(const PlanID& planID, std::int64_t runID) {
    Pooled pooled(*this, kSelectCheckpoint);
    Row row = pooled.row();
    row.text(1, planID.rawValue());
    row.int64(2, runID);
    if (!stepRow(db(), pooled.statement(), "checkpoint")) return std::nullopt;
    return row.columnText(0);
  }

  std::shared_ptr<const SnapshotIndex> snapshotIndex(const PlanID& planID, std::int64_t runID) {
    std::optional<std::string> manifestKey = selectCheckpointBlobKey(planID, runID);
    if (!manifestKey) return nullptr;
    std::string cacheKey =
        rootURL.string() + "|" + planID.rawValue() + "|" + std::to_string(runID) + "|" + *manifestKey;
    BackupCatalogSnapshotIndexCache& cache = BackupCatalogSnapshotIndexCache::shared();
    if (auto cached = cache.get(cacheKey)) return cached;
    if (!repositoryKeyMaterial) throw catalogError(kNoCheckpointKeyMessage);
    // The key comes from the database: never let it name a path outside blobs/.
    if (!isBlobKey(*manifestKey)) {
      throw catalogError("Checkpoint manifest key " + *manifestKey + " of run " + std::to_string(runID) +
                         " is not a valid blob key.");
    }
    // Streamed: each chunk is authenticated before its bytes are kept, so a hostile file never
    // gets read whole, and a manifest link is not followed out of the repository.
    fs::path manifestPath = BackupCatalogBlobStore::blobPath(*manifestKey, rootURL);
    OpenFile file = openRegularFileForReading(manifestPath, false);
    std::string plaintext;
    EncryptedBlobCodec(*repositoryKeyMaterial)
        .openStream(file.get(), manifestPath, [&](const std::uint8_t* data, std::size_t size) {
          plaintext.append(reinterpret_cast<const char*>(data), size);
        });
    SnapshotManifest manifest = SnapshotManifest::fromJSON(plaintext);
    return cache.insertIfAbsent(cacheKey, SnapshotIndex::fromManifest(manifest));
  }

  // Rows whose normalised path does not start with `prefix` are dropped before their display
  // path is decrypted.
  std::vector<HistoryRow> latestHistoryRows(const PlanID& planID, std::int64_t runID, const std::string& prefix = {}) {
    const RepositoryPathCodec& codec = requirePathCodec();
    StatementHandle statement =
        connection.prepareDynamic(liveSnapshotSQL(false, ""), "Failed to prepare listSnapshotChildren");
    Row row(db(), statement.get());
    row.text(1, planID.rawValue());
    row.int64(2, runID);
    std::vector<HistoryRow> rows;
    while (stepRow(db(), statement.get(), "snapshot of run " + std::to_string(runID))) {
      HistoryRow item;
      item.relPathNorm = codec.openPath(row.columnBlob(1));
      if (!item.relPathNorm.starts_with(prefix)) continue;
      item.relPath = codec.openPath(row.columnBlob(0));
      item.op = row.columnText(2);
      item.blobKey = row.optionalText(3);
      item.sizeBytes = row.optionalSize(4);
      item.createdAt = row.optionalDate(5);
      item.modifiedAt = row.optionalDate(6);
      rows.push_back(std::move(item));
    }
    return rows;
  }

  std::optional<SnapshotEntry> historyFileEntry(const PlanID& planID, std::int64_t runID,
                                                const std::string& relPathNorm) {
    const RepositoryPathCodec& codec = requirePathCodec();
    std::string trimmed(trimSlashes(relPathNorm));
    StatementHandle statement =
        connection.prepareDynamic(liveSnapshotSQL(true, ""), "Failed to prepare snapshotFileEntry");
    Row row(db(), statement.get());
    row.text(1, planID.rawValue());
    row.int64(2, runID);
    row.text(3, codec.pathIDForNormalizedPath(trimmed));
    if (!stepRow(db(), statement.get(), "snapshot entry of " + trimmed)) return std::nullopt;
    HistoryRow item;
    item.relPath = codec.openPath(row.columnBlob(0));
    item.relPathNorm = codec.openPath(row.columnBlob(1));
    item.op = row.columnText(2);
    item.blobKey = row.optionalText(3);
    item.sizeBytes = row.optionalSize(4);
    item.createdAt = row.optionalDate(5);
    item.modifiedAt = row.optionalDate(6);
    return catalog_internal::historyFileEntry(item);
  }

  std::set<std::string> keySet(const char* sql, const char* failureText, const char* what) {
    StatementHandle statement = connection.prepareDynamic(sql, failureText);
    Row row(db(), statement.get());
    std::set<std::string> keys;
    while (stepRow(db(), statement.get(), what)) keys.insert(row.columnText(0));
    return keys;
  }

  std::set<std::string> checkpointBlobKeys() {
    return keySet("SELECT manifest_blob_key FROM checkpoints WHERE manifest_blob_key IS NOT NULL;",
                  "Failed to prepare checkpointBlobKeys", "checkpoint blob keys");
  }

  std::vector<SnapshotManifest::FileEntry> snapshotFileManifestEntries(const PlanID& planID, std::int64_t runID) {
    return liveManifestEntries(planID, runID, false);
  }

  std::vector<SnapshotManifest::FileEntry> snapshotDirectoryEntries(const PlanID& planID, std::int64_t runID) {
    return liveManifestEntries(planID, runID, true);
  }

  // The checkpoint writer's entries, from the same resolution as the history reads so both
  // list the same paths.
  std::vector<SnapshotManifest::FileEntry> liveManifestEntries(const PlanID& planID, std::int64_t runID,
                                                               bool directories) {
    const RepositoryPathCodec& codec = requirePathCodec();
    StatementHandle statement = connection.prepareDynamic(
        liveSnapshotSQL(false, directories ? " AND blob_key IS NULL" : " AND blob_key IS NOT NULL"),
        directories ? "Failed to prepare snapshotDirectoryEntries" : "Failed to prepare snapshotFileManifestEntries");
    Row row(db(), statement.get());
    row.text(1, planID.rawValue());
    row.int64(2, runID);
    std::vector<SnapshotManifest::FileEntry> entries;
    while (stepRow(db(), statement.get(), "snapshot of run " + std::to_string(runID))) {
      SnapshotManifest::FileEntry entry;
      entry.relPath = codec.openPath(row.columnBlob(0));
      entry.relPathNorm = codec.openPath(row.columnBlob(1));
      if (directories) {
        entry.kind = "directory";
      } else {
        entry.kind = "file";
        entry.blobKey = row.optionalText(3);
        entry.sizeBytes = row.optionalSize(4);
        entry.createdAt = row.optionalDate(5);
        entry.modifiedAt = row.optionalDate(6);
        entry.contentID = row.optionalInt64(7);
      }
      entries.push_back(std::move(entry));
    }
    return entries;
  }

  // -------- writes

  void insertEventRecord(std::int64_t runID, const PlanID& planID, const std::string& pathID,
                         const Bytes& relPathCiphertext, const Bytes& relPathNormCiphertext, const std::string& op,
                         const std::optional<std::string>& blobKey, std::optional<std::int64_t> sizeBytes,
                         std::optional<double> createdAt, std::optional<double> modifiedAt,
                         std::optional<std::int64_t> contentID, bool deleted, double ts, const std::string& failure) {
    Pooled pooled(*this, kInsertEvent);
    Row row = pooled.row();
    row.int64(1, runID);
    row.text(2, planID.rawValue());
    row.text(3, pathID);
    row.blob(4, relPathCiphertext);
    row.blob(5, relPathNormCiphertext);
    row.text(6, op);
    row.text(7, blobKey);
    row.int64(8, sizeBytes);
    row.real(9, createdAt);
    row.real(10, modifiedAt);
    row.int64(11, contentID);
    row.int64(12, deleted ? 1 : 0);
    row.real(13, ts);
    pooled.stepDone(failure);
  }

  void removeBlobNowOrAfterCommit(const std::string& blobKey) {
    if (!isBlobKey(blobKey)) return;  // never a path outside blobs/
    if (sqlite3_get_autocommit(db()) != 0) {
      BackupCatalogBlobStore::removeBlobIfExists(blobKey, rootURL);
    } else {
      blobRemovalsAfterCommit.push_back(blobKey);
    }
  }
};

// ---------------------------------------------------------------- BackupCatalog

BackupCatalog::BackupCatalog(const fs::path& root, const std::optional<RepositoryKeyMaterial>& repositoryKeyMaterial,
                             OpenMode mode)
    : impl_(std::make_unique<Impl>()) {
  RepositoryMetadata::validateReadableRepository(root);
  impl_->rootURL = root;
  impl_->repositoryKeyMaterial = repositoryKeyMaterial;
  if (repositoryKeyMaterial) impl_->pathCodec.emplace(*repositoryKeyMaterial);
  fs::path catalogURL = root / kCatalogFileName;
  struct stat status {};
  if (::stat(catalogURL.c_str(), &status) != 0) {
    if (mode != OpenMode::createOrOpenForWrite) throw catalogError("Repository catalog is missing.");
  } else if (!S_ISREG(status.st_mode)) {
    // A FIFO or a device would block or never end.
    throw catalogError("Repository catalog is not a regular file.");
  }
  std::lock_guard<std::mutex> lock(impl_->queue);
  bool readOnly = mode == OpenMode::readOnly;
  if (readOnly) {
    fs::path journalURL(catalogURL.string() + "-journal");
    struct stat journal {};
    if (::stat(journalURL.c_str(), &journal) == 0 && S_ISREG(journal.st_mode) && journal.st_size > 0) {
      catalogURL = impl_->makePrivateCopy(catalogURL, journalURL);
      readOnly = false;
    }
  }
  impl_->connection.open(catalogURL, mode == OpenMode::createOrOpenForWrite, readOnly);
  impl_->connection.exec("PRAGMA foreign_keys=ON;");
  impl_->initializeSchemaIfNeeded(mode);
  impl_->statements.prepare(impl_->connection);
}

BackupCatalog::~BackupCatalog() = default;
BackupCatalog::BackupCatalog(BackupCatalog&&) noexcept = default;
BackupCatalog& BackupCatalog::operator=(BackupCatalog&&) noexcept = default;

const fs::path& BackupCatalog::rootURL() const { return impl_->rootURL; }
bool BackupCatalog::hasKeyMaterial() const { return impl_->repositoryKeyMaterial.has_value(); }

void BackupCatalog::beginTransaction() {
  std::lock_guard<std::mutex> lock(impl_->queue);
  if (impl_->connection.execRaw("BEGIN IMMEDIATE;") != SQLITE_OK) {
    throw catalogError("Failed to begin transaction: " + impl_->connection.sqliteMessage());
  }
}

void BackupCatalog::commitTransaction() {
  std::lock_guard<std::mutex> lock(impl_->queue);
  if (impl_->connection.execRaw("COMMIT;") != SQLITE_OK) {
    throw catalogError("Failed to commit transaction: " + impl_->connection.sqliteMessage());
  }
  std::vector<std::string> removals;
  removals.swap(impl_->blobRemovalsAfterCommit);
  for (const std::string& key : removals) BackupCatalogBlobStore::removeBlobIfExists(key, impl_->rootURL);
}

void BackupCatalog::rollbackTransaction() {
  std::lock_guard<std::mutex> lock(impl_->queue);
  impl_->blobRemovalsAfterCommit.clear();
  if (impl_->connection.execRaw("ROLLBACK;") != SQLITE_OK) {
    throw catalogError("Failed to rollback transaction: " + impl_->connection.sqliteMessage());
  }
}

void BackupCatalog::rollbackAfterError(std::exception_ptr failure) {
  bool transactionOpen = false;
  {
    std::lock_guard<std::mutex> lock(impl_->queue);
    transactionOpen = impl_->db() != nullptr && sqlite3_get_autocommit(impl_->db()) == 0;
    if (!transactionOpen) impl_->blobRemovalsAfterCommit.clear();
  }
  // SQLite ends the transaction itself on some errors (a full disk, no memory); a ROLLBACK
  // then fails and would hide the error that matters.
  if (transactionOpen) {
    try {
      rollbackTransaction();
    } catch (const Error& rollbackError) {
      throw catalogError("Failed to rollback transaction after error: " + rollbackError.message());
    }
  }
  std::rethrow_exception(failure);
}

std::vector<RunInfo> BackupCatalog::listRuns(const PlanID& planID, bool includeIncomplete) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  std::string sql =
      "SELECT id, plan_id, run_uuid, started_at, finished_at, files_total_count, files_total_bytes, "
      "files_copy_count, files_replace_count, files_skipped_count, files_deleted_count, status FROM runs "
      "WHERE plan_id = ? ";
  if (!includeIncomplete) sql += "AND status = 'completed'";
  sql += "\nORDER BY started_at ASC;";
  StatementHandle statement = impl_->connection.prepareDynamic(sql, "Failed to prepare listRuns");
  Row row(impl_->db(), statement.get());
  row.text(1, planID.rawValue());
  std::vector<RunInfo> runs;
  while (stepRow(impl_->db(), statement.get(), "runs of plan " + planID.rawValue())) {
    RunInfo info;
    info.id = row.columnInt64(0);
    info.planID = PlanID(row.columnText(1));
    info.runUUID = row.columnText(2);
    info.startedAt = row.columnDouble(3);
    info.finishedAt = row.optionalDouble(4);
    info.filesTotalCount = row.optionalInt(5);
    info.filesTotalBytes = row.optionalSize(6);
    info.filesCopyCount = row.optionalInt(7);
    info.filesReplaceCount = row.optionalInt(8);
    info.filesSkippedCount = row.optionalInt(9);
    info.filesDeletedCount = row.optionalInt(10);
    info.status = runStatusFromName(row.columnText(11));
    runs.push_back(std::move(info));
  }
  return runs;
}

void BackupCatalog::requireRestorableRun(const PlanID& planID, std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  impl_->requireRestorableRun(planID, runID);
}

std::vector<SnapshotEntry> BackupCatalog::listSnapshotChildren(const PlanID& planID, std::int64_t runID,
                                                               const std::optional<std::string>& directoryRelPathNorm) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  impl_->requireRestorableRun(planID, runID);
  impl_->requirePathCodec();
  if (auto index = impl_->snapshotIndex(planID, runID)) {
    return index->children(directoryRelPathNorm ? std::optional<std::string_view>(*directoryRelPathNorm)
                                                : std::nullopt);
  }
  std::string requested = directoryRelPathNorm.value_or("");
  std::string_view directory = trimSlashes(requested);
  std::string prefix = directory.empty() ? std::string() : std::string(directory) + "/";
  std::vector<HistoryRow> rows = impl_->latestHistoryRows(planID, runID, prefix);
  return catalog_internal::historyChildren(rows, directory);
}

std::optional<SnapshotEntry> BackupCatalog::snapshotFileEntry(const PlanID& planID, std::int64_t runID,
                                                              const std::string& relPathNorm) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  impl_->requireRestorableRun(planID, runID);
  impl_->requirePathCodec();
  if (auto index = impl_->snapshotIndex(planID, runID)) {
    const SnapshotEntry* entry = index->fileEntry(relPathNorm);
    return entry ? std::optional<SnapshotEntry>(*entry) : std::nullopt;
  }
  return impl_->historyFileEntry(planID, runID, relPathNorm);
}

std::shared_ptr<const SnapshotIndex> BackupCatalog::loadSnapshot(const PlanID& planID, std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  impl_->requireRestorableRun(planID, runID);
  impl_->requirePathCodec();
  if (auto index = impl_->snapshotIndex(planID, runID)) return index;
  return catalog_internal::historySnapshot(impl_->latestHistoryRows(planID, runID));
}

std::vector<RunFileEvent> BackupCatalog::listRunFileEvents(const PlanID& planID, std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  const RepositoryPathCodec& codec = impl_->requirePathCodec();
  StatementHandle statement = impl_->connection.prepareDynamic(
      "SELECT rel_path_ciphertext, rel_path_norm_ciphertext, op, blob_key, size_bytes, created_at, modified_at, "
      "deleted\n"
      "FROM file_events\n"
      "WHERE plan_id = ? AND run_id = ?\n"
      "ORDER BY rel_path_norm_ciphertext ASC;",
      "Failed to prepare listRunFileEvents");
  Row row(impl_->db(), statement.get());
  row.text(1, planID.rawValue());
  row.int64(2, runID);
  std::vector<RunFileEvent> events;
  while (stepRow(impl_->db(), statement.get(), "events of run " + std::to_string(runID))) {
    RunFileEvent event;
    event.relPath = codec.openPath(row.columnBlob(0));
    event.relPathNorm = codec.openPath(row.columnBlob(1));
    event.operation = row.columnText(2);
    event.blobKey = row.optionalText(3);
    event.sizeBytes = row.optionalInt64(4);
    event.createdAt = row.optionalDouble(5);
    event.modifiedAt = row.optionalDouble(6);
    event.deleted = row.columnInt64(7) != 0;
    events.push_back(std::move(event));
  }
  return events;
}

std::unordered_map<std::string, CurrentFileEntry> BackupCatalog::loadCurrentIndex(const PlanID& planID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  const RepositoryPathCodec& codec = impl_->requirePathCodec();
  StatementHandle statement = impl_->connection.prepareDynamic(
      "SELECT rel_path_ciphertext, rel_path_norm_ciphertext, blob_key, size_bytes, created_at, modified_at, "
      "content_id, last_seen_run_id, deleted\n"
      "FROM files_current\n"
      "WHERE plan_id = ?;",
      "Failed to prepare loadCurrentIndex");
  Row row(impl_->db(), statement.get());
  row.text(1, planID.rawValue());
  std::unordered_map<std::string, CurrentFileEntry> index;
  while (stepRow(impl_->db(), statement.get(), "current files of plan " + planID.rawValue())) {
    CurrentFileEntry entry;
    entry.relPath = codec.openPath(row.columnBlob(0));
    entry.relPathNorm = codec.openPath(row.columnBlob(1));
    entry.blobKey = row.columnText(2);
    entry.sizeBytes = row.columnInt64(3);
    entry.createdAt = row.optionalDouble(4);
    entry.modifiedAt = row.columnDouble(5);
    entry.contentID = row.optionalInt64(6);
    entry.lastSeenRunID = row.columnInt64(7);
    entry.deleted = row.columnInt64(8) != 0;
    std::string key = entry.relPathNorm;
    index.insert_or_assign(std::move(key), std::move(entry));
  }
  return index;
}

std::set<std::string> BackupCatalog::checkpointBlobKeys() {
  std::lock_guard<std::mutex> lock(impl_->queue);
  return impl_->checkpointBlobKeys();
}

std::set<std::string> BackupCatalog::referencedBlobKeys() {
  std::lock_guard<std::mutex> lock(impl_->queue);
  return impl_->keySet(
      "SELECT blob_key FROM files_current WHERE blob_key IS NOT NULL\n"
      "UNION\n"
      "SELECT blob_key FROM file_events WHERE blob_key IS NOT NULL\n"
      "UNION\n"
      "SELECT manifest_blob_key FROM checkpoints WHERE manifest_blob_key IS NOT NULL;",
      "Failed to prepare referencedBlobKeys", "referenced blob keys");
}

std::optional<std::string> BackupCatalog::structuralProblem() {
  std::lock_guard<std::mutex> lock(impl_->queue);
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(impl_->db(), "PRAGMA quick_check;", -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    return impl_->connection.sqliteMessage();
  }
  StatementHandle statement(raw);
  // A page too damaged to walk fails the check itself: that is a finding, not an error.
  int rc = sqlite3_step(statement.get());
  if (rc != SQLITE_ROW) {
    if (rc == SQLITE_DONE) return std::nullopt;
    return impl_->connection.sqliteMessage();
  }
  Row row(impl_->db(), statement.get());
  std::string first = row.columnText(0);
  if (first == "ok") return std::nullopt;
  return first;
}

std::optional<bool> BackupCatalog::runIsCaseInsensitive(const PlanID& planID, std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  StatementHandle statement = impl_->connection.prepareDynamic(
      "SELECT case_insensitive FROM runs WHERE plan_id = ? AND id = ?;", "Failed to prepare runIsCaseInsensitive");
  Row row(impl_->db(), statement.get());
  row.text(1, planID.rawValue());
  row.int64(2, runID);
  if (sqlite3_step(statement.get()) != SQLITE_ROW) return std::nullopt;
  return row.columnInt64(0) != 0;
}

std::optional<std::string> BackupCatalog::selectCheckpointBlobKey(const PlanID& planID, std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  return impl_->selectCheckpointBlobKey(planID, runID);
}

std::shared_ptr<const SnapshotIndex> BackupCatalog::snapshotIndex(const PlanID& planID, std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  return impl_->snapshotIndex(planID, runID);
}

std::vector<SnapshotManifest::FileEntry> BackupCatalog::snapshotFileManifestEntries(const PlanID& planID,
                                                                                    std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  return impl_->snapshotFileManifestEntries(planID, runID);
}

std::vector<SnapshotManifest::FileEntry> BackupCatalog::snapshotDirectoryEntries(const PlanID& planID,
                                                                                 std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  return impl_->snapshotDirectoryEntries(planID, runID);
}

// ---------------------------------------------------------------- writes

std::int64_t BackupCatalog::beginRun(const std::string& runUUID, const PlanID& planID, const std::string& sourceRoot,
                                     const std::string& destRoot, bool caseInsensitive,
                                     const std::string& hashAlgorithm, const std::optional<std::string>& engineVersion,
                                     const std::optional<std::string>& sourceVolumeUUID,
                                     const std::optional<std::string>& destVolumeUUID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  const RepositoryPathCodec& codec = impl_->requirePathCodec();
  Bytes sourceCiphertext = codec.sealPath(sourceRoot);
  Bytes destCiphertext = codec.sealPath(destRoot);
  Impl::Pooled pooled(*impl_, kBeginRun);
  Row row = pooled.row();
  row.text(1, runUUID);
  row.text(2, planID.rawValue());
  row.real(3, nowUnixSeconds());
  row.blob(4, sourceCiphertext);
  row.blob(5, destCiphertext);
  row.null(6);
  row.int64(7, caseInsensitive ? 1 : 0);
  row.text(8, hashAlgorithm);
  row.text(9, engineVersion);
  row.text(10, sourceVolumeUUID);
  row.text(11, destVolumeUUID);
  pooled.stepDone("Failed to insert run: ");
  return impl_->renumberPastDeletedRuns(sqlite3_last_insert_rowid(impl_->db()));
}

void BackupCatalog::finishRun(std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  Impl::Pooled pooled(*impl_, kFinishRun);
  Row row = pooled.row();
  row.real(1, nowUnixSeconds());
  row.int64(2, runID);
  pooled.stepDone("Failed to finish run: ");
  if (sqlite3_changes(impl_->db()) == 0) throw catalogError("No run found with id " + std::to_string(runID));
}

void BackupCatalog::markRunFailed(std::int64_t runID, RunStatus status) {
  if (status != RunStatus::failed && status != RunStatus::cancelled) {
    throw catalogError("Only failed or cancelled runs can be marked with markRunFailed.");
  }
  std::lock_guard<std::mutex> lock(impl_->queue);
  Impl::Pooled pooled(*impl_, kMarkRunFailed);
  Row row = pooled.row();
  row.real(1, nowUnixSeconds());
  row.text(2, runStatusName(status));
  row.int64(3, runID);
  pooled.stepDone("Failed to mark run " + runStatusName(status) + ": ");
  if (sqlite3_changes(impl_->db()) == 0) throw catalogError("No run found with id " + std::to_string(runID));
}

void BackupCatalog::deleteRun(const PlanID& planID, const std::string& runUUID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  std::optional<std::int64_t> runID;
  {
    StatementHandle select = impl_->connection.prepareDynamic("SELECT id FROM runs WHERE plan_id = ? AND run_uuid = ?;",
                                                              "Failed to prepare deleteRun");
    Row row(impl_->db(), select.get());
    row.text(1, planID.rawValue());
    row.text(2, runUUID);
    const int rc = sqlite3_step(select.get());
    if (rc == SQLITE_ROW) {
      runID = row.columnInt64(0);
    } else if (rc != SQLITE_DONE) {
      throw catalogError("Failed to delete run: " + impl_->connection.sqliteMessage());
    }
  }
  if (!runID) return;

  // One unit whether or not the caller holds a transaction: the history is carried forward,
  // the current rows are rebuilt, the run's number is retired and the run goes, or nothing
  // changes.
  impl_->connection.exec("SAVEPOINT delete_run;");
  try {
    impl_->carryEventsForwardPast(planID, *runID);
    impl_->rebuildCurrentRowsSeenOnlyBy(planID, *runID);
    impl_->connection.exec(
        "CREATE TABLE IF NOT EXISTS deleted_runs (id INTEGER PRIMARY KEY, run_uuid TEXT NOT NULL, "
        "plan_id TEXT NOT NULL, deleted_at REAL NOT NULL);");
    {
      StatementHandle retire = impl_->connection.prepareDynamic(
          "INSERT OR REPLACE INTO deleted_runs (id, run_uuid, plan_id, deleted_at) VALUES (?, ?, ?, ?);",
          "Failed to prepare deleteRun");
      Row row(impl_->db(), retire.get());
      row.int64(1, *runID);
      row.text(2, runUUID);
      row.text(3, planID.rawValue());
      row.real(4, nowUnixSeconds());
      if (sqlite3_step(retire.get()) != SQLITE_DONE) {
        throw catalogError("Failed to delete run: " + impl_->connection.sqliteMessage());
      }
    }
    StatementHandle statement = impl_->connection.prepareDynamic("DELETE FROM runs WHERE plan_id = ? AND run_uuid = ?;",
                                                                 "Failed to prepare deleteRun");
    Row row(impl_->db(), statement.get());
    row.text(1, planID.rawValue());
    row.text(2, runUUID);
    if (sqlite3_step(statement.get()) != SQLITE_DONE) {
      throw catalogError("Failed to delete run: " + impl_->connection.sqliteMessage());
    }
    impl_->connection.exec("RELEASE delete_run;");
  } catch (...) {
    // The error that stopped the deletion is the one to report; undoing is best effort.
    impl_->connection.execRaw("ROLLBACK TO delete_run;");
    impl_->connection.execRaw("RELEASE delete_run;");
    throw;
  }
}

void BackupCatalog::upsertCurrent(const PlanID& planID, std::int64_t runID, const std::string& relPath,
                                  const std::string& relPathNorm, const std::string& blobKey, std::int64_t sizeBytes,
                                  std::optional<double> createdAt, double modifiedAt,
                                  std::optional<std::int64_t> contentID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  Impl::EncryptedPathRecord record = impl_->encryptedPathRecord(relPath, relPathNorm);
  Impl::Pooled pooled(*impl_, kUpsertCurrent);
  Row row = pooled.row();
  row.text(1, planID.rawValue());
  row.text(2, record.pathID);
  row.blob(3, record.relPathCiphertext);
  row.blob(4, record.relPathNormCiphertext);
  row.text(5, blobKey);
  row.int64(6, sizeBytes);
  row.real(7, createdAt);
  row.real(8, modifiedAt);
  row.int64(9, contentID);
  row.int64(10, runID);
  pooled.stepDone("Failed to upsert current: ");
}

void BackupCatalog::touchCurrent(const PlanID& planID, std::int64_t runID, const std::string& relPathNorm) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  std::string pathID = impl_->requirePathCodec().pathIDForNormalizedPath(relPathNorm);
  Impl::Pooled pooled(*impl_, kTouchCurrent);
  Row row = pooled.row();
  row.int64(1, runID);
  row.text(2, planID.rawValue());
  row.text(3, pathID);
  pooled.stepDone("Failed to touch current: ");
  // A path the caller believes unchanged but that has no current row would drop out of
  // every later snapshot; say so instead of recording nothing.
  if (sqlite3_changes(impl_->db()) == 0) throw catalogError("No current file found for path ID " + pathID);
}

void BackupCatalog::insertEvent(std::int64_t runID, const PlanID& planID, const std::string& relPath,
                                const std::string& relPathNorm, const std::string& op,
                                const std::optional<std::string>& blobKey, std::optional<std::int64_t> sizeBytes,
                                std::optional<double> createdAt, std::optional<double> modifiedAt,
                                std::optional<std::int64_t> contentID, bool deleted) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  Impl::EncryptedPathRecord record = impl_->encryptedPathRecord(relPath, relPathNorm);
  impl_->insertEventRecord(runID, planID, record.pathID, record.relPathCiphertext, record.relPathNormCiphertext, op,
                           blobKey, sizeBytes, createdAt, modifiedAt, contentID, deleted, nowUnixSeconds(),
                           "Failed to insert event: ");
}

int BackupCatalog::sweepDeletionsAndRecordEvents(const PlanID& planID, std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  int count = 0;
  double sweepTime = nowUnixSeconds();
  {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(impl_->db(),
                           "SELECT path_id, rel_path_ciphertext, rel_path_norm_ciphertext, blob_key, size_bytes, "
                           "created_at, modified_at, content_id\n"
                           "FROM files_current\n"
                           "WHERE plan_id = ?1 AND deleted = 0 AND last_seen_run_id != ?2\n"
                           // A file this run found replaced by a folder gets no delete event
                           // after the folder's own: the folder's event says what happened.
                           "  AND NOT EXISTS (SELECT 1 FROM file_events AS e WHERE e.plan_id = ?1 AND e.run_id = ?2\n"
                           "                  AND e.path_id = files_current.path_id AND e.blob_key IS NULL);",
                           -1, &raw, nullptr) != SQLITE_OK) {
      sqlite3_finalize(raw);
      throw catalogError("Failed to prepare deletion sweep select: " + impl_->connection.sqliteMessage());
    }
    StatementHandle select(raw);
    Row row(impl_->db(), select.get());
    row.text(1, planID.rawValue());
    row.int64(2, runID);
    while (stepRow(impl_->db(), select.get(), "files for the deletion sweep")) {
      impl_->insertEventRecord(runID, planID, row.columnText(0), row.columnBlob(1), row.columnBlob(2), "delete",
                               row.optionalText(3), row.optionalInt64(4), row.optionalDouble(5), row.optionalDouble(6),
                               row.optionalInt64(7), true, sweepTime, "Failed to insert delete event: ");
      ++count;
    }
  }
  StatementHandle update = impl_->connection.prepareDynamic(
      "UPDATE files_current SET deleted = 1, deleted_at = ?, last_seen_run_id = ?\n"
      "WHERE plan_id = ? AND deleted = 0 AND last_seen_run_id != ?;",
      "Failed to prepare deletion sweep update");
  Row row(impl_->db(), update.get());
  row.real(1, sweepTime);
  row.int64(2, runID);
  row.text(3, planID.rawValue());
  row.int64(4, runID);
  if (sqlite3_step(update.get()) != SQLITE_DONE) {
    throw catalogError("Failed to mark deleted: " + impl_->connection.sqliteMessage());
  }
  return count;
}

int BackupCatalog::sweepDirectoryDeletionsAndRecordEvents(const PlanID& planID, std::int64_t runID,
                                                          const std::set<std::string>& seenRelPathNorms) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  const RepositoryPathCodec& codec = impl_->requirePathCodec();
  std::unordered_set<std::string> seenPathIDs;
  for (const std::string& path : seenRelPathNorms) seenPathIDs.insert(codec.pathIDForNormalizedPath(path));

  struct Missing {
    std::string pathID;
    Bytes relPathCiphertext;
    Bytes relPathNormCiphertext;
  };
  std::vector<Missing> missing;
  double sweepTime = nowUnixSeconds();
  {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(impl_->db(),
                           "WITH latest_directories AS (\n"
                           "  SELECT path_id, rel_path_ciphertext, rel_path_norm_ciphertext, op, deleted, run_id,\n"
                           "         ROW_NUMBER() OVER (PARTITION BY path_id ORDER BY run_id DESC, id DESC) AS rn\n"
                           "  FROM file_events\n"
                           "  WHERE plan_id = ?1 AND blob_key IS NULL\n"
                           ")\n"
                           "SELECT path_id, rel_path_ciphertext, rel_path_norm_ciphertext\n"
                           "FROM latest_directories\n"
                           "WHERE rn = 1 AND deleted = 0 AND op = 'mkdir' AND run_id != ?2\n"
                           // Nor a folder this run found replaced by a file.
                           "  AND NOT EXISTS (SELECT 1 FROM file_events AS e WHERE e.plan_id = ?1 AND e.run_id = ?2\n"
                           "                  AND e.path_id = latest_directories.path_id AND e.blob_key IS NOT NULL);",
                           -1, &raw, nullptr) != SQLITE_OK) {
      sqlite3_finalize(raw);
      throw catalogError("Failed to prepare directory deletion sweep: " + impl_->connection.sqliteMessage());
    }
    StatementHandle select(raw);
    Row row(impl_->db(), select.get());
    row.text(1, planID.rawValue());
    row.int64(2, runID);
    // Collected first: the events go into the table this query reads.
    while (stepRow(impl_->db(), select.get(), "directories for the deletion sweep")) {
      std::string pathID = row.columnText(0);
      if (seenPathIDs.count(pathID) != 0) continue;
      missing.push_back({std::move(pathID), row.columnBlob(1), row.columnBlob(2)});
    }
  }
  for (const Missing& item : missing) {
    impl_->insertEventRecord(runID, planID, item.pathID, item.relPathCiphertext, item.relPathNormCiphertext, "delete",
                             std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, true, sweepTime,
                             "Failed to insert directory delete event: ");
  }
  return static_cast<int>(missing.size());
}

void BackupCatalog::updateRunSummary(std::int64_t runID, const BackupRunSummary& summary) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  Impl::Pooled pooled(*impl_, kUpdateRunSummary);
  Row row = pooled.row();
  row.int64(1, summary.filesTotalCount);
  row.int64(2, summary.filesTotalBytes);
  row.int64(3, summary.filesCopyCount);
  row.int64(4, summary.filesReplaceCount);
  row.int64(5, summary.filesSkippedCount);
  row.int64(6, summary.filesDeletedCount);
  row.int64(7, runID);
  pooled.stepDone("Failed to update run summary: ");
}

std::string BackupCatalog::writeSnapshotCheckpoint(const PlanID& planID, std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  std::optional<std::string> previousKey = impl_->selectCheckpointBlobKey(planID, runID);
  std::vector<SnapshotManifest::FileEntry> fileEntries = impl_->snapshotFileManifestEntries(planID, runID);
  std::vector<SnapshotManifest::FileEntry> directoryEntries = impl_->snapshotDirectoryEntries(planID, runID);

  // Recorded directories first, then every ancestor of every file; the first per path stays.
  SnapshotManifest manifest;
  manifest.version = 1;
  manifest.createdAt = nowUnixSeconds();
  std::unordered_set<std::string> directoryPaths;
  for (SnapshotManifest::FileEntry& entry : directoryEntries) {
    if (directoryPaths.insert(entry.relPathNorm).second) manifest.files.push_back(std::move(entry));
  }
  for (const SnapshotManifest::FileEntry& file : fileEntries) {
    std::string_view norm = trimSlashes(file.relPathNorm);
    std::vector<std::string_view> normParts = catalog_internal::splitPath(norm);
    std::vector<std::string_view> displayParts = catalog_internal::splitPath(trimSlashes(file.relPath));
    bool displayMatches = displayParts.size() == normParts.size();
    std::string dirNorm, dirDisplay;
    for (std::size_t level = 0; level + 1 < normParts.size(); ++level) {
      if (level > 0) {
        dirNorm += '/';
        dirDisplay += '/';
      }
      dirNorm += normParts[level];
      dirDisplay += displayMatches ? displayParts[level] : normParts[level];
      if (!directoryPaths.insert(dirNorm).second) continue;
      SnapshotManifest::FileEntry directory;
      directory.relPath = dirDisplay;
      directory.relPathNorm = dirNorm;
      directory.kind = "directory";
      manifest.files.push_back(std::move(directory));
    }
  }
  for (SnapshotManifest::FileEntry& file : fileEntries) manifest.files.push_back(std::move(file));

  if (!impl_->repositoryKeyMaterial) throw catalogError(kNoCheckpointKeyMessage);
  std::string json = manifest.toJSON();
  Bytes sealed = EncryptedBlobCodec(*impl_->repositoryKeyMaterial).seal(bytesOf(json));
  std::string manifestKey = BackupCatalogBlobStore::blobKey(sealed);
  BackupCatalogBlobStore::writeBlobIfNeeded(sealed, manifestKey, impl_->rootURL);

  {
    Impl::Pooled pooled(*impl_, kInsertCheckpoint);
    Row row = pooled.row();
    row.text(1, planID.rawValue());
    row.int64(2, runID);
    row.text(3, manifestKey);
    row.real(4, nowUnixSeconds());
    if (pooled.step() != SQLITE_DONE) {
      std::string message = "Failed to insert checkpoint: " + impl_->connection.sqliteMessage();
      BackupCatalogBlobStore::removeBlobIfExists(manifestKey, impl_->rootURL);
      throw catalogError(message);
    }
  }

  if (previousKey && *previousKey != manifestKey) {
    std::set<std::string> stillReferenced = impl_->checkpointBlobKeys();
    if (stillReferenced.count(*previousKey) == 0) impl_->removeBlobNowOrAfterCommit(*previousKey);
  }
  return manifestKey;
}

}  // namespace tvr
