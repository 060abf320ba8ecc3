// tvr_scale_gen: writes a large synthetic encrypted repository for the scale benchmark.
//
// A real writer run (the engine's own writer, through tools/tvr-writer) creates repo.json,
// plans.json, the catalog and run 1 with a few real files under "Échantillons/Réel", so that a
// restore of one of those works. The synthetic runs 2..R then go straight into the catalog
// schema with SQL in one transaction per run, paths sealed and keyed by the engine's path
// codec: run 2 records N files in N/100 folders two levels deep, each later run replaces C files,
// adds and deletes C/100 (at least one) of them. Catalog rows of the synthetic files point at
// blob keys that have no blob. With --checkpoint the last run gets a checkpoint through the
// catalog's own checkpoint writer.
//
// --all-real instead backs up a real source tree of N files R times with the writer (every
// blob real: verify and export work); --write-checkpoint rewrites one run's checkpoint alone,
// so that the checkpoint writer can be measured by itself.
//
// Names, sizes, dates, blob keys and which files change follow from --seed; the repository
// key, run UUID of run 1 and the sealed paths (random nonces) differ from one generation to
// the next.
#include <sqlite3.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/catalog/BackupCatalog.h"
#include "engine/crypto/RecoveryKeyWrapping.h"
#include "engine/crypto/RepositoryPathCodec.h"
#include "engine/metadata/RepositoryMetadata.h"
#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "tools/tvr-writer/RepositoryWriter.h"

namespace fs = std::filesystem;

