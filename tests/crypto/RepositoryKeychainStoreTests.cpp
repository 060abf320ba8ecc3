#include <gtest/gtest.h>
#include <keyutils.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "engine/crypto/RepositoryKeyMaterial.h"
#include "engine/crypto/RepositoryKeychainClient.h"
#include "engine/crypto/RepositoryKeychainStore.h"
#include "platform/Error.h"
#include "platform/SecureRandom.h"
#include "tests/support/ErrorAssertions.h"

namespace tvr {
namespace {

using test::throwsError;

using Accessibility = RepositoryKeychainAccessibility;
using Op = InMemoryRepositoryKeychainClient::Operation;
namespace Status = RepositoryKeychainStatus;

RepositoryKeyMaterial keyOf(std::uint8_t fill) { return RepositoryKeyMaterial(Bytes(32, fill)); }

RepositoryKeychainDescriptor descriptor(RepositoryKeychainSyncPolicy policy = RepositoryKeychainSyncPolicy::localOnly,
                                        bool presence = false) {
  RepositoryKeychainDescriptor d;
  d.repositoryID = "REPO-1";
  d.syncPolicy = policy;
  d.requiresUserPresence = presence;
  if (presence) d.userPresenceReason = "Unlock the backup key";
  return d;
}

TEST(RepositoryKeychainDescriptor, DerivesAccountSyncAndAccessibility) {
  RepositoryKeychainDescriptor d;
  d.repositoryID = "R";
  EXPECT_EQ(d.service, "Tovarine.RepositoryKey");
  d.role = RepositoryKeychainRole::recovery;
  d.syncPolicy = RepositoryKeychainSyncPolicy::iCloudKeychain;
  d.requiresUserPresence = true;
  d.userPresenceReason = "why";
  d.accessGroup = "TEAM.group";
  EXPECT_EQ(d.itemAttributes(),
            (RepositoryKeychainItemAttributes{"Tovarine.RepositoryKey", "R.recovery", true,
                                              Accessibility::afterFirstUnlock, true, "why", "TEAM.group"}));
  d.role = RepositoryKeychainRole::backup;
  d.syncPolicy = RepositoryKeychainSyncPolicy::localOnly;
  RepositoryKeychainItemAttributes local = d.itemAttributes();
  EXPECT_EQ(local.account, "R.backup");
  EXPECT_FALSE(local.synchronizable);
  EXPECT_EQ(local.accessibility, Accessibility::afterFirstUnlockThisDeviceOnly);

  EXPECT_STREQ(repositoryKeychainSyncPolicyName(RepositoryKeychainSyncPolicy::iCloudKeychain), "iCloudKeychain");
  EXPECT_EQ(parseRepositoryKeychainSyncPolicy("localOnly"), RepositoryKeychainSyncPolicy::localOnly);
  EXPECT_EQ(parseRepositoryKeychainSyncPolicy("LocalOnly"), std::nullopt);
  EXPECT_EQ(parseRepositoryKeychainRole("recovery"), RepositoryKeychainRole::recovery);
  EXPECT_EQ(parseRepositoryKeychainRole("backups"), std::nullopt);
}

TEST(RepositoryKeychainItemAttributes, QueriesCarryProtectionOnlyWhereItApplies) {
  struct Case {
    const char* name;
    RepositoryKeychainSyncPolicy policy;
    bool presence;
    std::optional<bool> synchronizable;
    std::optional<Accessibility> accessibility;
    std::optional<RepositoryKeychainAccessControl> accessControl;
  };
  const Case cases[] = {
      {"device only", RepositoryKeychainSyncPolicy::localOnly, false, std::nullopt,
       Accessibility::afterFirstUnlockThisDeviceOnly, std::nullopt},
      {"device only with presence", RepositoryKeychainSyncPolicy::localOnly, true, std::nullopt, std::nullopt,
       RepositoryKeychainAccessControl{Accessibility::afterFirstUnlockThisDeviceOnly, true}},
      {"synced", RepositoryKeychainSyncPolicy::iCloudKeychain, false, true, Accessibility::afterFirstUnlock,
       std::nullopt},
      {"synced with presence", RepositoryKeychainSyncPolicy::iCloudKeychain, true, true,
       Accessibility::afterFirstUnlock, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RepositoryKeychainItemAttributes attributes = descriptor(c.policy, c.presence).itemAttributes();
    RepositoryKeychainQuery lookup = attributes.lookupQuery();
    EXPECT_EQ(lookup.synchronizable, c.synchronizable);
    EXPECT_FALSE(lookup.accessibility || lookup.accessControl || lookup.valueData);
    EXPECT_FALSE(lookup.accessGroup || lookup.useDataProtectionKeychain);
    RepositoryKeychainQuery add = attributes.addQuery();
    EXPECT_EQ(add.service, "Tovarine.RepositoryKey");
    EXPECT_EQ(add.account, "REPO-1.backup");
    EXPECT_EQ(add.synchronizable, c.synchronizable);
    EXPECT_EQ(add.accessibility, c.accessibility);
    EXPECT_EQ(add.accessControl, c.accessControl);
  }
  RepositoryKeychainDescriptor grouped = descriptor();
  grouped.accessGroup = "TEAM.shared";
  RepositoryKeychainQuery lookup = grouped.itemAttributes().lookupQuery();
  EXPECT_EQ(lookup.accessGroup, "TEAM.shared");
  EXPECT_TRUE(lookup.useDataProtectionKeychain);
}

class KeychainStoreTest : public ::testing::Test {
 protected:
  std::shared_ptr<InMemoryRepositoryKeychainClient> client_ = std::make_shared<InMemoryRepositoryKeychainClient>();
  RepositoryKeychainStore store_{client_};
};

TEST_F(KeychainStoreTest, SavingTwiceUpdatesTheOneItem) {
  store_.save(keyOf(1), descriptor());
  store_.save(keyOf(2), descriptor());
  ASSERT_EQ(client_->items().size(), 1u);
  EXPECT_EQ(client_->items()[0].data.bytes(), Bytes(32, 2));
  EXPECT_EQ(client_->callCount(Op::add), 1);
  EXPECT_EQ(client_->callCount(Op::update), 2);
  EXPECT_EQ(store_.load(descriptor()), keyOf(2));
}

TEST_F(KeychainStoreTest, RolesAndSyncPoliciesAreSeparateItems) {
  RepositoryKeychainDescriptor recovery = descriptor();
  recovery.role = RepositoryKeychainRole::recovery;
  store_.save(keyOf(1), descriptor());
  store_.save(keyOf(2), recovery);
  store_.save(keyOf(3), descriptor(RepositoryKeychainSyncPolicy::iCloudKeychain));
  EXPECT_EQ(client_->items().size(), 3u);
  EXPECT_EQ(store_.load(descriptor()), keyOf(1));
  EXPECT_EQ(store_.load(recovery), keyOf(2));
  EXPECT_EQ(store_.load(descriptor(RepositoryKeychainSyncPolicy::iCloudKeychain)), keyOf(3));
  store_.deleteItem(recovery);
  EXPECT_FALSE(store_.contains(recovery));
  EXPECT_TRUE(store_.contains(descriptor()));
}

TEST_F(KeychainStoreTest, SyncedItemWithPresenceGetsPlainAccessibility) {
  store_.save(keyOf(1), descriptor(RepositoryKeychainSyncPolicy::iCloudKeychain, true));
  ASSERT_EQ(client_->items().size(), 1u);
  EXPECT_TRUE(client_->items()[0].synchronizable);
  EXPECT_EQ(client_->items()[0].accessibility, Accessibility::afterFirstUnlock);
  EXPECT_FALSE(client_->items()[0].accessControl.has_value());
}

TEST_F(KeychainStoreTest, PresenceItemIsFoundWithoutPromptAndReadWithOne) {
  const RepositoryKeychainDescriptor d = descriptor(RepositoryKeychainSyncPolicy::localOnly, true);
  store_.save(keyOf(7), d);
  ASSERT_TRUE(client_->items()[0].accessControl.has_value());
  EXPECT_TRUE(store_.contains(d));
  EXPECT_EQ(client_->userPresencePrompts(), 0);
  EXPECT_EQ(store_.load(d), keyOf(7));
  EXPECT_EQ(client_->promptReasons(), std::vector<std::string>{"Unlock the backup key"});
  client_->setUserConfirms(false);
  EXPECT_TRUE(throwsError([&] { store_.load(d); }, {"RepositoryKeychainStore", Status::userCanceled,
                                                    "Failed to load repository key from Keychain. OSStatus -128."}));
}

TEST_F(KeychainStoreTest, MissingItemsAreNotErrors) {
  EXPECT_EQ(store_.load(descriptor()), std::nullopt);
  EXPECT_FALSE(store_.contains(descriptor()));
  EXPECT_NO_THROW(store_.deleteItem(descriptor()));
  store_.save(keyOf(1), descriptor());
  store_.deleteItem(descriptor());
  EXPECT_TRUE(client_->items().empty());
}

TEST_F(KeychainStoreTest, KeychainStatusesBecomeErrorsWithTheStatusInTheMessage) {
  struct Case {
    const char* name;
    Op forced;
    std::int32_t status;
    std::function<void(const RepositoryKeychainStore&)> call;
    std::string message;
  };
  const auto save = [](const RepositoryKeychainStore& s) { s.save(keyOf(1), descriptor()); };
  const Case cases[] = {
      {"update refused", Op::update, -25293, save, "Failed to update repository key in Keychain. OSStatus -25293."},
      {"add refused", Op::add, -25299, save, "Failed to save repository key in Keychain. OSStatus -25299."},
      {"load refused", Op::copyMatching, -25293, [](const RepositoryKeychainStore& s) { s.load(descriptor()); },
       "Failed to load repository key from Keychain. OSStatus -25293."},
      {"load needs interaction", Op::copyMatching, -25308,
       [](const RepositoryKeychainStore& s) { s.load(descriptor()); },
       "Failed to load repository key from Keychain. OSStatus -25308."},
      {"check refused", Op::copyMatching, -34, [](const RepositoryKeychainStore& s) { s.contains(descriptor()); },
       "Failed to check repository key in Keychain. OSStatus -34."},
      {"delete refused", Op::deleteItem, -25293, [](const RepositoryKeychainStore& s) { s.deleteItem(descriptor()); },
       "Failed to delete repository key from Keychain. OSStatus -25293."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = std::make_shared<InMemoryRepositoryKeychainClient>();
    RepositoryKeychainStore store(client);
    client->forceStatus(c.forced, c.status);
    EXPECT_TRUE(throwsError([&] { c.call(store); }, {"RepositoryKeychainStore", c.status, c.message}));
    EXPECT_TRUE(client->items().empty());
  }
  // A check that would need the user counts as present.
  client_->forceStatus(Op::copyMatching, Status::interactionNotAllowed);
  EXPECT_TRUE(store_.contains(descriptor()));
}

TEST_F(KeychainStoreTest, AccessControlThatCannotBeMadeFailsTheSave) {
  RepositoryKeychainStore store(client_, [](Accessibility, bool) { return std::nullopt; });
  EXPECT_TRUE(throwsError([&] { store.save(keyOf(1), descriptor(RepositoryKeychainSyncPolicy::localOnly, true)); },
                          {"RepositoryKeychainStore", -50, "Failed to create Keychain access control. OSStatus -50."}));
  EXPECT_TRUE(client_->items().empty());
  // Items that need no access control do not ask for one.
  store.save(keyOf(1), descriptor());
  EXPECT_EQ(client_->items().size(), 1u);
}

TEST_F(KeychainStoreTest, StoredDataOfAnotherLengthIsNotAKey) {
  RepositoryKeychainQuery add = descriptor().itemAttributes().addQuery();
  add.valueData = SecretBytes(Bytes(31, 9));
  ASSERT_EQ(client_->add(add), 0);
  try {
    store_.load(descriptor());
    FAIL() << "a 31-byte item loaded";
  } catch (const Error& e) {
    EXPECT_EQ(e.domain(), "RepositoryKeyMaterial");
    EXPECT_EQ(e.message(), "Repository keys must be 32 bytes.");
  }
}

// The system client against the kernel's key retention service, in a private keyring that
// the test removes again.
class SystemKeychainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string name = "tvr-test-" + newUUIDString();
    keyring_ = ::add_key("keyring", name.c_str(), nullptr, 0, KEY_SPEC_SESSION_KEYRING);
    if (keyring_ < 0) keyring_ = ::add_key("keyring", name.c_str(), nullptr, 0, KEY_SPEC_USER_KEYRING);
    if (keyring_ < 0) {
      GTEST_SKIP() << "the kernel refused a keyring for this process (" << std::strerror(errno) << ")";
    }
  }
  void TearDown() override {
    if (keyring_ >= 0) ::keyctl_invalidate(keyring_);
  }
  long keysInKeyring() const {
    long size = ::keyctl_read(keyring_, nullptr, 0);
    return size < 0 ? -1 : size / static_cast<long>(sizeof(key_serial_t));
  }

  key_serial_t keyring_ = -1;
};

TEST_F(SystemKeychainTest, SavesLoadsChecksAndDeletesInTheKernelKeyring) {
  auto client = std::make_shared<SystemRepositoryKeychainClient>(keyring_);
  RepositoryKeychainStore store(client);
  const RepositoryKeychainDescriptor local = descriptor(RepositoryKeychainSyncPolicy::localOnly);
  const RepositoryKeychainDescriptor synced = descriptor(RepositoryKeychainSyncPolicy::iCloudKeychain);
  EXPECT_FALSE(store.contains(local));
  EXPECT_EQ(store.load(local), std::nullopt);

  store.save(keyOf(1), local);
  store.save(keyOf(2), local);
  EXPECT_EQ(keysInKeyring(), 1);
  EXPECT_TRUE(store.contains(local));
  EXPECT_EQ(store.load(local), keyOf(2));
  EXPECT_FALSE(store.contains(synced));

  store.save(keyOf(3), synced);
  EXPECT_EQ(keysInKeyring(), 2);
  EXPECT_EQ(store.load(synced), keyOf(3));

  store.deleteItem(local);
  EXPECT_FALSE(store.contains(local));
  EXPECT_EQ(store.load(local), std::nullopt);
  EXPECT_NO_THROW(store.deleteItem(local));
  EXPECT_EQ(store.load(synced), keyOf(3));
}

// The kernel cannot ask for the user's presence: such an item is refused, not stored
// unprotected. A synced item with presence carries no such control and is stored.
TEST_F(SystemKeychainTest, ItemThatAsksForUserPresenceIsRefused) {
  RepositoryKeychainStore store(std::make_shared<SystemRepositoryKeychainClient>(keyring_));
  const RepositoryKeychainDescriptor presence = descriptor(RepositoryKeychainSyncPolicy::localOnly, true);
  EXPECT_TRUE(throwsError(
      [&] { store.save(keyOf(1), presence); },
      {"RepositoryKeychainStore", Status::unimplemented, "Failed to save repository key in Keychain. OSStatus -4."}));
  EXPECT_EQ(keysInKeyring(), 0);
  EXPECT_FALSE(store.contains(presence));
  store.save(keyOf(2), descriptor(RepositoryKeychainSyncPolicy::iCloudKeychain, true));
  EXPECT_EQ(keysInKeyring(), 1);
}

TEST_F(SystemKeychainTest, ClientKeepsTheKeychainStatusCodes) {
  SystemRepositoryKeychainClient client(keyring_);
  RepositoryKeychainQuery query = descriptor().itemAttributes().addQuery();
  query.valueData = SecretBytes(Bytes(5, 1));
  RepositoryKeychainQuery attributes;
  attributes.valueData = SecretBytes(Bytes(32, 4));
  EXPECT_EQ(client.update(query, attributes), Status::itemNotFound);
  EXPECT_EQ(client.deleteItem(query), Status::itemNotFound);
  EXPECT_EQ(client.add(query), Status::success);
  EXPECT_EQ(client.add(query), Status::duplicateItem);
  RepositoryKeychainQuery read = query;
  read.returnData = true;
  RepositoryKeychainCopyResult result = client.copyMatching(read);
  EXPECT_EQ(result.status, Status::success);
  ASSERT_TRUE(result.data.has_value());
  EXPECT_EQ(result.data->bytes(), Bytes(5, 1));
  // A 5-byte item is not a repository key.
  EXPECT_THROW(RepositoryKeychainStore(std::make_shared<SystemRepositoryKeychainClient>(keyring_)).load(descriptor()),
               Error);
  EXPECT_EQ(client.update(query, attributes), Status::success);
  EXPECT_EQ(client.copyMatching(read).data->bytes(), Bytes(32, 4));
  EXPECT_EQ(client.deleteItem(query), Status::success);
  EXPECT_EQ(client.copyMatching(read).status, Status::itemNotFound);

  // Separators and odd bytes in names cannot make two items collide.
  RepositoryKeychainQuery a;
  a.service = "s:1";
  a.account = "x";
  RepositoryKeychainQuery b;
  b.service = "s";
  b.account = "1:x";
  a.valueData = b.valueData = SecretBytes(Bytes(32, 8));
  EXPECT_NE(SystemRepositoryKeychainClient::keyDescription(a), SystemRepositoryKeychainClient::keyDescription(b));
  EXPECT_EQ(client.add(a), Status::success);
  EXPECT_EQ(client.copyMatching(b).status, Status::itemNotFound);
}

TEST(SystemKeychainDefaults, StoreUsesTheUserKeyring) {
  RepositoryKeychainStore store;
  auto* client = dynamic_cast<SystemRepositoryKeychainClient*>(store.client().get());
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->keyringID(), KEY_SPEC_USER_KEYRING);
  RepositoryKeychainDescriptor d;
  d.repositoryID = "tvr-test-absent-" + newUUIDString();
  // Looking up an item nobody saved must answer "absent", whatever else the keyring holds.
  try {
    EXPECT_FALSE(store.contains(d));
  } catch (const Error& e) {
    GTEST_SKIP() << "the user keyring is not searchable here: " << e.what();
  }
}

}  // namespace
}  // namespace tvr
