#include "engine/catalog/SnapshotManifest.h"

#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <iterator>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "platform/CanonicalJson.h"
#include "platform/Error.h"
#include "platform/Iso8601.h"
#include "platform/StreamingJsonParser.h"

namespace tvr {

// ---------------------------------------------------------------- encoding

// The document is {"createdAt":…,"files":[…],"version":…} with its keys in canonical order,
// so each piece is the canonical text of one value.
SnapshotManifest::Writer::Writer(std::int64_t version, double createdAt, Sink sink)
    : version_(version), sink_(std::move(sink)) {
  sink_("{\"createdAt\":" + canonicalJsonString(nlohmann::json(createdAt - kSecondsFrom1970To2001)) +
        ",\"files\":[");
}

std::string SnapshotManifest::Writer::entryText(const FileEntry& entry) {
  nlohmann::json item = {{"relPath", entry.relPath}, {"relPathNorm", entry.relPathNorm}, {"kind", entry.kind}};
  if (entry.blobKey) item["blobKey"] = *entry.blobKey;
  if (entry.sizeBytes) item["sizeBytes"] = *entry.sizeBytes;
  if (entry.createdAt) item["createdAt"] = *entry.createdAt - kSecondsFrom1970To2001;
  if (entry.modifiedAt) item["modifiedAt"] = *entry.modifiedAt - kSecondsFrom1970To2001;
  if (entry.contentID) item["contentID"] = *entry.contentID;
  return canonicalJsonString(item);
}

void SnapshotManifest::Writer::addText(std::string_view entryText) {
  if (!first_) sink_(",");
  first_ = false;
  sink_(entryText);
}

void SnapshotManifest::Writer::end() {
  sink_("],\"version\":" + canonicalJsonString(nlohmann::json(version_)) + "}");
}

std::string SnapshotManifest::toJSON() const {
  std::string json;
  Writer writer(version, createdAt, [&](std::string_view text) { json += text; });
  for (const FileEntry& entry : files) writer.add(entry);
  writer.end();
  return json;
}

// ---------------------------------------------------------------- decoding

namespace {

Error manifestError(const std::string& detail) {
  return Error("SnapshotManifest", 1, "Checkpoint manifest could not be decoded: " + detail);
}

// One member value as the event parser saw it. A later duplicate key replaces an earlier
// one, as in a parsed document; absent and null read alike.
struct Scalar {
  enum class Type { absent, text, integer, unsignedInteger, real, other } type = Type::absent;
  std::string text;
  std::int64_t integer = 0;
  std::uint64_t unsignedInteger = 0;
  double real = 0;

  bool present() const { return type != Type::absent; }
  bool isNumber() const { return type == Type::integer || type == Type::unsignedInteger || type == Type::real; }
  double asDouble() const {
    if (type == Type::integer) return static_cast<double>(integer);
    if (type == Type::unsignedInteger) return static_cast<double>(unsignedInteger);
    return real;
  }
};

// Where a key sits, for messages: "files[<index>]." inside an entry, "" at the top level.
// Made only for a message, so a million entries cost no text.
struct KeyPath {
  std::optional<std::size_t> entry;
  std::string text() const { return entry ? "files[" + std::to_string(*entry) + "]." : std::string(); }
};

void requireString(const Scalar& value, const char* key, const KeyPath& path) {
  if (!value.present()) throw manifestError("missing key " + path.text() + key + ".");
  if (value.type != Scalar::Type::text) throw manifestError("key " + path.text() + key + " is not a string.");
}

// False when absent.
bool optionalString(const Scalar& value, const char* key, const KeyPath& path) {
  if (!value.present()) return false;
  if (value.type != Scalar::Type::text) throw manifestError("key " + path.text() + key + " is not a string.");
  return true;
}

// Range-checked before any conversion: a manifest may hold 1e20, 2^64 - 1 or a fraction.
std::optional<std::int64_t> optionalInteger(const Scalar& value, const char* key, const KeyPath& path,
                                            std::int64_t minimum) {
  switch (value.type) {
    case Scalar::Type::absent:
      return std::nullopt;
    case Scalar::Type::unsignedInteger:
      if (value.unsignedInteger <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) &&
          static_cast<std::int64_t>(value.unsignedInteger) >= minimum) {
        return static_cast<std::int64_t>(value.unsignedInteger);
      }
      throw manifestError("key " + path.text() + key + " is out of range.");
    case Scalar::Type::integer:
      if (value.integer >= minimum) return value.integer;
      throw manifestError("key " + path.text() + key + " is out of range.");
    case Scalar::Type::real: {
      double d = value.real;
      if (!std::isfinite(d) || d != std::floor(d)) throw manifestError("key " + path.text() + key + " is not an integer.");
      // 2^63 is exactly representable; everything below it converts without overflow.
      if (d < static_cast<double>(minimum) || d >= 9223372036854775808.0) {
        throw manifestError("key " + path.text() + key + " is out of range.");
      }
      return static_cast<std::int64_t>(d);
    }
    default:
      throw manifestError("key " + path.text() + key + " is not an integer.");
  }
}

// Manifest dates are seconds since 2001-01-01; in memory they are Unix seconds. A date that
// text cannot show (outside years 1 to 9999) is left out; NaN and infinities are refused.
std::optional<double> optionalDate(const Scalar& value, const char* key, const KeyPath& path) {
  if (!value.present()) return std::nullopt;
  if (!value.isNumber()) throw manifestError("key " + path.text() + key + " is not a number.");
  double seconds = value.asDouble();
  if (!std::isfinite(seconds)) throw manifestError("key " + path.text() + key + " is not a finite number.");
  seconds += kSecondsFrom1970To2001;
  if (!isRepresentableDate(seconds)) return std::nullopt;
  return seconds;
}

// The members of one files[] element the decoder knows; others are skipped.
struct EntryFields {
  Scalar relPath, relPathNorm, kind, blobKey, sizeBytes, createdAt, modifiedAt, contentID;

