#include "engine/backup/BackupRunStateStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>

#include "engine/catalog/BackupCatalog.h"
#include "platform/CanonicalJson.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Iso8601.h"
#include "platform/JsonDecoding.h"
#include "platform/Unicode.h"

namespace tvr {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr const char* kDomain = "BackupRunStateStore";
constexpr const char* kRunStateFolder = "run-state";
constexpr const char* kUploadStagingFolder = ".upload-staging";

Error runStateError(const std::string& message) { return Error(kDomain, 1, message); }

const char* recordKindText(BackupRunStateStore::RecordKind kind) {
  return kind == BackupRunStateStore::RecordKind::started ? "started" : "completed";
}

// Runs one step of the decoder; any decoding failure becomes the journal's own error with
// `message`, so no decoder error leaves the store.
template <typename Step>
auto orRunStateError(const std::string& message, Step&& step) -> decltype(step()) {
  try {
    return step();
  } catch (const DecodingError&) {
    throw runStateError(message);
  }
}

// Decodes one journal line; throws on any problem (the caller decides whether it matters).
BackupRunStateStore::Record decodeRecord(const std::string& line) {
  const json document = orRunStateError("Run state record is not valid JSON.", [&] { return parseJsonDocument(line); });
  const JsonObjectDecoder object =
      orRunStateError("Run state record is not an object.", [&] { return JsonObjectDecoder(document); });
  // A member that is there must have its type: a null is a bad value, not an absent one.
  auto bad = [](const char* key) { return std::string("Run state record has a bad ") + key + "."; };
  auto text = [&](const char* key) -> std::optional<std::string> {
    if (!object.contains(key)) return std::nullopt;
    return orRunStateError(bad(key), [&] { return object.string(key); });
  };
  auto date = [&](const char* key) -> std::optional<double> {
    if (!object.contains(key)) return std::nullopt;
    return orRunStateError(bad(key), [&] { return object.date(key); });
  };

  BackupRunStateStore::Record record;
  auto kind = text("kind");
  if (kind == "started") {
    record.kind = BackupRunStateStore::RecordKind::started;
  } else if (kind == "completed") {
    record.kind = BackupRunStateStore::RecordKind::completed;
  } else {
    throw runStateError("Run state record has a bad kind.");
  }
  record.runUUID = text("runUUID");
  if (auto plan = text("planID")) record.planID = PlanID(*plan);
  record.startedAt = date("startedAt");
  auto updated = date("updatedAt");
  if (!updated) throw runStateError("Run state record has no updatedAt.");
  record.updatedAt = *updated;
  if (object.contains("totalOperations")) {
    record.totalOperations = orRunStateError(bad("totalOperations"), [&] { return object.int64("totalOperations"); });
  }
  if (object.contains("completedOperation")) {
    const JsonObjectDecoder op =
        orRunStateError(bad("completedOperation"), [&] { return object.object("completedOperation"); });
    auto field = [&](const char* key, bool required) -> std::optional<std::string> {
      if (!op.contains(key)) {
        if (required) throw runStateError(std::string("Completed operation has no ") + key + ".");
        return std::nullopt;
      }
      return orRunStateError(std::string("Completed operation has a bad ") + key + ".", [&] { return op.string(key); });
    };
    BackupRunStateStore::CompletedOperation completed;
    completed.relPath = *field("relPath", true);
    completed.kind = *field("kind", true);
    completed.blobKey = field("blobKey", false);
    completed.blobStatus = field("blobStatus", false);
    record.completedOperation = completed;
  }
  return record;
}

// The blob key of a torn completed record, when the tear came after it. Keys are written in
// sorted order, so "completedOperation" and its "blobKey" lead the line.
std::optional<std::string> blobKeyInTornLine(const Bytes& line) {
  static const std::string kMarker = "\"blobKey\":\"";
  const std::string text(line.begin(), line.end());
  const std::size_t at = text.find(kMarker);
  if (at == std::string::npos) return std::nullopt;
  const std::size_t start = at + kMarker.size();
  if (text.size() < start + 65 || text[start + 64] != '"') return std::nullopt;
  std::string key = text.substr(start, 64);
  if (!RepositoryObjectKey::isBlobKey(key)) return std::nullopt;
  return key;
}

void writeLineAtomically(const fs::path& file, const std::string& line) {
  createDirectories(file.parent_path());
  writeFileAtomically(file, line + "\n");
}

void appendLineSynchronised(const fs::path& file, const std::string& line) {
  OpenFile journal = openFile(file, O_RDWR | O_APPEND);
  std::string data = line + "\n";
  // A line torn by a crash is ended first, so this record starts a line of its own.
  if (BackupRunStateStore::endsInTornLine(journal.get(), file)) data.insert(data.begin(), '\n');
  writeFully(journal.get(), data.data(), data.size(), file);
  // A failed synchronisation reads as a failed write: the record may not be on disk.
  if (::fsync(journal.get()) != 0) throw PosixError("write", errno, file.string());
}

}  // namespace

