#include "engine/s3/S3RepositoryStorageBackend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <unordered_set>
#include <vector>

#include "engine/crypto/CryptoPrimitives.h"
#include "engine/s3/S3HTTPFailureError.h"
#include "engine/s3/S3ListBucketResultParser.h"
#include "engine/s3/S3ProviderError.h"
#include "platform/AtomicFileWriter.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"

namespace tvr {

namespace {

constexpr std::size_t kDigestChunkSize = 1048576;

std::int64_t byteCount(const std::filesystem::path& file) {
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) throw PosixError("stat", errno, file.string());
  return static_cast<std::int64_t>(st.st_size);
}

// A signed 64-bit decimal with an optional sign; nothing else.
std::optional<std::int64_t> parseContentLength(const std::string& text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  std::uint64_t magnitude = 0;
  const std::uint64_t limit = negative ? 9223372036854775808ULL : 9223372036854775807ULL;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (magnitude > (limit - digit) / 10) return std::nullopt;
    magnitude = magnitude * 10 + digit;
  }
  if (negative) return magnitude == limit ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
  return static_cast<std::int64_t>(magnitude);
}

// A download lands in a temporary sibling of its destination (hidden, so a listing of the
// folder never takes it for an object) and is renamed into place when complete: the
// destination holds either the whole object or what it held before, the bytes are written
// once, and a small system temporary folder is never filled. Removed when dropped uncommitted.
class DownloadFile {
 public:
  explicit DownloadFile(const std::filesystem::path& destination)
      : file_(AtomicFileWriter::temporaryURL(destination), destination, AtomicFileWriter::Durability::unsynchronized) {}

  // Every attempt starts from an empty file, so a broken transfer leaves nothing behind.
  void restart() {
    if (::ftruncate(file_.fd(), 0) != 0) throw PosixError("ftruncate", errno, file_.path().string());
    if (::lseek(file_.fd(), 0, SEEK_SET) < 0) throw PosixError("lseek", errno, file_.path().string());
  }
  void append(const char* data, std::size_t size) { writeFully(file_.fd(), data, size, file_.path()); }
  void commit() {
    file_.close();
    file_.moveIntoPlace();
  }

 private:
  AtomicFileWriter::TemporaryFile file_;
};

// The 64-bit hashes of the keys a listing has given, in an open-addressing table kept at
// most half full: 16 bytes a key, a fraction of a node-based set.
class KeyHashSet {
 public:
  // True when the hash was not there yet.
  bool insert(std::uint64_t hash) {
    if (hash == 0) hash = 1;  // 0 marks an empty slot
    if ((count_ + 1) * 2 > slots_.size()) grow();
    if (!place(slots_, hash)) return false;
    ++count_;
    return true;
  }

 private:
  static bool place(std::vector<std::uint64_t>& slots, std::uint64_t hash) {
    std::size_t mask = slots.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(hash * 0x9E3779B97F4A7C15ULL) & mask;; i = (i + 1) & mask) {
      if (slots[i] == hash) return false;
      if (slots[i] == 0) {
        slots[i] = hash;
        return true;
      }
    }
  }
  void grow() {
    std::vector<std::uint64_t> larger(std::max<std::size_t>(slots_.size() * 2, 4096), 0);
    for (std::uint64_t hash : slots_) {
      if (hash != 0) place(larger, hash);
    }
    slots_ = std::move(larger);
  }

  std::vector<std::uint64_t> slots_;
  std::size_t count_ = 0;
};

// The payload digest of one part: `length` bytes of the file from `offset`, read in 1 MiB
// pieces.
std::string sha256HexOfRange(const std::filesystem::path& file, std::uint64_t offset, std::uint64_t length) {
  OpenFile in = openFile(file, O_RDONLY);
  crypto::SHA256 hash;
  std::vector<std::uint8_t> buffer(kDigestChunkSize);
  while (length > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer.size()));
    ssize_t n = ::pread(in.get(), buffer.data(), want, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw PosixError("read", errno, file.string());
    if (n == 0) throw EngineError::ioError("The part to upload lies beyond the end of " + file.string() + ".");
    hash.update(buffer.data(), static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
    length -= static_cast<std::uint64_t>(n);
  }
  return hash.finishHex();
}