  Scalar* field(std::string_view key) {
    if (key == "relPath") return &relPath;
    if (key == "relPathNorm") return &relPathNorm;
    if (key == "kind") return &kind;
    if (key == "blobKey") return &blobKey;
    if (key == "sizeBytes") return &sizeBytes;
    if (key == "createdAt") return &createdAt;
    if (key == "modifiedAt") return &modifiedAt;
    if (key == "contentID") return &contentID;
    return nullptr;
  }

  // Every member absent again; the text buffers stay for the next entry.
  void reset() {
    for (Scalar* scalar : {&relPath, &relPathNorm, &kind, &blobKey, &sizeBytes, &createdAt, &modifiedAt, &contentID}) {
      scalar->type = Scalar::Type::absent;
    }
  }

  // Into `entry`, trading string buffers with it (the members' texts are spent).
  void decode(std::size_t index, SnapshotManifest::FileEntry& entry) {
    const KeyPath path{index};
    requireString(relPath, "relPath", path);
    entry.relPath.swap(relPath.text);
    requireString(relPathNorm, "relPathNorm", path);
    entry.relPathNorm.swap(relPathNorm.text);
    if (optionalString(kind, "kind", path)) {
      entry.kind.swap(kind.text);
    } else {
      entry.kind.assign("file");
    }
    if (optionalString(blobKey, "blobKey", path)) {
      if (!entry.blobKey) entry.blobKey.emplace();
      entry.blobKey->swap(blobKey.text);
    } else {
      entry.blobKey.reset();
    }
    entry.sizeBytes = optionalInteger(sizeBytes, "sizeBytes", path, 0);
    entry.createdAt = optionalDate(createdAt, "createdAt", path);
    entry.modifiedAt = optionalDate(modifiedAt, "modifiedAt", path);
    entry.contentID = optionalInteger(contentID, "contentID", path, std::numeric_limits<std::int64_t>::min());
  }
};

// Event handler for the streaming JSON parser: decodes the manifest without building a
// document. Problems are reported in the order a decoder of the whole document would find
// them: syntax anywhere first, then the top-level keys, then the first bad entry; so an
// entry's problem is only remembered and the parse goes on.
class ManifestEvents {
 public:
  using json = nlohmann::json;

  explicit ManifestEvents(const std::function<bool(const SnapshotManifest::FileEntry&)>& keep) : keep_(keep) {}

