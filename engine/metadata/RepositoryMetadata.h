#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "engine/metadata/RepositoryEncryptionMetadata.h"
#include "engine/metadata/RepositoryLayout.h"
#include "platform/Bytes.h"
#include "platform/Iso8601.h"

namespace tvr {

// repo.json and plans.json are a few kilobytes; anything above this bound is not one of them.
inline constexpr std::uint64_t kMaximumRepositoryDocumentBytes = 16 * 1024 * 1024;

// The public metadata document repo.json at a repository's root, and the version gates a
// reader and a writer apply before touching anything else. Plain value; the static
// operations are stateless and safe on any thread.
// Throws: gate failures as tvr::Error ("RepositoryMetadata", 1, ...) or, from the encryption
// gate, ("RepositoryEncryptionMetadata", 1, ...); decoding problems as DecodingError; file
// problems as PosixError.
struct RepositoryMetadata {
  std::int64_t formatVersion = 0;
  std::int64_t minimumReaderVersion = 0;
  double createdAt = 0;  // Unix-epoch seconds, whole seconds in the document
  RepositoryLayout layout;
  std::optional<RepositoryEncryptionMetadata> encryption;

  static constexpr std::string_view fileName = "repo.json";
  static constexpr std::int64_t currentFormatVersion = 1;
  // The reader version of this system and the minimumReaderVersion new repositories get.
  static constexpr std::int64_t currentMinimumReaderVersion = 1;
  // catalog.sqlite, blobs, hmac-sha256, blobs.
  static const RepositoryLayout& fixedLayout();

  bool operator==(const RepositoryMetadata& other) const = default;

  static std::filesystem::path url(const std::filesystem::path& root);

  // nullopt when root/repo.json does not exist; otherwise the decoded document. Applies no gate.
  static std::optional<RepositoryMetadata> read(const std::filesystem::path& root);

  // read(), then "Repository is missing repo.json." when absent, then validateSupportedForRead().
  static void validateReadableRepository(const std::filesystem::path& root);

  // The read gate: reader version, encryption present, encryption gate, blob key algorithm,
  // layout. First failure wins.
  void validateSupportedForRead() const;
  // The read gate, then formatVersion must be 1.
  void validateSupportedForWrite() const;

  // Creates repo.json for a new repository (atomically, with its root folder when missing)
  // or checks an existing one and returns it unchanged when its encryption settings equal
  // `encryption`. `now` is the creation time of a new document (whole seconds are kept).
  static RepositoryMetadata ensureWritableRepository(const std::filesystem::path& root,
                                                     const std::optional<RepositoryEncryptionMetadata>& encryption,
                                                     double now = nowUnixSeconds());

  // The document's JSON form (keys sorted, pretty, "/" escaped when encoded).
  nlohmann::json toJson() const;
  std::string encodedDocument() const;
  static RepositoryMetadata fromJson(const nlohmann::json& value);
  static RepositoryMetadata decodeDocument(const Bytes& data);
};

}  // namespace tvr