std::string xmlEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

S3RepositoryStorageBackend::S3RepositoryStorageBackend(S3StorageConfiguration configuration,
                                                       std::shared_ptr<S3HTTPSession> session,
                                                       S3RetryPolicy retryPolicy, Clock clock,
                                                       S3MultipartSettings multipart)
    : signer_(std::move(configuration)),
      session_(session ? std::move(session) : S3HTTPSession::shared()),
      retryPolicy_(std::move(retryPolicy)),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::system_clock::now(); })),
      multipart_(multipart) {}

S3SignedRequest S3RepositoryStorageBackend::signedRequest(
    const std::string& method, const S3RequestSigner::RequestTarget& target, const std::string& payloadSHA256Hex,
    const std::map<std::string, std::string>& extraHeaders) const {
  return signer_.signedRequest(method, target, payloadSHA256Hex, extraHeaders, clock_());
}

S3HTTPSession::Response S3RepositoryStorageBackend::send(const S3SignedRequest& request,
                                                         const std::function<S3HTTPSession::Exchange()>& makeExchange,
                                                         const CancellationToken& cancel) {
  // Signed once: every retry resends the identical request. A busy answer is retried like a
  // broken exchange; on the last attempt it is returned and judged as any other status.
  std::int64_t attempt = 0;
  S3HTTPSession::Response response = retryPolicy_.retrying(cancel, [&] {
    S3HTTPSession::Response answer = session_->send(request, makeExchange(), cancel);
    bool mayRetry = attempt++ < retryPolicy_.maxRetries;
    if (mayRetry && answer.statusCode != 200 && answer.statusCode >= 300) {
      std::optional<S3ProviderError> details = S3ProviderError::parse(answer.body);
      if (S3RetryPolicy::isRetryableAnswer(answer.statusCode, details ? details->code : std::nullopt)) {
        throw S3RetryPolicy::RetryableAnswer{};
      }
    }
    return answer;
  });
  if (response.statusCode < 100 || response.statusCode > 999) {
    throw EngineError::ioError("S3 response was not HTTP.");
  }
  return response;
}

bool S3RepositoryStorageBackend::objectExists(const RepositoryObjectKey& key, const CancellationToken& cancel) {
  cancel.throwIfCancelled();
  auto target = signer_.requestTarget(key);
  auto request = signedRequest("HEAD", target, S3RequestSigner::emptyPayloadSHA256Hex(), {});
  auto response = send(
      request, [] { return S3HTTPSession::Exchange{}; }, cancel);
  if (response.statusCode == 200) return true;
  if (response.statusCode == 404) return false;
  throw S3HTTPFailureError::fromResponse("HEAD", key.rawValue(), response.statusCode, std::nullopt);
}

bool S3RepositoryStorageBackend::objectExistsWithExpectedSize(const RepositoryObjectKey& key, std::int64_t expectedSize,
                                                              const CancellationToken& cancel) {
  auto target = signer_.requestTarget(key);
  auto request = signedRequest("HEAD", target, S3RequestSigner::emptyPayloadSHA256Hex(), {});
  auto response = send(
      request, [] { return S3HTTPSession::Exchange{}; }, cancel);
  if (response.statusCode == 404) return false;
  if (response.statusCode != 200) {
    throw S3HTTPFailureError::fromResponse("HEAD", key.rawValue(), response.statusCode, std::nullopt);
  }
  const std::string* lengthText = response.header("content-length");
  std::optional<std::int64_t> size = lengthText ? parseContentLength(*lengthText) : std::nullopt;
  if (size && *size == expectedSize) return true;
  std::string sizeText = size ? std::to_string(*size) : std::string("unknown");
  throw EngineError::ioError("Remote object " + key.rawValue() + " exists with size " + sizeText + ", expected " +
                             std::to_string(expectedSize) + ".");
}

