#include "engine/storage/RepositoryObjectKey.h"

#include "platform/Error.h"

namespace tvr {

RepositoryObjectKey::RepositoryObjectKey(std::string raw) : raw_(std::move(raw)) {
  if (raw_.empty() || raw_.front() == '/' || raw_.find("..") != std::string::npos) {
    throw EngineError::ioError("Invalid repository object key: " + raw_);
  }
}

RepositoryObjectKey RepositoryObjectKey::unchecked(std::string raw) {
  return RepositoryObjectKey(Unchecked{}, std::move(raw));
}

}  // namespace tvr