  bool null() { return scalar([](Scalar&) {}); }
  bool boolean(bool) { return scalar([](Scalar& s) { s.type = Scalar::Type::other; }); }
  bool number_integer(json::number_integer_t value) {
    return scalar([&](Scalar& s) {
      s.type = Scalar::Type::integer;
      s.integer = value;
    });
  }
  bool number_unsigned(json::number_unsigned_t value) {
    return scalar([&](Scalar& s) {
      s.type = Scalar::Type::unsignedInteger;
      s.unsignedInteger = value;
    });
  }
  bool number_float(json::number_float_t value, const json::string_t&) {
    return scalar([&](Scalar& s) {
      s.type = Scalar::Type::real;
      s.real = value;
    });
  }
  bool string(json::string_t& value) {
    return scalar([&](Scalar& s) {
      s.type = Scalar::Type::text;
      // The parser clears its buffer before each string, so it takes the member's old one:
      // neither side allocates or copies per value.
      s.text.swap(value);
    });
  }
  bool binary(json::binary_t&) { return scalar([](Scalar& s) { s.type = Scalar::Type::other; }); }

  bool start_object(std::size_t) { return open(true); }
  bool start_array(std::size_t) { return open(false); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(json::string_t& key) {
    if (depth_ == 1) {
      topKey_ = key;
      return true;
    }
    if (depth_ == 3 && inFiles_ && entryIsObject_) {
      entryField_ = entry_.field(key);
    }
    return true;
  }

  bool syntaxError() {
    syntaxError_ = true;
    return false;
  }

  // The decoded manifest, or the first problem.
  SnapshotManifest finish() {
    if (syntaxError_) throw manifestError("the data is not valid JSON.");
    if (!rootIsObject_) throw manifestError("the document is not an object.");
    SnapshotManifest manifest;
    std::optional<std::int64_t> version =
        optionalInteger(version_, "version", KeyPath{}, std::numeric_limits<std::int64_t>::min());
    if (!version) throw manifestError("missing key version.");
    manifest.version = *version;
    if (!createdAt_.present()) throw manifestError("missing key createdAt.");
    if (!createdAt_.isNumber() || !std::isfinite(createdAt_.asDouble())) {
      throw manifestError("key createdAt is not a finite number.");
    }
    manifest.createdAt = createdAt_.asDouble() + kSecondsFrom1970To2001;
    if (files_ == FilesState::absent) throw manifestError("missing key files.");
    if (files_ == FilesState::notArray) throw manifestError("key files is not an array.");
    if (entryError_) std::rethrow_exception(entryError_);
    manifest.files = std::move(kept_);
    return manifest;
  }

 private:
  enum class FilesState { absent, notArray, array };

  // A scalar value at the current position.
  template <class Assign>
  bool scalar(Assign&& assign) {
    if (depth_ == 0) {
      rootIsObject_ = false;
      return true;
    }
    if (depth_ == 1) {
      if (topKey_ == "version") {
        version_ = Scalar();
        assign(version_);
      } else if (topKey_ == "createdAt") {
        createdAt_ = Scalar();
        assign(createdAt_);
      } else if (topKey_ == "files") {
        Scalar probe;
        assign(probe);
        setFiles(probe.present() ? FilesState::notArray : FilesState::absent);
      }
      return true;
    }
    if (inFiles_ && depth_ == 2) {
      // A files[] element that is not an object.
      failEntry(manifestError("files[" + std::to_string(index_) + "] is not an object."));
      ++index_;
      return true;
    }
    if (inFiles_ && depth_ == 3 && entryIsObject_ && entryField_ != nullptr) {
      entryField_->type = Scalar::Type::absent;
      assign(*entryField_);
      entryField_ = nullptr;
    }
    return true;
  }

  bool open(bool object) {
    if (depth_ == 0) {
      rootIsObject_ = object && !rootSeen_;
      rootSeen_ = true;
    } else if (depth_ == 1) {
      if (topKey_ == "version" || topKey_ == "createdAt") {
        Scalar& target = topKey_ == "version" ? version_ : createdAt_;
        target = Scalar();
        target.type = Scalar::Type::other;
      } else if (topKey_ == "files") {
        setFiles(object ? FilesState::notArray : FilesState::array);
        inFiles_ = !object && rootIsObject_;
        filesDepth_ = depth_ + 1;
      }
    } else if (inFiles_ && depth_ == 2) {
      entryIsObject_ = object;
      entry_.reset();
      entryField_ = nullptr;
    } else if (inFiles_ && depth_ == 3 && entryIsObject_ && entryField_ != nullptr) {
      entryField_->type = Scalar::Type::other;
      entryField_ = nullptr;
    }
    ++depth_;
    return true;
  }

  bool close() {
    --depth_;
    if (inFiles_ && depth_ == 2) {
      if (!entryIsObject_) {
        failEntry(manifestError("files[" + std::to_string(index_) + "] is not an object."));
      } else if (!entryError_) {
        try {
          entry_.decode(index_, current_);
          if (keep_(current_)) {
            kept_.push_back(std::move(current_));
            current_ = {};
          }
        } catch (const Error&) {
          entryError_ = std::current_exception();
        }
      }
      ++index_;
    } else if (inFiles_ && depth_ + 1 == filesDepth_) {
      inFiles_ = false;
    }
    return true;
  }

  // A later "files" key replaces the earlier one, as in a parsed document.
  void setFiles(FilesState state) {
    files_ = state;
    kept_.clear();
    entryError_ = nullptr;
    index_ = 0;
  }

  void failEntry(const Error& error) {
    if (!entryError_) entryError_ = std::make_exception_ptr(error);
  }

  const std::function<bool(const SnapshotManifest::FileEntry&)>& keep_;
  std::size_t depth_ = 0;
  bool rootSeen_ = false;
  bool rootIsObject_ = false;
  bool syntaxError_ = false;
  std::string topKey_;
  Scalar version_, createdAt_;
  FilesState files_ = FilesState::absent;
  bool inFiles_ = false;
  std::size_t filesDepth_ = 0;
  std::size_t index_ = 0;
  bool entryIsObject_ = false;
  EntryFields entry_;
  SnapshotManifest::FileEntry current_;  // the entry being decoded, its strings reused
  Scalar* entryField_ = nullptr;
  std::exception_ptr entryError_;
  std::vector<SnapshotManifest::FileEntry> kept_;
};

// Pieces of text handed from the producer thread to the parser, at most two waiting.
class TextChannel {
 public:
  struct Cancelled {};