bool BackupRunStateStore::endsInTornLine(int fd, const fs::path& file) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) throw PosixError("fstat", errno, file.string());
  if (info.st_size == 0) return false;
  char last = 0;
  ssize_t n;
  do {
    n = ::pread(fd, &last, 1, info.st_size - 1);
  } while (n < 0 && errno == EINTR);
  if (n < 0) throw PosixError("read", errno, file.string());
  return n == 1 && last != '\n';
}

BackupRunStateStore::Record BackupRunStateStore::Record::started(std::string runUUID, PlanID planID, double startedAt,
                                                                 std::int64_t totalOperations) {
  Record record;
  record.kind = RecordKind::started;
  record.runUUID = std::move(runUUID);
  record.planID = std::move(planID);
  record.startedAt = startedAt;
  record.updatedAt = startedAt;
  record.totalOperations = totalOperations;
  return record;
}

std::string BackupRunStateStore::safePlanFileName(const PlanID& planID) {
  std::u32string out;
  for (char32_t c : unicode::toUTF32(planID.rawValue())) {
    bool keep = unicode::isLetterOrNumber(c) || c == U'-' || c == U'_' || c == U'.';
    out.push_back(keep ? c : U'_');
  }
  std::string name = unicode::toUTF8(out);
  // "." and ".." would name the folder itself or its parent.
  if (name == "." || name == "..") name = std::string(name.size(), '_');
  return name;
}

fs::path BackupRunStateStore::journalURL(const fs::path& root, const PlanID& planID) {
  return root / kRunStateFolder / (safePlanFileName(planID) + ".jsonl");
}

std::string BackupRunStateStore::encodeRecord(const Record& record) {
  json object = json::object();
  object["kind"] = recordKindText(record.kind);
  if (record.runUUID) object["runUUID"] = *record.runUUID;
  if (record.planID) object["planID"] = record.planID->rawValue();
  if (record.startedAt) object["startedAt"] = formatISO8601(*record.startedAt);
  object["updatedAt"] = formatISO8601(record.updatedAt);
  if (record.totalOperations) object["totalOperations"] = *record.totalOperations;
  if (record.completedOperation) {
    const CompletedOperation& op = *record.completedOperation;
    json completed = {{"relPath", op.relPath}, {"kind", op.kind}};
    if (op.blobKey) completed["blobKey"] = *op.blobKey;
    if (op.blobStatus) completed["blobStatus"] = *op.blobStatus;
    object["completedOperation"] = completed;
  }
  return canonicalJsonString(object);
}

void BackupRunStateStore::writeInitial(const Record& record, const fs::path& root, const PlanID& planID) {
  fs::path file = journalURL(root, planID);
  if (itemExists(file)) {
    appendLineSynchronised(file, encodeRecord(record));
  } else {
    writeLineAtomically(file, encodeRecord(record));
  }
}

void BackupRunStateStore::append(const Record& record, const fs::path& root, const PlanID& planID) {
  writeInitial(record, root, planID);  // the same rule: create atomically or append and sync
}

void BackupRunStateStore::recordCompleted(const fs::path& root, const PlanID& planID, const std::string& relPath,
                                          const std::string& kind, const std::optional<std::string>& blobKey,
                                          std::optional<RepositoryObjectWriteResult::Status> blobStatus) {
  Record record;
  record.kind = RecordKind::completed;
  record.updatedAt = nowUnixSeconds();
  CompletedOperation op{relPath, kind, blobKey, std::nullopt};
  if (blobStatus) {
    op.blobStatus = *blobStatus == RepositoryObjectWriteResult::Status::written ? "written" : "skippedExisting";
  }
  record.completedOperation = op;
  append(record, root, planID);
}

void BackupRunStateStore::clear(const fs::path& root, const PlanID& planID) {
  fs::path file = journalURL(root, planID);
  if (::unlink(file.c_str()) != 0 && errno != ENOENT) throw PosixError("unlink", errno, file.string());
}

bool BackupRunStateStore::exists(const fs::path& root, const PlanID& planID) {
  return itemExists(journalURL(root, planID));
}

