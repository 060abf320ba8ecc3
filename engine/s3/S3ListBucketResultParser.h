#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Bytes.h"

namespace tvr {

// Reads one ListObjectsV2 result page as a stream of XML events (Expat) and keeps only the
// text of every "Key" element, wherever it occurs, the "Size" of each "Contents" record, the
// "IsTruncated" flag and the "NextContinuationToken" (absent when empty). S3 never sends
// more than 1,000 keys in a page: a page with more is refused as soon as the 1,001st key
// ends (EngineError.ioError), so a hostile page cannot fill memory. Names are compared exactly, without namespace
// processing. Feed the body in pieces with `feed` and end with `finish`; a document that is not well-formed throws
// tvr::Error (domain "XMLParser", code = Expat's error code). Document type declarations
// are refused, so a hostile page cannot expand entities. Not thread-safe; one per page.
class S3ListBucketResultParser {
 public:
  static constexpr std::size_t kMaximumKeysPerPage = 1000;

  struct Page {
    std::vector<std::string> keys;
    std::optional<std::string> nextContinuationToken;
    // Parallel to `keys`: the size of the key's "Contents" record, or -1 when it has none or
    // it does not parse.
    std::vector<std::int64_t> sizes;
    std::optional<bool> isTruncated;  // absent when the page does not say
    bool operator==(const Page& other) const = default;
  };

  S3ListBucketResultParser();
  ~S3ListBucketResultParser();
  S3ListBucketResultParser(const S3ListBucketResultParser&) = delete;
  S3ListBucketResultParser& operator=(const S3ListBucketResultParser&) = delete;

  void feed(const char* data, std::size_t size);
  Page finish();

  static Page parse(const Bytes& data);

  // Handler state, reached by the C callbacks.
  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace tvr
