#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Bytes.h"

namespace tvr {

// When a keychain item may be read.
enum class RepositoryKeychainAccessibility { afterFirstUnlockThisDeviceOnly, afterFirstUnlock };

// The keychain's status codes the store tells apart (and a few others the clients report).
namespace RepositoryKeychainStatus {
inline constexpr std::int32_t success = 0;
inline constexpr std::int32_t unimplemented = -4;
inline constexpr std::int32_t diskFull = -34;
inline constexpr std::int32_t ioError = -36;
inline constexpr std::int32_t param = -50;
inline constexpr std::int32_t allocate = -108;
inline constexpr std::int32_t userCanceled = -128;
inline constexpr std::int32_t notAvailable = -25291;
inline constexpr std::int32_t authFailed = -25293;
inline constexpr std::int32_t duplicateItem = -25299;
inline constexpr std::int32_t itemNotFound = -25300;
inline constexpr std::int32_t interactionNotAllowed = -25308;
}  // namespace RepositoryKeychainStatus

// Protection that asks for the user's presence before the item's data is released.
struct RepositoryKeychainAccessControl {
  RepositoryKeychainAccessibility accessibility;
  bool userPresence = false;
  bool operator==(const RepositoryKeychainAccessControl& other) const = default;
};

struct RepositoryKeychainAuthenticationContext {
  std::optional<std::string> localizedReason;  // shown when the user is asked
  bool interactionNotAllowed = false;          // fail rather than ask
  bool operator==(const RepositoryKeychainAuthenticationContext& other) const = default;
};

// One keychain query or attribute set for generic-password items (the only item class used).
// Absent members are not part of the query.
struct RepositoryKeychainQuery {
  std::string service;
  std::string account;
  std::optional<bool> synchronizable;  // absent: only items that do not sync
  std::optional<std::string> accessGroup;
  bool useDataProtectionKeychain = false;
  std::optional<RepositoryKeychainAccessibility> accessibility;
  std::optional<RepositoryKeychainAccessControl> accessControl;
  std::optional<SecretBytes> valueData;
  bool returnData = false;
  bool returnAttributes = false;
  bool matchLimitOne = false;
  std::optional<RepositoryKeychainAuthenticationContext> authenticationContext;
};

struct RepositoryKeychainCopyResult {
  std::int32_t status = RepositoryKeychainStatus::itemNotFound;
  std::optional<SecretBytes> data;  // when the query asked for data and an item matched
};

// The only place that talks to a keychain. Each operation returns the keychain's status
// code (0 for success, -25300 when no item matches, -25308 when the item needs a user
// interaction that the query forbids) and never throws. Implementations are safe to call
// from several threads.
class RepositoryKeychainClient {
 public:
  virtual ~RepositoryKeychainClient() = default;
  // Sets `attributes` (here the value data) on the item matching `query`.
  virtual std::int32_t update(const RepositoryKeychainQuery& query, const RepositoryKeychainQuery& attributes) = 0;
  // Adds a new item; -25299 when one with the same identity exists.
  virtual std::int32_t add(const RepositoryKeychainQuery& query) = 0;
  virtual RepositoryKeychainCopyResult copyMatching(const RepositoryKeychainQuery& query) = 0;
  // Deletes every item matching `query`.
  virtual std::int32_t deleteItem(const RepositoryKeychainQuery& query) = 0;
};

// A keychain held in memory, for tests: items are told apart by service, account,
// synchronizable and access group, keep the protection they were added with, and an item
// with a user-presence access control behaves as on a device (reading its data asks the
// user, -25308 when the query forbids asking). Statuses can be forced per operation.
// Thread-safe.
class InMemoryRepositoryKeychainClient : public RepositoryKeychainClient {
 public:
  enum class Operation { update, add, copyMatching, deleteItem };
  struct Item {
    std::string service;
    std::string account;
    bool synchronizable = false;
    std::optional<std::string> accessGroup;
    std::optional<RepositoryKeychainAccessibility> accessibility;
    std::optional<RepositoryKeychainAccessControl> accessControl;
    SecretBytes data;
  };

  std::int32_t update(const RepositoryKeychainQuery& query, const RepositoryKeychainQuery& attributes) override;
  std::int32_t add(const RepositoryKeychainQuery& query) override;
  RepositoryKeychainCopyResult copyMatching(const RepositoryKeychainQuery& query) override;
  std::int32_t deleteItem(const RepositoryKeychainQuery& query) override;

  // The next call of `operation` returns `status` without touching the items.
  void forceStatus(Operation operation, std::int32_t status);
  // Whether the simulated user confirms (default) or cancels a presence prompt.
  void setUserConfirms(bool confirms);

  std::vector<Item> items() const;
  int callCount(Operation operation) const;
  int userPresencePrompts() const;
  // The reasons shown with each prompt, in order (empty text when none was given).
  std::vector<std::string> promptReasons() const;

 private:
  std::vector<Item>::iterator find(const RepositoryKeychainQuery& query);
  std::optional<std::int32_t> takeForced(Operation operation);

  mutable std::mutex mutex_;
  std::vector<Item> items_;
  std::map<Operation, std::int32_t> forced_;
  std::map<Operation, int> calls_;
  bool userConfirms_ = true;
  std::vector<std::string> promptReasons_;
};

// Generic-password items in the Linux kernel key retention service: each item is a "user"
// key in one keyring (the user keyring by default), described by its service, account,
// synchronizable flag and access group, holding the value data as its payload.
//
// What it cannot promise, it refuses: the kernel has no way to ask for the user's presence
// before releasing a key, so `add` of an item whose access control asks for user presence
// fails with -4 (unimplemented) and stores nothing; the caller may save the key without
// that protection (knowingly) or keep it elsewhere. Syncing is not a protection: the flag
// only tells items apart. A stored key is readable by every process of the same user that
// can reach the keyring (the user keyring is linked from the user's sessions, and a
// scheduled backup runs outside the session that saved the key); no other user can read
// it. Keys live as long as the kernel keeps the keyring (the user keyring lasts while the
// user has processes; none survives a reboot). errno values map to keychain statuses
// (ENOKEY -25300, EACCES -25293, EDQUOT -34, EINVAL -50...); the kernel refuses an empty
// value (-50). Stateless; thread-safe.
class SystemRepositoryKeychainClient : public RepositoryKeychainClient {
 public:
  SystemRepositoryKeychainClient();
  // Keeps items in the keyring with this serial (or special keyring id).
  explicit SystemRepositoryKeychainClient(std::int32_t keyringID);

  std::int32_t keyringID() const noexcept { return keyringID_; }

  std::int32_t update(const RepositoryKeychainQuery& query, const RepositoryKeychainQuery& attributes) override;
  std::int32_t add(const RepositoryKeychainQuery& query) override;
  RepositoryKeychainCopyResult copyMatching(const RepositoryKeychainQuery& query) override;
  std::int32_t deleteItem(const RepositoryKeychainQuery& query) override;

  // The kernel key description of the item a query names.
  static std::string keyDescription(const RepositoryKeychainQuery& query);

 private:
  std::int32_t keyringID_;
};

}  // namespace tvr
