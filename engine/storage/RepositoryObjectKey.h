#pragma once

#include <compare>
#include <functional>
#include <string>

namespace tvr {

// A "/"-separated object name relative to a repository root ("repo.json",
// "blobs/ab/ab12..."). The validating constructor rejects the empty string, a leading "/"
// and any ".." (also inside a component) with EngineError.ioError
// "Invalid repository object key: " + raw; `unchecked` wraps a string without checking.
class RepositoryObjectKey {
 public:
  explicit RepositoryObjectKey(std::string raw);
  static RepositoryObjectKey unchecked(std::string raw);

  const std::string& rawValue() const noexcept { return raw_; }
  const std::string& description() const noexcept { return raw_; }

  bool operator==(const RepositoryObjectKey& other) const = default;
  auto operator<=>(const RepositoryObjectKey& other) const = default;

 private:
  struct Unchecked {};
  RepositoryObjectKey(Unchecked, std::string raw) : raw_(std::move(raw)) {}
  std::string raw_;
};

}  // namespace tvr

template <>
struct std::hash<tvr::RepositoryObjectKey> {
  std::size_t operator()(const tvr::RepositoryObjectKey& key) const noexcept {
    return std::hash<std::string>()(key.rawValue());
  }
};
