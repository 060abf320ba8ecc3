#include "engine/metadata/RepositoryMetadata.h"

#include <cerrno>
#include <cmath>
#include <nlohmann/json.hpp>
#include <system_error>

#include "platform/CanonicalJson.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/JsonDecoding.h"

namespace tvr {

namespace {

Error metadataError(const std::string& message) { return Error("RepositoryMetadata", 1, message); }

}  // namespace

const RepositoryLayout& RepositoryMetadata::fixedLayout() {
  static const RepositoryLayout layout(true);
  return layout;
}

std::filesystem::path RepositoryMetadata::url(const std::filesystem::path& root) { return root / fileName; }

std::optional<RepositoryMetadata> RepositoryMetadata::read(const std::filesystem::path& root) {
  Bytes data;
  try {
    data = readRegularFileBytes(url(root), kMaximumRepositoryDocumentBytes);
  } catch (const PosixError& error) {
    // Only a document that is not there means "no metadata"; every other failure propagates.
    if (error.err() == ENOENT) return std::nullopt;
    throw;
  }
  return decodeDocument(data);
}

void RepositoryMetadata::validateReadableRepository(const std::filesystem::path& root) {
  std::optional<RepositoryMetadata> metadata = read(root);
  if (!metadata) throw metadataError("Repository is missing repo.json.");
  metadata->validateSupportedForRead();
}

void RepositoryMetadata::validateSupportedForRead() const {
  if (minimumReaderVersion > currentMinimumReaderVersion) {
    throw metadataError("Repository requires reader version " + std::to_string(minimumReaderVersion) +
                        ", but this reader supports 1.");
  }
  if (!encryption) throw metadataError("Unencrypted development repositories are not supported.");
  encryption->validateSupported();
  if (layout.blobKeyAlgorithm != "hmac-sha256") {
    throw metadataError("Repository blob key algorithm " + layout.blobKeyAlgorithm + " is not supported.");
  }
  if (layout.catalogPath != "catalog.sqlite" || layout.blobsPath != "blobs" || layout.checkpointStorage != "blobs") {
    throw metadataError(
        "Repository layout is not supported. Version 1 requires catalogPath=catalog.sqlite, "
        "blobsPath=blobs, blobKeyAlgorithm=hmac-sha256, checkpointStorage=blobs.");
  }
}

void RepositoryMetadata::validateSupportedForWrite() const {
  validateSupportedForRead();
  if (formatVersion != currentFormatVersion) {
    throw metadataError("Repository format version " + std::to_string(formatVersion) +
                        " cannot be written by this app version.");
  }
}

RepositoryMetadata RepositoryMetadata::ensureWritableRepository(
    const std::filesystem::path& root, const std::optional<RepositoryEncryptionMetadata>& encryption, double now) {
  if (!encryption) throw metadataError("Unencrypted development repositories are not supported.");
  std::optional<RepositoryMetadata> stored = read(root);
  if (!stored) {
    RepositoryMetadata created;
    created.formatVersion = currentFormatVersion;
    created.minimumReaderVersion = currentMinimumReaderVersion;
    // The document keeps whole seconds; the returned value matches what a reader will see.
    created.createdAt = std::floor(now);
    created.layout = fixedLayout();
    created.encryption = encryption;
    std::string document = created.encodedDocument();
    createDirectories(root);
    writeFileAtomically(url(root), document);
    return created;
  }
  stored->validateSupportedForWrite();
  if (stored->encryption != encryption) {
    throw metadataError("Repository encryption settings do not match the requested backup mode.");
  }
  return *stored;
}

nlohmann::json RepositoryMetadata::toJson() const {
  nlohmann::json json{{"formatVersion", formatVersion},
                      {"minimumReaderVersion", minimumReaderVersion},
                      {"createdAt", formatISO8601(createdAt)},
                      {"layout", layout.toJson()}};
  if (encryption) json["encryption"] = encryption->toJson();
  return json;
}

std::string RepositoryMetadata::encodedDocument() const { return canonicalJsonString(toJson(), true); }

RepositoryMetadata RepositoryMetadata::fromJson(const nlohmann::json& value) {
  JsonObjectDecoder decoder(value);
  RepositoryMetadata metadata;
  metadata.formatVersion = decoder.int64("formatVersion");
  metadata.minimumReaderVersion = decoder.int64("minimumReaderVersion");
  metadata.createdAt = decoder.date("createdAt");
  metadata.layout = RepositoryLayout::fromJson(decoder.require("layout"), decoder.pathOf("layout"));
  if (const nlohmann::json* encryption = decoder.optional("encryption")) {
    metadata.encryption = RepositoryEncryptionMetadata::fromJson(*encryption, decoder.pathOf("encryption"));
  }
  return metadata;
}

RepositoryMetadata RepositoryMetadata::decodeDocument(const Bytes& data) { return fromJson(parseJsonDocument(data)); }

}  // namespace tvr