namespace {

const char* kUsage =
    "usage: tvr_scale_gen --repository <folder> --recovery-password-file <file> --files <N>\n"
    "                     --runs <R> --changes <C> [--plan <plan-id>] [--seed <n>] [--checkpoint]\n"
    "                     [--all-real] [--object-stubs <folder>]\n"
    "       tvr_scale_gen --write-checkpoint --repository <folder> --recovery-password-file <file>\n"
    "                     --plan <plan-id> --run <run-id>\n"
    "The repository folder must not exist yet (except with --write-checkpoint).\n"
    "--object-stubs writes a second object folder with an empty file for every synthetic blob\n"
    "key plus links to the repository's own objects, for listing benchmarks (hydrate-local).\n";

constexpr std::int64_t kRealFileCount = 5;
constexpr double kEpoch2024 = 1704067200.0;  // 2024-01-01 00:00:00 UTC

struct Options {
  fs::path repository;
  fs::path passwordFile;
  std::string plan = "scale-plan";
  std::int64_t files = 0;
  std::int64_t runs = 0;
  std::int64_t changes = 0;
  std::uint64_t seed = 1;
  bool checkpoint = false;
  bool allReal = false;
  std::optional<fs::path> objectStubs;
  bool writeCheckpointOnly = false;
  std::int64_t run = 0;
};

std::string readPassword(const fs::path& file) {
  tvr::Bytes bytes = tvr::readFileBytes(file);
  std::string text(bytes.begin(), bytes.end());
  tvr::secureWipe(bytes.data(), bytes.size());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

tvr::RepositoryKeyMaterial unlock(const fs::path& repository, const fs::path& passwordFile) {
  std::optional<tvr::RepositoryMetadata> metadata = tvr::RepositoryMetadata::read(repository);
  if (!metadata || !metadata->encryption || !metadata->encryption->recoveryWrappedKey) {
    throw tvr::platformError("ScaleGenerator", "The repository holds no recovery-wrapped key.");
  }
  std::string password = readPassword(passwordFile);
  tvr::RepositoryKeyMaterial key =
      tvr::RecoveryKeyWrapping::unwrap(*metadata->encryption->recoveryWrappedKey, password);
  tvr::secureWipe(password.data(), password.size());
  return key;
}

// --- Synthetic names: some with capitals, precomposed accents and decomposed accents (the
// normalised form folds them), most plain.
std::string topFolderName(std::int64_t t) {
  char buffer[64];
  switch (t % 4) {
    case 0:
      std::snprintf(buffer, sizeof buffer, "Projets %02lld", static_cast<long long>(t));
      break;
    case 1:
      std::snprintf(buffer, sizeof buffer, "\xC3\x89t\xC3\xA9 %02lld", static_cast<long long>(t));
      break;
    case 2:
      std::snprintf(buffer, sizeof buffer, "ARCHIVES-%02lld", static_cast<long long>(t));
      break;
    default:
      std::snprintf(buffer, sizeof buffer, "Cafe\xCC\x81 %02lld", static_cast<long long>(t));
      break;
  }
  return buffer;
}

std::string leafFolderName(std::int64_t l) {
  char buffer[64];
  switch (l % 5) {
    case 0:
      std::snprintf(buffer, sizeof buffer, "Album %05lld", static_cast<long long>(l));
      break;
    case 1:
      std::snprintf(buffer, sizeof buffer, "R\xC3\xA9sum\xC3\xA9-%05lld", static_cast<long long>(l));
      break;
    case 2:
      std::snprintf(buffer, sizeof buffer, "RAW %05lld", static_cast<long long>(l));
      break;
    case 3:
      std::snprintf(buffer, sizeof buffer, "documents_%05lld", static_cast<long long>(l));
      break;
    default:
      std::snprintf(buffer, sizeof buffer, "\xC3\x96lgem\xC3\xA4lde %05lld", static_cast<long long>(l));
      break;
  }
  return buffer;
}

std::string fileName(std::int64_t id) {
  char buffer[64];
  switch (id % 6) {
    case 0:
      std::snprintf(buffer, sizeof buffer, "IMG_%07lld.JPG", static_cast<long long>(id));
      break;
    case 1:
      std::snprintf(buffer, sizeof buffer, "Photo %07lld.jpeg", static_cast<long long>(id));
      break;
    case 2:
      std::snprintf(buffer, sizeof buffer, "Facture \xC3\xA9t\xC3\xA9 %07lld.PDF", static_cast<long long>(id));
      break;
    case 3:
      std::snprintf(buffer, sizeof buffer, "notes-%07lld.txt", static_cast<long long>(id));
      break;
    case 4:
      std::snprintf(buffer, sizeof buffer, "\xC3\x85ngstr\xC3\xB6m %07lld.dat", static_cast<long long>(id));
      break;
    default:
      std::snprintf(buffer, sizeof buffer, "data_%07lld.bin", static_cast<long long>(id));
      break;
  }
  return buffer;
}

// N/100 leaf folders under at most 100 top folders; leaf l lies in top l % tops.
struct Layout {
  std::int64_t leaves = 1;
  std::int64_t tops = 1;
  explicit Layout(std::int64_t files) {
    leaves = std::max<std::int64_t>(1, files / 100);
    tops = std::min<std::int64_t>(100, leaves);
  }
  std::string topPath(std::int64_t leaf) const { return topFolderName(leaf % tops); }
  std::string leafPath(std::int64_t leaf) const { return topPath(leaf) + "/" + leafFolderName(leaf); }
  std::string filePath(std::int64_t leaf, std::int64_t id) const { return leafPath(leaf) + "/" + fileName(id); }
};

std::string hexKey(std::mt19937_64& rng) {
  static const char* digits = "0123456789abcdef";
  std::string key(64, '0');
  for (int word = 0; word < 4; ++word) {
    std::uint64_t bits = rng();
    for (int i = 0; i < 16; ++i) key[static_cast<std::size_t>(word * 16 + i)] = digits[(bits >> (4 * i)) & 0xF];
  }
  return key;
}

std::string uuidFrom(std::mt19937_64& rng) {
  std::string hex = hexKey(rng).substr(0, 32);
  for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-4" + hex.substr(13, 3) + "-8" + hex.substr(17, 3) + "-" +
         hex.substr(20, 12);
}

// --- Thin SQLite helpers for the bulk part.
class Database {
 public:
  explicit Database(const fs::path& file) {
    if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) fail("open");
    exec("PRAGMA foreign_keys=ON;");
    // Bulk load without a rollback journal: the repository is thrown away if the generator dies
    // half way. The cache holds most index pages of a million-file catalog, so that the random
    // path-id inserts of the change runs rarely read or write a page twice.
    exec("PRAGMA synchronous=OFF;");
    exec("PRAGMA journal_mode=OFF;");
    exec("PRAGMA cache_size=-1048576;");
  }
  ~Database() { sqlite3_close_v2(db_); }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  void exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(sql);
  }
  sqlite3_stmt* prepare(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK) fail(sql);
    return statement;
  }
  void step(sqlite3_stmt* statement) {
    if (sqlite3_step(statement) != SQLITE_DONE) fail(sqlite3_sql(statement));
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
  }
  [[noreturn]] void fail(const std::string& what) {
    throw tvr::platformError("ScaleGenerator", "SQLite failed at " + what + ": " + sqlite3_errmsg(db_));
  }

 private:
  sqlite3* db_ = nullptr;
};