RepositoryObjectWriteResult S3RepositoryStorageBackend::writeObject(const std::filesystem::path& from,
                                                                    const RepositoryObjectKey& key,
                                                                    const RepositoryObjectWriteMode& mode,
                                                                    const CancellationToken& cancel) {
  cancel.throwIfCancelled();
  std::int64_t localSize = byteCount(from);
  bool createIfAbsent = mode.kind == RepositoryObjectWriteMode::Kind::createIfAbsent;
  std::int64_t expected = mode.expectedSize.value_or(localSize);
  using Status = RepositoryObjectWriteResult::Status;
  if (createIfAbsent && objectExistsWithExpectedSize(key, expected, cancel)) {
    return {Status::skippedExisting, expected};
  }
  if (localSize > multipart_.threshold) {
    const long status = uploadInParts(from, key, localSize, createIfAbsent, cancel);
    if (status == 200) return {Status::written, localSize};
    // 412: the object appeared while the parts went up; accept it if it has the size.
    if (objectExistsWithExpectedSize(key, expected, cancel)) return {Status::skippedExisting, expected};
    throw S3HTTPFailureError::fromResponse("POST", key.rawValue(), status, std::nullopt);
  }
  std::string digest = S3RequestSigner::sha256Hex(from, kDigestChunkSize);
  std::map<std::string, std::string> extraHeaders;
  if (createIfAbsent) extraHeaders["if-none-match"] = "*";
  auto target = signer_.requestTarget(key);
  auto request = signedRequest("PUT", target, digest, extraHeaders);
  auto response = send(
      request,
      [&] {
        S3HTTPSession::Exchange exchange;
        exchange.uploadFrom = from;
        return exchange;
      },
      cancel);
  if (response.statusCode == 200 || response.statusCode == 201) {
    return {Status::written, localSize};
  }
  if (response.statusCode == 412 && createIfAbsent) {
    // The object appeared between the HEAD and the PUT: accept it if it has the size.
    if (objectExistsWithExpectedSize(key, expected, cancel)) {
      return {Status::skippedExisting, expected};
    }
  }
  throw S3HTTPFailureError::fromResponse("PUT", key.rawValue(), response.statusCode, response.body);
}

