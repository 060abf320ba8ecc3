#include "engine/crypto/RepositoryKeychainClient.h"

#include <keyutils.h>

#include <cerrno>
#include <cstdlib>

namespace tvr {

namespace Status = RepositoryKeychainStatus;

// ---- In memory ----

std::vector<InMemoryRepositoryKeychainClient::Item>::iterator InMemoryRepositoryKeychainClient::find(
    const RepositoryKeychainQuery& query) {
  const bool synchronizable = query.synchronizable.value_or(false);
  for (auto it = items_.begin(); it != items_.end(); ++it) {
    if (it->service == query.service && it->account == query.account && it->synchronizable == synchronizable &&
        it->accessGroup == query.accessGroup) {
      return it;
    }
  }
  return items_.end();
}

std::optional<std::int32_t> InMemoryRepositoryKeychainClient::takeForced(Operation operation) {
  ++calls_[operation];
  auto it = forced_.find(operation);
  if (it == forced_.end()) return std::nullopt;
  std::int32_t status = it->second;
  forced_.erase(it);
  return status;
}

std::int32_t InMemoryRepositoryKeychainClient::update(const RepositoryKeychainQuery& query,
                                                      const RepositoryKeychainQuery& attributes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto forced = takeForced(Operation::update)) return *forced;
  auto it = find(query);
  if (it == items_.end()) return Status::itemNotFound;
  if (attributes.valueData) it->data = *attributes.valueData;
  return Status::success;
}

std::int32_t InMemoryRepositoryKeychainClient::add(const RepositoryKeychainQuery& query) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto forced = takeForced(Operation::add)) return *forced;
  if (find(query) != items_.end()) return Status::duplicateItem;
  if (query.accessibility && query.accessControl) return Status::param;
  Item item;
  item.service = query.service;
  item.account = query.account;
  item.synchronizable = query.synchronizable.value_or(false);
  item.accessGroup = query.accessGroup;
  item.accessibility = query.accessibility;
  item.accessControl = query.accessControl;
  item.data = query.valueData.value_or(SecretBytes());
  items_.push_back(std::move(item));
  return Status::success;
}

RepositoryKeychainCopyResult InMemoryRepositoryKeychainClient::copyMatching(const RepositoryKeychainQuery& query) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto forced = takeForced(Operation::copyMatching)) return {*forced, std::nullopt};
  auto it = find(query);
  if (it == items_.end()) return {Status::itemNotFound, std::nullopt};
  const bool needsPresence = it->accessControl && it->accessControl->userPresence;
  if (needsPresence) {
    if (query.authenticationContext && query.authenticationContext->interactionNotAllowed) {
      return {Status::interactionNotAllowed, std::nullopt};
    }
    if (query.returnData) {
      promptReasons_.push_back(query.authenticationContext ? query.authenticationContext->localizedReason.value_or("")
                                                           : "");
      if (!userConfirms_) return {Status::userCanceled, std::nullopt};
    }
  }
  RepositoryKeychainCopyResult result{Status::success, std::nullopt};
  if (query.returnData) result.data = it->data;
  return result;
}

std::int32_t InMemoryRepositoryKeychainClient::deleteItem(const RepositoryKeychainQuery& query) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto forced = takeForced(Operation::deleteItem)) return *forced;
  auto it = find(query);
  if (it == items_.end()) return Status::itemNotFound;
  items_.erase(it);
  return Status::success;
}

void InMemoryRepositoryKeychainClient::forceStatus(Operation operation, std::int32_t status) {
  std::lock_guard<std::mutex> lock(mutex_);
  forced_[operation] = status;
}

void InMemoryRepositoryKeychainClient::setUserConfirms(bool confirms) {
  std::lock_guard<std::mutex> lock(mutex_);
  userConfirms_ = confirms;
}

std::vector<InMemoryRepositoryKeychainClient::Item> InMemoryRepositoryKeychainClient::items() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return items_;
}

int InMemoryRepositoryKeychainClient::callCount(Operation operation) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = calls_.find(operation);
  return it == calls_.end() ? 0 : it->second;
}

int InMemoryRepositoryKeychainClient::userPresencePrompts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(promptReasons_.size());
}

std::vector<std::string> InMemoryRepositoryKeychainClient::promptReasons() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return promptReasons_;
}

// ---- Kernel key retention service ----

