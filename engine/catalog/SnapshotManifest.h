#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvr {

// The checkpoint manifest of a run: every live file and directory of its snapshot, with
// plaintext paths; stored as one encrypted blob. In memory dates are Unix-epoch seconds; the
// JSON form carries them as seconds since 2001-01-01 00:00:00 UTC.
struct SnapshotManifest {
  struct FileEntry {
    std::string relPath;
    std::string relPathNorm;
    std::string kind = "file";  // "file" or "directory"; absent in JSON reads as "file"
    std::optional<std::string> blobKey;
    std::optional<std::int64_t> sizeBytes;
    std::optional<double> createdAt;
    std::optional<double> modifiedAt;
    std::optional<std::int64_t> contentID;

    bool operator==(const FileEntry&) const = default;
  };

  std::int64_t version = 1;
  double createdAt = 0;
  std::vector<FileEntry> files;

  // JSON bytes (canonical form) of the manifest.
  std::string toJSON() const;

  // The same bytes as toJSON, written entry by entry to `sink` so that neither the entries
  // nor a document need to be held: begin, then every entry in order, then end.
  class Writer {
   public:
    using Sink = std::function<void(std::string_view text)>;
    Writer(std::int64_t version, double createdAt, Sink sink);
    void add(const FileEntry& entry) { addText(entryText(entry)); }
    // The text of one entry as add writes it, without its separator; touches no writer, so
    // entries may be formatted on other threads and added in order with addText.
    static std::string entryText(const FileEntry& entry);
    void addText(std::string_view entryText);
    void end();

   private:
    std::int64_t version_;
    Sink sink_;
    bool first_ = true;
  };
  // Decodes the JSON form; a syntax error, a missing required key or a wrong type throws
  // tvr::Error (domain "SnapshotManifest", code 1) naming the problem.
  static SnapshotManifest fromJSON(std::string_view json);

  // Hands the text of a manifest to the decoder piece by piece.
  using TextSink = std::function<void(const char* data, std::size_t size)>;
  using TextProducer = std::function<void(const TextSink& sink)>;
  // fromJSON over text that `produce` hands to its sink in order (run on a second thread, so
  // the text never needs to be whole in memory), keeping only the entries `keep` accepts.
  // The checks, their order and the messages are those of fromJSON over the whole text, and
  // an error the producer throws wins over any decoding error.
  static SnapshotManifest decodeStreamed(const TextProducer& produce,
                                         const std::function<bool(const FileEntry&)>& keep);

  bool operator==(const SnapshotManifest&) const = default;
};

}  // namespace tvr