BackupRunStateStore::State BackupRunStateStore::load(const fs::path& root, const PlanID& planID) {
  Bytes bytes = readFileBytes(journalURL(root, planID));

  std::vector<Bytes> lines;
  Bytes current;
  for (std::uint8_t b : bytes) {
    if (b == '\n') {
      if (!current.empty()) lines.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(b);
    }
  }
  if (!current.empty()) lines.push_back(std::move(current));

  // Decoded first, because whether a bad line is tolerated depends on the line after it.
  std::vector<std::optional<Record>> records(lines.size());
  std::vector<std::exception_ptr> failures(lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    try {
      if (!unicode::isValidUTF8(textView(lines[i]))) throw runStateError("Run state is not valid UTF-8.");
      records[i] = decodeRecord(std::string(lines[i].begin(), lines[i].end()));
    } catch (...) {
      failures[i] = std::current_exception();
    }
  }

  std::optional<std::string> runUUID;
  std::optional<PlanID> plan;
  std::optional<double> startedAt, updatedAt;
  std::optional<std::int64_t> totalOperations;
  State state;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!records[i]) {
      // A crash tears at most the line being written: the last one, or the last one of an
      // attempt that a later attempt's started record follows (its append ended the line).
      const bool last = i + 1 == lines.size();
      const bool beforeNextAttempt = !last && records[i + 1] && records[i + 1]->kind == RecordKind::started;
      if (!last && !beforeNextAttempt) std::rethrow_exception(failures[i]);
      if (auto key = blobKeyInTornLine(lines[i])) state.tornRecordBlobKeys.push_back(*key);
      continue;
    }
    const Record& record = *records[i];
    updatedAt = record.updatedAt;
    if (record.kind == RecordKind::started) {
      if (record.runUUID) {
        state.runUUIDs.push_back(*record.runUUID);
        runUUID = record.runUUID;
      }
      plan = record.planID;
      totalOperations = record.totalOperations;
      if (!startedAt) startedAt = record.startedAt;
    } else if (record.completedOperation) {
      state.completedOperations.push_back(*record.completedOperation);
    }
  }
  if (!runUUID || !plan || !startedAt || !updatedAt || !totalOperations) {
    throw runStateError("Run state is missing its start record.");
  }
  state.runUUID = *runUUID;
  state.planID = *plan;
  state.startedAt = *startedAt;
  state.updatedAt = *updatedAt;
  state.totalOperations = *totalOperations;
  return state;
}

std::string BackupRunStateStore::activeRunUUID(const fs::path& root, const PlanID& planID) {
  return load(root, planID).runUUID;
}

BackupRunStateStore::PartialRunSnapshot BackupRunStateStore::partialRunSnapshot(const fs::path& root,
                                                                                const PlanID& planID) {
  State state = load(root, planID);
  return {state.runUUID,   state.planID,          state.startedAt,
          state.updatedAt, state.totalOperations, static_cast<std::int64_t>(state.completedOperations.size())};
}

std::vector<RepositoryObjectKey> BackupRunStateStore::remoteObjectKeysWrittenDuringPartialRun(const fs::path& root,
                                                                                              const PlanID& planID) {
  State state = load(root, planID);
  std::set<std::string> referenced;
  {
    BackupCatalog catalog(root, std::nullopt, BackupCatalog::OpenMode::readOnly);
    referenced = catalog.referencedBlobKeys();
  }
  std::vector<RepositoryObjectKey> keys;
  std::set<std::string> kept;
  for (const CompletedOperation& op : state.completedOperations) {
    if (op.blobStatus != "written" || !op.blobKey) continue;
    const std::string& key = *op.blobKey;
    if (referenced.count(key) || kept.count(key)) continue;
    kept.insert(key);
    keys.push_back(RepositoryObjectKey::forBlob(key));
  }
  // A torn record's blob was stored before the record was written; with its status lost,
  // it is removed only when nothing references it.
  for (const std::string& key : state.tornRecordBlobKeys) {
    if (referenced.count(key) || kept.count(key)) continue;
    kept.insert(key);
    keys.push_back(RepositoryObjectKey::forBlob(key));
  }
  return keys;
}

int BackupRunStateStore::deleteRemoteObjectsForPartialRun(const fs::path& root, const PlanID& planID,
                                                          RepositoryStorageBackend& backend,
                                                          const CancellationToken& cancel) {
  int deleted = 0;
  for (const RepositoryObjectKey& key : remoteObjectKeysWrittenDuringPartialRun(root, planID)) {
    backend.deleteObject(key, cancel);
    ++deleted;
  }
  return deleted;
}

void BackupRunStateStore::clearPartialRun(const fs::path& root, const PlanID& planID) {
  std::optional<State> state;
  // No journal: nothing to undo. A journal that exists but cannot be read stops here, before
  // anything is removed: dropping it would leave its runs' rows and blobs behind for good.
  if (exists(root, planID)) state = load(root, planID);
  if (state) {
    BackupCatalog catalog(root, std::nullopt, BackupCatalog::OpenMode::readWrite);
    for (const std::string& uuid : state->runUUIDs) catalog.deleteRun(planID, uuid);
  }
  clear(root, planID);
  std::error_code ec;
  fs::path staging = root / kUploadStagingFolder;
  if (itemExists(staging)) {
    fs::remove_all(staging, ec);
    if (ec) throw PosixError("remove", ec.value(), staging.string());
  }
}

}  // namespace tvr