  void push(const char* data, std::size_t size) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return pieces_.size() < kMaximumWaiting || cancelled_; });
    if (cancelled_) throw Cancelled{};
    pieces_.emplace_back(data, size);
    changed_.notify_all();
  }
  void close(std::exception_ptr error) {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    error_ = error;
    changed_.notify_all();
  }
  void cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    changed_.notify_all();
  }
  // The next piece, or false once the producer is done.
  bool next(std::string& piece) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !pieces_.empty() || closed_; });
    if (pieces_.empty()) return false;
    piece = std::move(pieces_.front());
    pieces_.pop_front();
    changed_.notify_all();
    return true;
  }
  std::exception_ptr error() {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
  }

 private:
  static constexpr std::size_t kMaximumWaiting = 2;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> pieces_;
  bool closed_ = false;
  bool cancelled_ = false;
  std::exception_ptr error_;
};

// The parser's source: the channel's pieces in order.
class ChannelText {
 public:
  explicit ChannelText(TextChannel& channel) : channel_(channel) {}
  bool next(const char*& data, std::size_t& size) {
    if (!channel_.next(piece_)) return false;
    data = piece_.data();
    size = piece_.size();
    return true;
  }
  // Reads what is left, so an error of the producer shows.
  void drain() {
    while (channel_.next(piece_)) {
    }
  }

 private:
  TextChannel& channel_;
  std::string piece_;
};

}  // namespace

SnapshotManifest SnapshotManifest::fromJSON(std::string_view json) {
  const std::function<bool(const FileEntry&)> keepAll = [](const FileEntry&) { return true; };
  ManifestEvents events(keepAll);
  json_stream::WholeText text{json.data(), json.size()};
  json_stream::Parser<json_stream::WholeText, ManifestEvents>(text, events).parse();
  return events.finish();
}

SnapshotManifest SnapshotManifest::decodeStreamed(const TextProducer& produce,
                                                  const std::function<bool(const FileEntry&)>& keep) {
  TextChannel channel;
  std::thread producer([&] {
    std::exception_ptr error;
    try {
      produce([&](const char* data, std::size_t size) { channel.push(data, size); });
    } catch (const TextChannel::Cancelled&) {
    } catch (...) {
      error = std::current_exception();
    }
    channel.close(error);
  });
  ManifestEvents events(keep);
  ChannelText text(channel);
  try {
    json_stream::Parser<ChannelText, ManifestEvents>(text, events).parse();
    // The whole text is read even after a syntax error: an error of the producer (a chunk
    // that fails authentication) is the one to report, as when the text was read first.
    text.drain();
  } catch (...) {
    channel.cancel();
    producer.join();
    throw;
  }
  producer.join();
  if (std::exception_ptr error = channel.error()) std::rethrow_exception(error);
  return events.finish();
}

}  // namespace tvr
