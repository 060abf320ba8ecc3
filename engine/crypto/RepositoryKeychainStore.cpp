#include "engine/crypto/RepositoryKeychainStore.h"

#include "platform/Error.h"

namespace tvr {

namespace Status = RepositoryKeychainStatus;

namespace {

constexpr const char* kDomain = "RepositoryKeychainStore";

Error keychainError(const std::string& message, std::int32_t status) {
  return Error(kDomain, status, message + " OSStatus " + std::to_string(status) + ".");
}

std::optional<RepositoryKeychainAccessControl> makePlainAccessControl(RepositoryKeychainAccessibility accessibility,
                                                                      bool userPresence) {
  return RepositoryKeychainAccessControl{accessibility, userPresence};
}

}  // namespace

const char* repositoryKeychainSyncPolicyName(RepositoryKeychainSyncPolicy policy) {
  return policy == RepositoryKeychainSyncPolicy::iCloudKeychain ? "iCloudKeychain" : "localOnly";
}

std::optional<RepositoryKeychainSyncPolicy> parseRepositoryKeychainSyncPolicy(const std::string& text) {
  if (text == "localOnly") return RepositoryKeychainSyncPolicy::localOnly;
  if (text == "iCloudKeychain") return RepositoryKeychainSyncPolicy::iCloudKeychain;
  return std::nullopt;
}

const char* repositoryKeychainRoleName(RepositoryKeychainRole role) {
  return role == RepositoryKeychainRole::recovery ? "recovery" : "backup";
}

std::optional<RepositoryKeychainRole> parseRepositoryKeychainRole(const std::string& text) {
  if (text == "backup") return RepositoryKeychainRole::backup;
  if (text == "recovery") return RepositoryKeychainRole::recovery;
  return std::nullopt;
}

RepositoryKeychainItemAttributes RepositoryKeychainDescriptor::itemAttributes() const {
  RepositoryKeychainItemAttributes attributes;
  attributes.service = service;
  attributes.account = repositoryID + "." + repositoryKeychainRoleName(role);
  attributes.synchronizable = syncPolicy == RepositoryKeychainSyncPolicy::iCloudKeychain;
  attributes.accessibility = attributes.synchronizable
                                 ? RepositoryKeychainAccessibility::afterFirstUnlock
                                 : RepositoryKeychainAccessibility::afterFirstUnlockThisDeviceOnly;
  attributes.requiresUserPresence = requiresUserPresence;
  attributes.userPresenceReason = userPresenceReason;
  attributes.accessGroup = accessGroup;
  return attributes;
}

RepositoryKeychainQuery RepositoryKeychainItemAttributes::lookupQuery() const {
  RepositoryKeychainQuery query;
  query.service = service;
  query.account = account;
  if (synchronizable) query.synchronizable = true;
  if (accessGroup) {
    query.accessGroup = accessGroup;
    query.useDataProtectionKeychain = true;
  }
  return query;
}

RepositoryKeychainQuery RepositoryKeychainItemAttributes::addQuery(
    const RepositoryKeychainAccessControlFactory& makeAccessControl) const {
  RepositoryKeychainQuery query = lookupQuery();
  // A synchronised item cannot carry a device-bound presence check.
  if (!requiresUserPresence || synchronizable) {
    query.accessibility = accessibility;
    return query;
  }
  std::optional<RepositoryKeychainAccessControl> control =
      makeAccessControl ? makeAccessControl(accessibility, true) : makePlainAccessControl(accessibility, true);
  if (!control) throw keychainError("Failed to create Keychain access control.", Status::param);
  query.accessControl = *control;
  return query;
}

RepositoryKeychainQuery RepositoryKeychainItemAttributes::addQuery() const { return addQuery(makePlainAccessControl); }

RepositoryKeychainStore::RepositoryKeychainStore()
    : RepositoryKeychainStore(std::make_shared<SystemRepositoryKeychainClient>()) {}

RepositoryKeychainStore::RepositoryKeychainStore(std::shared_ptr<RepositoryKeychainClient> client,
                                                 RepositoryKeychainAccessControlFactory makeAccessControl)
    : client_(std::move(client)),
      makeAccessControl_(makeAccessControl ? std::move(makeAccessControl) : makePlainAccessControl) {}

void RepositoryKeychainStore::save(const RepositoryKeyMaterial& key,
                                   const RepositoryKeychainDescriptor& descriptor) const {
  const RepositoryKeychainItemAttributes attributes = descriptor.itemAttributes();
  RepositoryKeychainQuery update;
  update.valueData = key.rawData();
  std::int32_t status = client_->update(attributes.lookupQuery(), update);
  if (status == Status::success) return;
  if (status != Status::itemNotFound) throw keychainError("Failed to update repository key in Keychain.", status);
  RepositoryKeychainQuery add = attributes.addQuery(makeAccessControl_);
  add.valueData = key.rawData();
  status = client_->add(add);
  if (status != Status::success) throw keychainError("Failed to save repository key in Keychain.", status);
}

std::optional<RepositoryKeyMaterial> RepositoryKeychainStore::load(
    const RepositoryKeychainDescriptor& descriptor) const {
  const RepositoryKeychainItemAttributes attributes = descriptor.itemAttributes();
  RepositoryKeychainQuery query = attributes.lookupQuery();
  query.returnData = true;
  query.matchLimitOne = true;
  if (attributes.userPresenceReason) {
    query.authenticationContext = RepositoryKeychainAuthenticationContext{attributes.userPresenceReason, false};
  }
  RepositoryKeychainCopyResult result = client_->copyMatching(query);
  if (result.status == Status::itemNotFound) return std::nullopt;
  if (result.status != Status::success)
    throw keychainError("Failed to load repository key from Keychain.", result.status);
  return RepositoryKeyMaterial(result.data.value_or(SecretBytes()));
}

bool RepositoryKeychainStore::contains(const RepositoryKeychainDescriptor& descriptor) const {
  RepositoryKeychainQuery query = descriptor.itemAttributes().lookupQuery();
  query.returnAttributes = true;
  query.matchLimitOne = true;
  query.authenticationContext = RepositoryKeychainAuthenticationContext{std::nullopt, true};
  RepositoryKeychainCopyResult result = client_->copyMatching(query);
  if (result.status == Status::success || result.status == Status::interactionNotAllowed) return true;
  if (result.status == Status::itemNotFound) return false;
  throw keychainError("Failed to check repository key in Keychain.", result.status);
}

void RepositoryKeychainStore::deleteItem(const RepositoryKeychainDescriptor& descriptor) const {
  std::int32_t status = client_->deleteItem(descriptor.itemAttributes().lookupQuery());
  if (status == Status::success || status == Status::itemNotFound) return;
  throw keychainError("Failed to delete repository key from Keychain.", status);
}

}  // namespace tvr