long S3RepositoryStorageBackend::uploadInParts(const std::filesystem::path& from, const RepositoryObjectKey& key,
                                               std::int64_t size, bool createIfAbsent,
                                               const CancellationToken& cancel) {
  auto bodiless = [] { return S3HTTPSession::Exchange{}; };
  auto created = send(signedRequest("POST", signer_.requestTarget(key, {{"uploads", ""}}),
                                    S3RequestSigner::emptyPayloadSHA256Hex(), {}),
                      bodiless, cancel);
  std::optional<std::string> uploadID;
  if (created.statusCode == 200) {
    uploadID = S3ProviderError::xmlTagValue(
        "UploadId", std::string_view(reinterpret_cast<const char*>(created.body.data()), created.body.size()));
  }
  if (!uploadID) throw S3HTTPFailureError::fromResponse("POST", key.rawValue(), created.statusCode, created.body);

  try {
    std::int64_t partSize = std::max(multipart_.partSize, std::int64_t{5} * S3MultipartSettings::kMebibyte);
    const std::int64_t smallest = (size + S3MultipartSettings::kMaximumParts - 1) / S3MultipartSettings::kMaximumParts;
    if (partSize < smallest) {
      partSize = (smallest + S3MultipartSettings::kMebibyte - 1) / S3MultipartSettings::kMebibyte *
                 S3MultipartSettings::kMebibyte;
    }
    std::string completion = "<CompleteMultipartUpload>";
    int partNumber = 1;
    for (std::int64_t offset = 0; offset < size; offset += partSize, ++partNumber) {
      cancel.throwIfCancelled();
      S3HTTPSession::Exchange::Range range{static_cast<std::uint64_t>(offset),
                                           static_cast<std::uint64_t>(std::min(partSize, size - offset))};
      const std::string digest = sha256HexOfRange(from, range.offset, range.length);
      auto target = signer_.requestTarget(key, {{"partNumber", std::to_string(partNumber)}, {"uploadId", *uploadID}});
      auto part = send(
          signedRequest("PUT", target, digest, {}),
          [&] {
            S3HTTPSession::Exchange exchange;
            exchange.uploadFrom = from;
            exchange.uploadRange = range;
            return exchange;
          },
          cancel);
      const std::string* etag = part.header("etag");
      if (part.statusCode != 200 || etag == nullptr || etag->empty()) {
        throw S3HTTPFailureError::fromResponse("PUT", key.rawValue(), part.statusCode, part.body);
      }
      completion += "<Part><PartNumber>" + std::to_string(partNumber) + "</PartNumber><ETag>" + xmlEscaped(*etag) +
                    "</ETag></Part>";
    }
    completion += "</CompleteMultipartUpload>";
    std::map<std::string, std::string> extraHeaders;
    if (createIfAbsent) extraHeaders["if-none-match"] = "*";
    auto completed = send(
        signedRequest("POST", signer_.requestTarget(key, {{"uploadId", *uploadID}}), crypto::sha256Hex(completion),
                      extraHeaders),
        [&] {
          S3HTTPSession::Exchange exchange;
          exchange.body = completion;
          return exchange;
        },
        cancel);
    // A completion can fail after its 200 status went out; the error document says so.
    const std::string_view answer(reinterpret_cast<const char*>(completed.body.data()), completed.body.size());
    if (completed.statusCode == 200 && answer.find("<Error>") == std::string_view::npos) return 200;
    if (completed.statusCode == 412 && createIfAbsent) {
      abortUpload(key, *uploadID);
      return 412;
    }
    throw S3HTTPFailureError::fromResponse("POST", key.rawValue(), completed.statusCode, completed.body);
  } catch (...) {
    abortUpload(key, *uploadID);
    throw;
  }
}

void S3RepositoryStorageBackend::abortUpload(const RepositoryObjectKey& key, const std::string& uploadID) {
  try {
    // Not cancellable: the parts of an abandoned upload would otherwise stay stored (and billed).
    send(
        signedRequest("DELETE", signer_.requestTarget(key, {{"uploadId", uploadID}}),
                      S3RequestSigner::emptyPayloadSHA256Hex(), {}),
        [] { return S3HTTPSession::Exchange{}; }, CancellationToken::none());
  } catch (const std::exception&) {
    // The failure that led here is the one to report; a bucket lifecycle rule removes the
    // parts of uploads that could not be aborted.
  }
}

void S3RepositoryStorageBackend::readObject(const RepositoryObjectKey& key, const std::filesystem::path& to,
                                            const CancellationToken& cancel) {
  cancel.throwIfCancelled();
  auto target = signer_.requestTarget(key);
  auto request = signedRequest("GET", target, S3RequestSigner::emptyPayloadSHA256Hex(), {});
  DownloadFile download(to);
  auto response = send(
      request,
      [&] {
        download.restart();
        S3HTTPSession::Exchange exchange;
        exchange.onSuccessBody = [&download](const char* data, std::size_t size) { download.append(data, size); };
        return exchange;
      },
      cancel);
  if (response.statusCode != 200) {
    throw S3HTTPFailureError::fromResponse("GET", key.rawValue(), response.statusCode, response.body);
  }
  cancel.throwIfCancelled();
  download.commit();
}

void S3RepositoryStorageBackend::deleteObject(const RepositoryObjectKey& key, const CancellationToken& cancel) {
  cancel.throwIfCancelled();
  auto target = signer_.requestTarget(key);
  auto request = signedRequest("DELETE", target, S3RequestSigner::emptyPayloadSHA256Hex(), {});
  auto response = send(
      request, [] { return S3HTTPSession::Exchange{}; }, cancel);
  long status = response.statusCode;
  if (status == 200 || status == 204 || status == 404) return;
  throw S3HTTPFailureError::fromResponse("DELETE", key.rawValue(), status, response.body);
}

