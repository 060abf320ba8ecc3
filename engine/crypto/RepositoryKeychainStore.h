#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/crypto/RepositoryKeyMaterial.h"
#include "engine/crypto/RepositoryKeychainClient.h"

namespace tvr {

enum class RepositoryKeychainSyncPolicy { localOnly, iCloudKeychain };
enum class RepositoryKeychainRole { backup, recovery };

// "localOnly", "iCloudKeychain" / "backup", "recovery"; parsing answers nullopt for any other text.
const char* repositoryKeychainSyncPolicyName(RepositoryKeychainSyncPolicy policy);
std::optional<RepositoryKeychainSyncPolicy> parseRepositoryKeychainSyncPolicy(const std::string& text);
const char* repositoryKeychainRoleName(RepositoryKeychainRole role);
std::optional<RepositoryKeychainRole> parseRepositoryKeychainRole(const std::string& text);

// Makes the access control of a user-presence item; nullopt when it cannot be made.
using RepositoryKeychainAccessControlFactory = std::function<std::optional<RepositoryKeychainAccessControl>(
    RepositoryKeychainAccessibility accessibility, bool userPresence)>;

// The keychain item of one repository key, derived from a descriptor.
struct RepositoryKeychainItemAttributes {
  std::string service;
  std::string account;
  bool synchronizable = false;
  RepositoryKeychainAccessibility accessibility = RepositoryKeychainAccessibility::afterFirstUnlockThisDeviceOnly;
  bool requiresUserPresence = false;
  std::optional<std::string> userPresenceReason;
  std::optional<std::string> accessGroup;

  // Names the item: generic password, service, account, synchronizable when set, access
  // group (with the data-protection keychain) when present.
  RepositoryKeychainQuery lookupQuery() const;
  // lookupQuery plus protection: the plain accessibility unless the item is device-only and
  // requires user presence, which gets an access control instead. Throws
  // ("RepositoryKeychainStore", -50, "Failed to create Keychain access control. OSStatus -50.")
  // when the factory cannot make it.
  RepositoryKeychainQuery addQuery(const RepositoryKeychainAccessControlFactory& makeAccessControl) const;
  RepositoryKeychainQuery addQuery() const;

  bool operator==(const RepositoryKeychainItemAttributes& other) const = default;
};

// Which keychain item holds which key of which repository, and how it is protected.
struct RepositoryKeychainDescriptor {
  static constexpr const char* defaultService = "Tovarine.RepositoryKey";

  std::string repositoryID;
  std::string service = defaultService;
  RepositoryKeychainSyncPolicy syncPolicy = RepositoryKeychainSyncPolicy::localOnly;
  RepositoryKeychainRole role = RepositoryKeychainRole::backup;
  bool requiresUserPresence = false;  // device-only items only
  std::optional<std::string> userPresenceReason;
  std::optional<std::string> accessGroup;

  // Account repositoryID + "." + role; synchronizable exactly for iCloudKeychain, with
  // after-first-unlock accessibility (this device only when not synchronizable).
  RepositoryKeychainItemAttributes itemAttributes() const;

  bool operator==(const RepositoryKeychainDescriptor& other) const = default;
};

// Saves, loads, checks for and deletes repository keys as keychain items through one
// client (the system client by default). A value; copies share the client, which is
// stateless and thread-safe, so calls may come from any thread. Failures throw
// tvr::Error of domain "RepositoryKeychainStore" whose code is the keychain status and whose
// message ends in " OSStatus <status>."; a stored item that is not 32 bytes fails `load`
// with the RepositoryKeyMaterial error. Key bytes never appear in an error.
class RepositoryKeychainStore {
 public:
  RepositoryKeychainStore();
  explicit RepositoryKeychainStore(std::shared_ptr<RepositoryKeychainClient> client,
                                   RepositoryKeychainAccessControlFactory makeAccessControl = {});

  const std::shared_ptr<RepositoryKeychainClient>& client() const noexcept { return client_; }

  // Replaces the item's data in place, or adds the item when there is none.
  void save(const RepositoryKeyMaterial& key, const RepositoryKeychainDescriptor& descriptor) const;
  // The stored key, or nullopt when no item exists. Reading an item that requires user
  // presence asks the user, with the descriptor's reason.
  std::optional<RepositoryKeyMaterial> load(const RepositoryKeychainDescriptor& descriptor) const;
  // Whether the item exists, without ever asking the user.
  bool contains(const RepositoryKeychainDescriptor& descriptor) const;
  // Deletes the item; a missing item is not an error.
  void deleteItem(const RepositoryKeychainDescriptor& descriptor) const;

 private:
  std::shared_ptr<RepositoryKeychainClient> client_;
  RepositoryKeychainAccessControlFactory makeAccessControl_;
};

}  // namespace tvr