namespace {

constexpr const char* kKeyType = "user";
// Possessor: everything. Same user in another session: view, read, write, search (a
// scheduled backup runs outside the session that saved the key). Nobody else.
constexpr key_perm_t kKeyPermissions = KEY_POS_ALL | KEY_USR_VIEW | KEY_USR_READ | KEY_USR_WRITE | KEY_USR_SEARCH;
// Bounds the delete loop should the kernel keep answering with the same key.
constexpr int kMaxDeletedKeys = 64;

std::int32_t statusForErrno(int err) {
  switch (err) {
    case ENOKEY:
    case EKEYEXPIRED:
    case EKEYREVOKED:
      return Status::itemNotFound;
    case EACCES:
    case EPERM:
      return Status::authFailed;
    case EDQUOT:
      return Status::diskFull;
    case ENOMEM:
      return Status::allocate;
    case EINVAL:
    case E2BIG:
      return Status::param;
    case ENOSYS:
    case EOPNOTSUPP:
      return Status::notAvailable;
    default:
      return Status::ioError;
  }
}

// Every byte outside a small safe set becomes %XX, so that ":" separates fields unambiguously.
std::string escaped(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
        c == '_' || c == '@') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0xF];
    }
  }
  return out;
}

// The serial of the key the query names, or the keychain status of the failure.
struct Found {
  key_serial_t serial = -1;
  std::int32_t status = Status::success;
};

Found search(std::int32_t keyring, const RepositoryKeychainQuery& query) {
  const std::string description = SystemRepositoryKeychainClient::keyDescription(query);
  long serial = ::keyctl_search(keyring, kKeyType, description.c_str(), 0);
  if (serial < 0) return {-1, statusForErrno(errno)};
  return {static_cast<key_serial_t>(serial), Status::success};
}

}  // namespace

SystemRepositoryKeychainClient::SystemRepositoryKeychainClient() : keyringID_(KEY_SPEC_USER_KEYRING) {}

SystemRepositoryKeychainClient::SystemRepositoryKeychainClient(std::int32_t keyringID) : keyringID_(keyringID) {}

std::string SystemRepositoryKeychainClient::keyDescription(const RepositoryKeychainQuery& query) {
  return "tovarine-keychain:" + escaped(query.service) + ":" + escaped(query.account) + ":" +
         (query.synchronizable.value_or(false) ? "1" : "0") + ":" +
         (query.accessGroup ? "g" + escaped(*query.accessGroup) : "");
}

std::int32_t SystemRepositoryKeychainClient::update(const RepositoryKeychainQuery& query,
                                                    const RepositoryKeychainQuery& attributes) {
  Found found = search(keyringID_, query);
  if (found.status != Status::success) return found.status;
  if (!attributes.valueData) return Status::success;
  if (::keyctl_update(found.serial, attributes.valueData->data(), attributes.valueData->size()) < 0) {
    return statusForErrno(errno);
  }
  return Status::success;
}

std::int32_t SystemRepositoryKeychainClient::add(const RepositoryKeychainQuery& query) {
  // Storing it would hand the key to any process of the user without asking anyone.
  if (query.accessControl && query.accessControl->userPresence) return Status::unimplemented;
  Found found = search(keyringID_, query);
  if (found.status == Status::success) return Status::duplicateItem;
  if (found.status != Status::itemNotFound) return found.status;
  const SecretBytes data = query.valueData.value_or(SecretBytes());
  const std::string description = keyDescription(query);
  key_serial_t serial = ::add_key(kKeyType, description.c_str(), data.data(), data.size(), keyringID_);
  if (serial < 0) return statusForErrno(errno);
  if (::keyctl_setperm(serial, kKeyPermissions) < 0) {
    int err = errno;
    // A key we cannot give its permissions is not left behind half-usable.
    ::keyctl_invalidate(serial);
    return statusForErrno(err);
  }
  return Status::success;
}

RepositoryKeychainCopyResult SystemRepositoryKeychainClient::copyMatching(const RepositoryKeychainQuery& query) {
  Found found = search(keyringID_, query);
  if (found.status != Status::success) return {found.status, std::nullopt};
  RepositoryKeychainCopyResult result{Status::success, std::nullopt};
  if (query.returnData) {
    void* buffer = nullptr;
    long length = ::keyctl_read_alloc(found.serial, &buffer);
    if (length < 0) return {statusForErrno(errno), std::nullopt};
    result.data = SecretBytes(static_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(length));
    secureWipe(buffer, static_cast<std::size_t>(length));
    std::free(buffer);
  }
  return result;
}

std::int32_t SystemRepositoryKeychainClient::deleteItem(const RepositoryKeychainQuery& query) {
  std::int32_t status = Status::itemNotFound;
  for (int deleted = 0; deleted < kMaxDeletedKeys; ++deleted) {
    Found found = search(keyringID_, query);
    if (found.status == Status::itemNotFound) return status;
    if (found.status != Status::success) return found.status;
    if (::keyctl_invalidate(found.serial) < 0) {
      if (errno != EOPNOTSUPP && errno != ENOSYS) return statusForErrno(errno);
      // Kernels without invalidation: revoked keys no longer match a search.
      if (::keyctl_revoke(found.serial) < 0) return statusForErrno(errno);
    }
    status = Status::success;
  }
  return Status::ioError;
}

}  // namespace tvr