struct Statement {
  sqlite3_stmt* handle;
  explicit Statement(sqlite3_stmt* h) : handle(h) {}
  ~Statement() { sqlite3_finalize(handle); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  void text(int i, const std::string& value) {
    sqlite3_bind_text(handle, i, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  }
  void blob(int i, const tvr::Bytes& value) {
    sqlite3_bind_blob(handle, i, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  }
  void integer(int i, std::int64_t value) { sqlite3_bind_int64(handle, i, value); }
  void real(int i, double value) { sqlite3_bind_double(handle, i, value); }
};

struct SyntheticFile {
  std::int64_t leaf = 0;
  std::string blobKey;
  std::int64_t size = 0;
  double createdAt = 0;
  double modifiedAt = 0;
  bool live = false;
};

struct Sealed {
  std::string pathID;
  tvr::Bytes relPath;
  tvr::Bytes relPathNorm;
};

class SyntheticWriter {
 public:
  SyntheticWriter(const Options& options, const tvr::RepositoryPathCodec& codec, Database& db)
      : options_(options),
        codec_(codec),
        db_(db),
        layout_(options.files),
        rng_(options.seed),
        insertRun_(db.prepare(
            "INSERT INTO runs (run_uuid, plan_id, started_at, finished_at, source_path_ciphertext, "
            "dest_path_ciphertext, notes, case_insensitive, hash_algorithm, engine_version, source_volume_uuid, "
            "dest_volume_uuid, status, files_total_count, files_total_bytes, files_copy_count, files_replace_count, "
            "files_skipped_count, files_deleted_count) VALUES (?, ?, ?, ?, ?, ?, NULL, 1, 'hmac-sha256', "
            "'tvr-scale-gen 1', NULL, NULL, 'completed', ?, ?, ?, ?, ?, ?);")),
        insertEvent_(db.prepare(
            "INSERT INTO file_events (run_id, plan_id, path_id, rel_path_ciphertext, rel_path_norm_ciphertext, op, "
            "blob_key, size_bytes, created_at, modified_at, content_id, deleted, ts) VALUES (?, ?, ?, ?, ?, ?, ?, ?, "
            "?, ?, NULL, ?, ?);")),
        upsertCurrent_(db.prepare(
            "INSERT INTO files_current (plan_id, path_id, rel_path_ciphertext, rel_path_norm_ciphertext, blob_key, "
            "size_bytes, created_at, modified_at, content_id, last_seen_run_id, deleted, deleted_at) VALUES (?, ?, "
            "?, ?, ?, ?, ?, ?, NULL, ?, ?, ?) ON CONFLICT(plan_id, path_id) DO UPDATE SET "
            "rel_path_ciphertext=excluded.rel_path_ciphertext, "
            "rel_path_norm_ciphertext=excluded.rel_path_norm_ciphertext, blob_key=excluded.blob_key, "
            "size_bytes=excluded.size_bytes, created_at=excluded.created_at, modified_at=excluded.modified_at, "
            "content_id=excluded.content_id, last_seen_run_id=excluded.last_seen_run_id, deleted=excluded.deleted, "
            "deleted_at=excluded.deleted_at;")) {}

  // Runs 2..R; returns the id of the last run.
  std::int64_t write(double firstRunStartedAt, const std::string& sourceRoot, const std::string& destRoot) {
    // Each commit writes every dirtied index page once: group the small change runs.
    constexpr std::int64_t kRunsPerTransaction = 25;
    auto started = std::chrono::steady_clock::now();
    std::int64_t lastRun = 0;
    for (std::int64_t r = 2; r <= options_.runs; ++r) {
      double startedAt = firstRunStartedAt + static_cast<double>(r - 1) * 3600.0;
      if (r == 2 || r == 3 || (r - 3) % kRunsPerTransaction == 0) db_.exec("BEGIN IMMEDIATE;");
      std::int64_t runID = insertRun(startedAt, sourceRoot, destRoot);
      Counts counts = r == 2 ? initialRun(runID, startedAt) : changeRun(runID, startedAt);
      updateSummary(runID, counts);
      if (r == 2 || r == options_.runs || (r - 2) % kRunsPerTransaction == 0) db_.exec("COMMIT;");
      lastRun = runID;
      if (r == 2 || r % 50 == 0 || r == options_.runs) {
        std::cerr << "run " << runID << ": " << counts.copied << " new, " << counts.replaced << " replaced, "
                  << counts.deleted << " deleted ("
                  << std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() << " s)\n";
      }
    }
    // Unchanged files were seen by every run (the writer touches them); once is enough at the end.
    Statement touch(db_.prepare("UPDATE files_current SET last_seen_run_id = ? WHERE plan_id = ? AND deleted = 0;"));
    touch.integer(1, lastRun);
    touch.text(2, options_.plan);
    db_.step(touch.handle);
    return lastRun;
  }

  const std::vector<SyntheticFile>& files() const { return files_; }
  const std::vector<std::string>& deadBlobKeys() const { return replacedBlobKeys_; }

 private:
  struct Counts {
    std::int64_t copied = 0, replaced = 0, deleted = 0;
  };

  std::int64_t insertRun(double startedAt, const std::string& sourceRoot, const std::string& destRoot) {
    insertRun_.text(1, uuidFrom(rng_));
    insertRun_.text(2, options_.plan);
    insertRun_.real(3, startedAt);
    insertRun_.real(4, startedAt + 600.0);
    insertRun_.blob(5, codec_.sealPath(sourceRoot));
    insertRun_.blob(6, codec_.sealPath(destRoot));
    for (int i = 7; i <= 12; ++i) insertRun_.integer(i, 0);
    db_.step(insertRun_.handle);
    return sqlite3_last_insert_rowid(sqliteHandle());
  }

  sqlite3* sqliteHandle() { return sqlite3_db_handle(insertRun_.handle); }

  void updateSummary(std::int64_t runID, const Counts& counts) {
    std::int64_t live = 0, bytes = 0;
    for (const SyntheticFile& file : files_) {
      if (!file.live) continue;
      ++live;
      bytes += file.size;
    }
    Statement update(db_.prepare(
        "UPDATE runs SET files_total_count = ?, files_total_bytes = ?, files_copy_count = ?, files_replace_count = ?, "
        "files_skipped_count = ?, files_deleted_count = ? WHERE id = ?;"));
    update.integer(1, live);
    update.integer(2, bytes);
    update.integer(3, counts.copied);
    update.integer(4, counts.replaced);
    update.integer(5, live - counts.copied - counts.replaced);
    update.integer(6, counts.deleted);
    update.integer(7, runID);
    db_.step(update.handle);
  }

  Sealed seal(const std::string& relPath) {
    std::string norm = tvr::normalizedRelPath(relPath, true);
    return {codec_.pathIDForNormalizedPath(norm), codec_.sealPath(relPath), codec_.sealPath(norm)};
  }

  void event(std::int64_t runID, double ts, const Sealed& sealed, const char* op, const SyntheticFile* file,
             double directoryDate, bool deleted) {
    Statement& s = insertEvent_;
    s.integer(1, runID);
    s.text(2, options_.plan);
    s.text(3, sealed.pathID);
    s.blob(4, sealed.relPath);
    s.blob(5, sealed.relPathNorm);
    s.text(6, op);
    if (file) {
      s.text(7, file->blobKey);
      s.integer(8, file->size);
      s.real(9, file->createdAt);
      s.real(10, file->modifiedAt);
    } else {
      s.real(9, directoryDate);
      s.real(10, directoryDate);
    }
    s.integer(11, deleted ? 1 : 0);
    s.real(12, ts);
    db_.step(s.handle);
  }

  void current(std::int64_t runID, double ts, const Sealed& sealed, const SyntheticFile& file, bool deleted) {
    Statement& s = upsertCurrent_;
    s.text(1, options_.plan);
    s.text(2, sealed.pathID);
    s.blob(3, sealed.relPath);
    s.blob(4, sealed.relPathNorm);
    s.text(5, file.blobKey);
    s.integer(6, file.size);
    s.real(7, file.createdAt);
    s.real(8, file.modifiedAt);
    s.integer(9, runID);
    s.integer(10, deleted ? 1 : 0);
    if (deleted) s.real(11, ts);
    db_.step(s.handle);
  }

  void newContent(SyntheticFile& file, double runTime) {
    file.blobKey = hexKey(rng_);
    file.size = static_cast<std::int64_t>(rng_() % (4u << 20));
    file.modifiedAt = runTime - static_cast<double>(rng_() % 86400);
  }

  void addFile(std::int64_t runID, double ts, std::int64_t leaf) {
    SyntheticFile file;
    file.leaf = leaf;
    file.createdAt = kEpoch2024 + static_cast<double>(rng_() % (2 * 365 * 86400));
    newContent(file, ts);
    file.modifiedAt = std::max(file.modifiedAt, file.createdAt);
    file.live = true;
    if (live_ >= 0) ++live_;
    std::int64_t id = static_cast<std::int64_t>(files_.size());
    files_.push_back(file);
    Sealed sealed = seal(layout_.filePath(leaf, id));
    event(runID, ts, sealed, "copy", &files_.back(), 0, false);
    current(runID, ts, sealed, files_.back(), false);
  }

  Counts initialRun(std::int64_t runID, double ts) {
    Counts counts;
    double directoryDate = kEpoch2024;
    for (std::int64_t t = 0; t < layout_.tops; ++t) {
      event(runID, ts, seal(topFolderName(t)), "mkdir", nullptr, directoryDate, false);
    }
    for (std::int64_t l = 0; l < layout_.leaves; ++l) {
      event(runID, ts, seal(layout_.leafPath(l)), "mkdir", nullptr, directoryDate + static_cast<double>(l), false);
    }
    files_.reserve(static_cast<std::size_t>(options_.files + options_.runs * (options_.changes / 100 + 1)));
    for (std::int64_t i = 0; i < options_.files; ++i) {
      addFile(runID, ts, std::min(i / 100, layout_.leaves - 1));
      ++counts.copied;
      if ((i + 1) % 200000 == 0) std::cerr << "  " << (i + 1) << " files\n";
    }
    return counts;
  }

  std::int64_t randomLiveFile() {
    for (;;) {
      std::int64_t id = static_cast<std::int64_t>(rng_() % files_.size());
      if (files_[static_cast<std::size_t>(id)].live) return id;
    }
  }

  Counts changeRun(std::int64_t runID, double ts) {
    Counts counts;
    std::int64_t fewCount = std::max<std::int64_t>(1, options_.changes / 100);
    std::set<std::int64_t> touched;
    while (static_cast<std::int64_t>(touched.size()) < std::min<std::int64_t>(options_.changes, liveCount())) {
      touched.insert(randomLiveFile());
    }
    for (std::int64_t id : touched) {
      SyntheticFile& file = files_[static_cast<std::size_t>(id)];
      replacedBlobKeys_.push_back(file.blobKey);
      newContent(file, ts);
      Sealed sealed = seal(layout_.filePath(file.leaf, id));
      event(runID, ts, sealed, "replace", &file, 0, false);
      current(runID, ts, sealed, file, false);
      ++counts.replaced;
    }
    const std::size_t firstAdded = files_.size();
    for (std::int64_t i = 0; i < fewCount; ++i) {
      addFile(runID, ts, static_cast<std::int64_t>(rng_() % static_cast<std::uint64_t>(layout_.leaves)));
      ++counts.copied;
    }
    for (std::int64_t i = 0; i < fewCount && liveCount() > 1; ++i) {
      std::int64_t id = randomLiveFile();
      // A path has one event per run.
      if (touched.count(id) || static_cast<std::size_t>(id) >= firstAdded) continue;
      SyntheticFile& file = files_[static_cast<std::size_t>(id)];
      file.live = false;
      --live_;
      Sealed sealed = seal(layout_.filePath(file.leaf, id));
      event(runID, ts, sealed, "delete", &file, 0, true);
      current(runID, ts, sealed, file, true);
      ++counts.deleted;
    }
    return counts;
  }

  std::int64_t liveCount() {
    if (live_ < 0) {
      live_ = 0;
      for (const SyntheticFile& file : files_) live_ += file.live ? 1 : 0;
    }
    return live_;
  }

  const Options& options_;
  const tvr::RepositoryPathCodec& codec_;
  Database& db_;
  Layout layout_;
  std::mt19937_64 rng_;
  Statement insertRun_;
  Statement insertEvent_;
  Statement upsertCurrent_;
  std::vector<SyntheticFile> files_;
  std::vector<std::string> replacedBlobKeys_;
  std::int64_t live_ = -1;
};

void writeBytes(const fs::path& file, std::mt19937_64& rng, std::size_t size) {
  fs::create_directories(file.parent_path());
  std::string content(size, '\0');
  for (char& c : content) c = static_cast<char>('a' + rng() % 26);
  std::ofstream(file, std::ios::binary) << content;
}

tvr::tools::RepositoryWriterResult writerRun(const Options& options, const fs::path& source, bool checkpoint) {
  tvr::tools::RepositoryWriterOptions writer;
  writer.repository = options.repository;
  writer.planID = tvr::PlanID(options.plan);
  writer.planName = "Scale benchmark";
  writer.source = source;
  writer.recoveryPassword = readPassword(options.passwordFile);
  writer.writeCheckpoint = checkpoint;
  writer.caseInsensitive = true;
  tvr::tools::RepositoryWriterResult result = tvr::tools::writeRun(writer);
  tvr::secureWipe(writer.recoveryPassword.data(), writer.recoveryPassword.size());
  return result;
}

fs::path sourceFolder(const Options& options) {
  fs::path repository = fs::absolute(options.repository).lexically_normal();
  return repository.parent_path() / (repository.filename().string() + ".source");
}

// Every blob real: a source tree of N files, backed up R times with C files rewritten, a few
// added and a few deleted between runs.
void generateAllReal(const Options& options) {
  std::mt19937_64 rng(options.seed);
  fs::path source = sourceFolder(options);
  fs::remove_all(source);
  Layout layout(options.files);
  std::vector<std::pair<std::int64_t, bool>> files;  // leaf, live
  auto fileURL = [&](std::int64_t id) {
    return source / layout.filePath(files[static_cast<std::size_t>(id)].first, id);
  };
  for (std::int64_t i = 0; i < options.files; ++i) {
    files.push_back({std::min(i / 100, layout.leaves - 1), true});
    writeBytes(fileURL(i), rng, 256 + rng() % 8192);
  }
  for (std::int64_t r = 1; r <= options.runs; ++r) {
    if (r > 1) {
      std::int64_t few = std::max<std::int64_t>(1, options.changes / 100);
      for (std::int64_t c = 0; c < options.changes; ++c) {
        std::int64_t id = static_cast<std::int64_t>(rng() % files.size());
        if (files[static_cast<std::size_t>(id)].second) writeBytes(fileURL(id), rng, 256 + rng() % 8192);
      }
      for (std::int64_t c = 0; c < few; ++c) {
        files.push_back({static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(layout.leaves)), true});
        writeBytes(fileURL(static_cast<std::int64_t>(files.size()) - 1), rng, 256 + rng() % 8192);
        std::int64_t gone = static_cast<std::int64_t>(rng() % files.size());
        if (files[static_cast<std::size_t>(gone)].second) {
          fs::remove(fileURL(gone));
          files[static_cast<std::size_t>(gone)].second = false;
        }
      }
    }
    auto result = writerRun(options, source, options.checkpoint && r == options.runs);
    std::cerr << "run " << result.runID << ": " << result.filesCopied << " new, " << result.filesReplaced
              << " replaced, " << result.filesDeleted << " deleted\n";
  }
}

// Empty stand-ins for the synthetic blobs, next to links to the repository's real objects.
void writeObjectStubs(const Options& options, const SyntheticWriter& writer) {
  fs::path stubs = *options.objectStubs;
  fs::remove_all(stubs);
  fs::create_directories(stubs / "blobs");
  for (const auto& entry : fs::recursive_directory_iterator(options.repository)) {
    if (!entry.is_regular_file()) continue;
    fs::path relative = fs::relative(entry.path(), options.repository);
    fs::create_directories((stubs / relative).parent_path());
    fs::create_hard_link(entry.path(), stubs / relative);
  }
  std::set<std::string> made;
  auto stub = [&](const std::string& key) {
    fs::path directory = stubs / "blobs" / key.substr(0, 2);
    if (made.insert(key.substr(0, 2)).second) fs::create_directories(directory);
    std::ofstream(directory / key, std::ios::binary);
  };
  for (const SyntheticFile& file : writer.files()) stub(file.blobKey);
  for (const std::string& key : writer.deadBlobKeys()) stub(key);
}

void generateSynthetic(const Options& options) {
  std::mt19937_64 rng(options.seed ^ 0x5ca1eULL);
  fs::path source = sourceFolder(options);
  fs::remove_all(source);
  for (std::int64_t i = 1; i <= kRealFileCount; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "Fichier r\xC3\xA9\x65l %02lld.txt", static_cast<long long>(i));
    writeBytes(source / "\xC3\x89\x63hantillons" / "R\xC3\xA9\x65l" / name, rng, 16384 + rng() % 65536);
  }
  auto first = writerRun(options, source, false);
  tvr::RepositoryKeyMaterial key = unlock(options.repository, options.passwordFile);
  tvr::RepositoryPathCodec codec(key);
  // Runs an hour apart, the last one about now: run 1 is moved back in time to lead them.
  double firstStartedAt =
      std::floor(std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count()) -
      static_cast<double>(options.runs) * 3600.0;
  std::int64_t lastRun = first.runID;
  {
    Database db(options.repository / tvr::BackupCatalog::kCatalogFileName);
    Statement moveBack(
        db.prepare("UPDATE runs SET finished_at = ? + (finished_at - started_at), started_at = ? WHERE id = ?;"));
    moveBack.real(1, firstStartedAt);
    moveBack.real(2, firstStartedAt);
    moveBack.integer(3, first.runID);
    db.step(moveBack.handle);
    SyntheticWriter writer(options, codec, db);
    lastRun = writer.write(firstStartedAt, fs::absolute(source).string(), fs::absolute(options.repository).string());
    if (options.objectStubs) writeObjectStubs(options, writer);
  }
  if (options.checkpoint) {
    tvr::BackupCatalog catalog(options.repository, key, tvr::BackupCatalog::OpenMode::readWrite);
    std::cerr << "checkpoint of run " << lastRun << ": "
              << catalog.writeSnapshotCheckpoint(tvr::PlanID(options.plan), lastRun) << "\n";
  }
}

void writeCheckpointOnly(const Options& options) {
  tvr::RepositoryKeyMaterial key = unlock(options.repository, options.passwordFile);
  tvr::BackupCatalog catalog(options.repository, key, tvr::BackupCatalog::OpenMode::readWrite);
  std::cout << catalog.writeSnapshotCheckpoint(tvr::PlanID(options.plan), options.run) << "\n";
}

int usageError(const std::string& message) {
  std::cerr << "tvr_scale_gen: " << message << "\n" << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::map<std::string, std::string> values;
  std::set<std::string> flags;
  const std::set<std::string> flagNames = {"--checkpoint", "--all-real", "--write-checkpoint"};
  const std::set<std::string> valueNames = {
      "--repository", "--recovery-password-file", "--files", "--runs", "--changes", "--plan",
      "--seed",       "--object-stubs",           "--run"};
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (flagNames.count(arg)) {
      flags.insert(arg);
    } else if (valueNames.count(arg) && i + 1 < argc) {
      values[arg] = argv[++i];
    } else {
      return usageError("unknown argument or missing value: " + arg);
    }
  }
  try {
    if (!values.count("--repository") || !values.count("--recovery-password-file")) {
      return usageError("--repository and --recovery-password-file are required");
    }
    options.repository = values["--repository"];
    options.passwordFile = values["--recovery-password-file"];
    if (values.count("--plan")) options.plan = values["--plan"];
    options.writeCheckpointOnly = flags.count("--write-checkpoint") != 0;
    if (options.writeCheckpointOnly) {
      if (!values.count("--run")) return usageError("--write-checkpoint needs --run");
      options.run = std::stoll(values["--run"]);
      writeCheckpointOnly(options);
      return 0;
    }
    for (const char* required : {"--files", "--runs", "--changes"}) {
      if (!values.count(required)) return usageError(std::string("missing ") + required);
    }
    options.files = std::stoll(values["--files"]);
    options.runs = std::stoll(values["--runs"]);
    options.changes = std::stoll(values["--changes"]);
    if (values.count("--seed")) options.seed = std::stoull(values["--seed"]);
    options.checkpoint = flags.count("--checkpoint") != 0;
    options.allReal = flags.count("--all-real") != 0;
    if (values.count("--object-stubs")) options.objectStubs = values["--object-stubs"];
    if (options.files < 1 || options.runs < 2 || options.changes < 0) {
      return usageError("--files must be at least 1, --runs at least 2, --changes at least 0");
    }
    if (fs::exists(options.repository)) return usageError("the repository folder exists already");
    auto started = std::chrono::steady_clock::now();
    if (options.allReal) {
      generateAllReal(options);
    } else {
      generateSynthetic(options);
    }
    std::cerr << "generated in " << std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()
              << " s\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "tvr_scale_gen: " << e.what() << "\n";
    return 1;
  }
}