std::vector<RepositoryObjectKey> S3RepositoryStorageBackend::listObjectKeys(const std::optional<std::string>& prefix,
                                                                            const CancellationToken& cancel) {
  return listObjectsWithSizes(prefix, cancel).keys();
}

RepositoryObjectKeyList S3RepositoryStorageBackend::listObjectsWithSizes(const std::optional<std::string>& prefix,
                                                                         const CancellationToken& cancel) {
  cancel.throwIfCancelled();
  RepositoryObjectKeyList keys;
  // A listing must move forward: every token is remembered and a repeat refused, and a page
  // that leads on but adds no key is refused, so a faulty or hostile service cannot keep us
  // paging forever. While keys arrive in ascending order (as services list them) a key
  // above the last one is new; from the first key out of order on, keys are remembered by
  // a 64-bit hash only, to stay small.
  std::unordered_set<std::string> tokensSeen;
  KeyHashSet keysSeen;
  bool ascending = true;
  std::string lastKey;
  std::optional<std::string> token;
  const std::string errorKey = prefix.value_or("");
  for (;;) {
    std::vector<S3QueryItem> items{{"list-type", "2"}};
    if (prefix && !prefix->empty()) items.push_back({"prefix", *prefix});
    if (token) items.push_back({"continuation-token", *token});
    auto target = signer_.bucketRequestTarget(items);
    auto request = signedRequest("GET", target, S3RequestSigner::emptyPayloadSHA256Hex(), {});
    // Each attempt parses into a fresh parser, so a broken transfer leaves no half page.
    std::unique_ptr<S3ListBucketResultParser> parser;
    auto response = send(
        request,
        [&] {
          parser = std::make_unique<S3ListBucketResultParser>();
          S3HTTPSession::Exchange exchange;
          S3ListBucketResultParser* current = parser.get();
          exchange.onSuccessBody = [current](const char* data, std::size_t size) { current->feed(data, size); };
          return exchange;
        },
        cancel);
    if (response.statusCode != 200) {
      throw S3HTTPFailureError::fromResponse("LIST", errorKey, response.statusCode, response.body);
    }
    S3ListBucketResultParser::Page page = parser->finish();
    bool addedKey = false;
    for (std::size_t i = 0; i < page.keys.size(); ++i) {
      RepositoryObjectKey key(std::move(page.keys[i]));  // validates
      if (ascending && (keys.empty() || key.rawValue() > lastKey)) {
        lastKey = key.rawValue();
        addedKey = true;
      } else {
        if (ascending) {
          ascending = false;
          for (std::size_t k = 0; k < keys.size(); ++k) keysSeen.insert(std::hash<std::string>()(keys.key(k)));
        }
        if (keysSeen.insert(std::hash<std::string>()(key.rawValue()))) addedKey = true;
      }
      keys.append(key.rawValue(), i < page.sizes.size() ? page.sizes[i] : RepositoryObjectKeyList::kUnknownSize);
    }
    // "IsTruncated" false ends the listing whatever else the page holds; without the flag
    // the token alone decides.
    if (page.isTruncated == false || !page.nextContinuationToken) {
      if (page.isTruncated == true) {
        throw EngineError::ioError("S3 listing is truncated but gave no continuation token.");
      }
      break;
    }
    if (!addedKey) {
      throw EngineError::ioError("S3 listing returned a page without new keys that leads to another page.");
    }
    if (!tokensSeen.insert(*page.nextContinuationToken).second) {
      throw EngineError::ioError("S3 listing returned the same continuation token twice.");
    }
    token = std::move(page.nextContinuationToken);
    cancel.throwIfCancelled();
  }
  keys.sortAndRemoveDuplicates();
  return keys;
}

}  // namespace tvr
