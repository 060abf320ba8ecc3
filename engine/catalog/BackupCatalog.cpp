#include "engine/catalog/BackupCatalog.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>

#include "engine/catalog/CatalogImpl.h"
#include "engine/metadata/RepositoryMetadata.h"
#include "engine/storage/BackupCatalogBlobStore.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"

namespace tvr {

namespace fs = std::filesystem;
using catalog_internal::catalogError;
using catalog_internal::Row;
using catalog_internal::StatementHandle;

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

// ---------------------------------------------------------------- opening and closing

namespace {

// A private copy only the owner can read (the catalog names every backed-up path).
void copyFileBytes(const fs::path& from, const fs::path& to) {
  auto copyFailed = [&](int err) { return PosixError("copy", err, from.string()); };
  OpenFile in;
  try {
    in = openRegularFileForReading(from, true);  // a FIFO put in its place since the caller's check never hangs
  } catch (const PosixError& error) {
    throw copyFailed(error.err());
  }
  OpenFile out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (out.get() < 0) throw copyFailed(errno);
  if (int err = copyRemainingBytes(in.get(), out.get())) throw copyFailed(err);
  try {
    out.close(to);
  } catch (const PosixError& error) {
    throw copyFailed(error.err());
  }
}

}  // namespace

BackupCatalog::Impl::~Impl() {
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
fs::path BackupCatalog::Impl::makePrivateCopy(const fs::path& catalogURL, const fs::path& journalURL) {
  std::string pattern = (fs::temp_directory_path() / "tvr-catalog-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw PosixError("mkdtemp", errno, pattern);
  privateCopyDirectory = pattern;
  fs::path copy = privateCopyDirectory / BackupCatalog::kCatalogFileName;
  copyFileBytes(catalogURL, copy);
  copyFileBytes(journalURL, fs::path(copy.string() + "-journal"));
  return copy;
}

void BackupCatalog::Impl::initializeSchemaIfNeeded(OpenMode mode) {
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
  connection.exec(catalog_internal::kSchemaScript);
  connection.exec(("PRAGMA user_version=" + std::to_string(kSupportedSchemaVersion) + ";").c_str());
}

BackupCatalog::BackupCatalog(const fs::path& root, const std::optional<RepositoryKeyMaterial>& repositoryKeyMaterial,
                             OpenMode mode, Clock clock)
    : impl_(std::make_unique<Impl>()) {
  impl_->clock = std::move(clock);
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

}  // namespace tvr
