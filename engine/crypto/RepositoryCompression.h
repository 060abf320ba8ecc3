#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Bytes.h"

namespace tvr {

// LZFSE compression of whole blob chunks (the reference LZFSE format). Stateless; safe
// from any thread. A compressor failure throws tvr::Error of domain "LZFSE"; a result of
// the wrong length throws ("RepositoryCompression", 1,
// "Compressed data did not expand to the expected size.").
namespace RepositoryCompression {

Bytes compress(const std::uint8_t* data, std::size_t size);
inline Bytes compress(const Bytes& data) { return compress(data.data(), data.size()); }

Bytes decompress(const std::uint8_t* data, std::size_t size, std::size_t expectedSize);
inline Bytes decompress(const Bytes& data, std::size_t expectedSize) {
  return decompress(data.data(), data.size(), expectedSize);
}

// Reusable scratch memory and output buffer for many chunks in a row (streamed blobs), so
// a stream does not allocate per chunk. Not thread-safe; one per operation.
class Workspace {
 public:
  Workspace();
  ~Workspace();
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  struct View {
    const std::uint8_t* data;
    std::size_t size;
  };

  // Results stay valid until the next call on this workspace. Same errors as above.
  View compress(const std::uint8_t* data, std::size_t size);
  View decompress(const std::uint8_t* data, std::size_t size, std::size_t expectedSize);

 private:
  Bytes encodeScratch_;
  Bytes decodeScratch_;
  Bytes output_;
};

}  // namespace RepositoryCompression
}  // namespace tvr
