#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "engine/crypto/CryptoPrimitives.h"
#include "engine/crypto/RepositoryPathCodec.h"
#include "engine/metadata/RepositoryMetadata.h"
#include "engine/metadata/RepositoryPlanIndex.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/JsonDecoding.h"
#include "tests/metadata/MetadataTestSupport.h"
#include "tests/support/ErrorAssertions.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

namespace fs = std::filesystem;
using test::readJsonFile;
using test::sampleRepository;
using test::sampleRepositoryKey;
using test::supportedEncryption;
using test::TempDir;
using test::throwsError;
using test::writeJsonFile;

constexpr double k20260401T080000Z = 1775030400.0;
constexpr double k20260402T080000Z = 1775116800.0;

RepositoryPlanSettings sampleSettings() {
  RepositoryPlanSettings settings;
  settings.scheduleFrequency = "daily";
  settings.scheduleMode = "automatic";
  settings.scheduleHour = 2;
  settings.scheduleMinute = 30;
  settings.scheduleWeekday = 1;
  settings.powerPolicy = "any";
  settings.networkPolicy = "any";
  settings.cloudFilePolicy = CloudFileMaterializationPolicy::skip;
  settings.skipExternalSymlinks = true;
  return settings;
}

// A repository root with a supported repo.json and no plans.json.
struct Repository {
  TempDir dir;
  Repository() { RepositoryMetadata::ensureWritableRepository(dir.path(), supportedEncryption(), 1000); }
  const fs::path& root() const { return dir.path(); }
};

std::vector<std::string> namesOf(const RepositoryPlanIndex& index) {
  std::vector<std::string> names;
  for (const auto& plan : index.plans) names.push_back(plan.name);
  return names;
}

crypto::CipherError::Case hintsFailure(const RepositoryPlanSummary& summary, const RepositoryKeyMaterial& key) {
  try {
    summary.localPathHints(key);
  } catch (const crypto::CipherError& error) {
    return error.kind();
  }
  ADD_FAILURE() << "path hints opened";
  return crypto::CipherError::Case::libraryFailure;
}

TEST(RepositoryPlanIndexFixture, ReadsTheSamplePlanExactly) {
  RepositoryPlanIndex index = RepositoryPlanIndex::read(sampleRepository());
  EXPECT_EQ(index.version, 1);
  ASSERT_EQ(index.plans.size(), 1u);
  const RepositoryPlanSummary& plan = index.plans[0];
  EXPECT_EQ(plan.planID, PlanID("family-archive"));
  EXPECT_EQ(plan.name, "Family Archive");
  EXPECT_EQ(plan.createdAt, k20260401T080000Z);
  EXPECT_EQ(plan.updatedAt, k20260402T080000Z);
  EXPECT_EQ(plan.settings, sampleSettings());

  RepositoryPlanPathHints hints = plan.localPathHints(sampleRepositoryKey());
  EXPECT_EQ(hints.sourcePath, "/Users/sam/Archive");
  EXPECT_FALSE(hints.destinationPath.empty());
  EXPECT_EQ(hints.destinationPath.front(), '/');

  // Re-encoding the fixture gives the same JSON value.
  EXPECT_EQ(nlohmann::json::parse(index.encodedDocument()), readJsonFile(RepositoryPlanIndex::url(sampleRepository())));
}

TEST(RepositoryPlanIndexFiles, ReadAppliesTheReadGateFirst) {
  Repository repository;
  RepositoryPlanIndex empty = RepositoryPlanIndex::read(repository.root());
  EXPECT_EQ(empty.version, 1);
  EXPECT_TRUE(empty.plans.empty());

  TempDir noMetadata;
  fs::copy_file(RepositoryPlanIndex::url(sampleRepository()), RepositoryPlanIndex::url(noMetadata.path()));
  EXPECT_TRUE(throwsError([&] { RepositoryPlanIndex::read(noMetadata.path()); },
                          {"RepositoryMetadata", 1, "Repository is missing repo.json."}));

  RepositoryMetadata unencrypted = *RepositoryMetadata::read(repository.root());
  unencrypted.encryption.reset();
  writeFileAtomically(RepositoryMetadata::url(repository.root()), unencrypted.encodedDocument());
  EXPECT_TRUE(throwsError([&] { RepositoryPlanIndex::read(repository.root()); },
                          {"RepositoryMetadata", 1, "Unencrypted development repositories are not supported."}));
}

TEST(RepositoryPlanIndexCoding, MalformedIndexesFailWithTheDecodersError) {
  const nlohmann::json fixture = readJsonFile(RepositoryPlanIndex::url(sampleRepository()));
  using Kind = DecodingError::Kind;
  struct Case {
    std::string name;
    std::function<void(nlohmann::json&)> mutate;
    Kind kind;
    std::string codingPath;
    std::string message;
  } cases[] = {
      {"index version 2", [](nlohmann::json& j) { j["version"] = 2; }, Kind::dataCorrupted, "version",
       "Repository plan index version 2 is not supported by version 1."},
      {"index version before plans",
       [](nlohmann::json& j) {
         j["version"] = 0;
         j["plans"] = "broken";
       },
       Kind::dataCorrupted, "version", "Repository plan index version 0 is not supported by version 1."},
      {"settings version 1", [](nlohmann::json& j) { j["plans"][0]["settings"]["version"] = 1; }, Kind::dataCorrupted,
       "plans[0].settings.version", "Repository plan settings version 1 is not supported by version 2."},
      {"settings version 3", [](nlohmann::json& j) { j["plans"][0]["settings"]["version"] = 3; }, Kind::dataCorrupted,
       "plans[0].settings.version", "Repository plan settings version 3 is not supported by version 2."},
      {"missing version", [](nlohmann::json& j) { j.erase("version"); }, Kind::keyNotFound, "version",
       "JSON key \"version\" is missing."},
      {"missing plans", [](nlohmann::json& j) { j.erase("plans"); }, Kind::keyNotFound, "plans",
       "JSON key \"plans\" is missing."},
      {"plans as object", [](nlohmann::json& j) { j["plans"] = nlohmann::json::object(); }, Kind::typeMismatch, "plans",
       "JSON key \"plans\" must be an array."},
      {"entry as text", [](nlohmann::json& j) { j["plans"].push_back("plan"); }, Kind::typeMismatch, "plans[1]",
       "JSON key \"plans[1]\" must be an object."},
      {"missing name", [](nlohmann::json& j) { j["plans"][0].erase("name"); }, Kind::keyNotFound, "plans[0].name",
       "JSON key \"plans[0].name\" is missing."},
      {"missing settings key", [](nlohmann::json& j) { j["plans"][0]["settings"].erase("scheduleWeekday"); },
       Kind::keyNotFound, "plans[0].settings.scheduleWeekday",
       "JSON key \"plans[0].settings.scheduleWeekday\" is missing."},
      {"plan ID as number", [](nlohmann::json& j) { j["plans"][0]["planID"] = 7; }, Kind::typeMismatch,
       "plans[0].planID", "JSON key \"plans[0].planID\" must be a string."},
      {"symlink flag as number", [](nlohmann::json& j) { j["plans"][0]["settings"]["skipExternalSymlinks"] = 1; },
       Kind::typeMismatch, "plans[0].settings.skipExternalSymlinks",
       "JSON key \"plans[0].settings.skipExternalSymlinks\" must be a boolean."},
      {"unknown cloud policy", [](nlohmann::json& j) { j["plans"][0]["settings"]["cloudFilePolicy"] = "Skip"; },
       Kind::dataCorrupted, "plans[0].settings.cloudFilePolicy",
       "JSON key \"plans[0].settings.cloudFilePolicy\" is not one of treatAsError, skip, materialize."},
      {"bad Base64", [](nlohmann::json& j) { j["plans"][0]["sourcePathCiphertext"] = "not base64!"; },
       Kind::dataCorrupted, "plans[0].sourcePathCiphertext",
       "JSON key \"plans[0].sourcePathCiphertext\" is not valid Base64."},
      {"fractional date", [](nlohmann::json& j) { j["plans"][0]["updatedAt"] = "2026-04-02T08:00:00.5Z"; },
       Kind::dataCorrupted, "plans[0].updatedAt",
       "JSON key \"plans[0].updatedAt\" is not a date in the form YYYY-MM-DDTHH:MM:SSZ."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nlohmann::json document = fixture;
    c.mutate(document);
    try {
      RepositoryPlanIndex::decodeDocument(bytesOf(document.dump()));
      ADD_FAILURE() << "decoded";
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.domain(), "JSONDecoder");
      EXPECT_EQ(error.kind(), c.kind);
      EXPECT_EQ(error.codingPath(), c.codingPath);
      EXPECT_EQ(error.message(), c.message);
    }
  }

  nlohmann::json extended = fixture;
  extended["generator"] = "other";
  extended["plans"][0]["color"] = "blue";
  extended["plans"][0]["settings"]["future"] = {1, 2};
  EXPECT_EQ(RepositoryPlanIndex::decodeDocument(bytesOf(extended.dump())),
            RepositoryPlanIndex::decodeDocument(bytesOf(fixture.dump())));
}

TEST(RepositoryPlanIndexCoding, EveryCloudFilePolicyRoundTrips) {
  for (auto policy : {CloudFileMaterializationPolicy::treatAsError, CloudFileMaterializationPolicy::skip,
                      CloudFileMaterializationPolicy::materialize}) {
    RepositoryPlanSettings settings = sampleSettings();
    settings.cloudFilePolicy = policy;
    SCOPED_TRACE(std::string(toString(policy)));
    EXPECT_EQ(RepositoryPlanSettings::fromJson(settings.toJson()), settings);
  }
  EXPECT_EQ(toString(CloudFileMaterializationPolicy::treatAsError), "treatAsError");
  EXPECT_FALSE(cloudFileMaterializationPolicyFromString("materialise"));
}

TEST(RepositoryPlanIndexFiles, WriteThenReadRoundTrips) {
  Repository repository;
  RepositoryPathCodec codec(sampleRepositoryKey());
  RepositoryPlanIndex index;
  index.plans.push_back({PlanID("a.b:c|d_e"), "Dokumente \u00e4/\u00f6", 100, 200, codec.sealPath("/src"),
                         codec.sealPath("/dst"), sampleSettings()});
  index.plans.push_back({PlanID("Dokumente-\u00e4"), "Zweiter", 300, 400, Bytes{}, Bytes(28, 0xFF), sampleSettings()});
  RepositoryPlanIndex::write(index, repository.root());
  EXPECT_EQ(RepositoryPlanIndex::read(repository.root()), index);

  std::string text = stringOf(readFileBytes(RepositoryPlanIndex::url(repository.root())));
  EXPECT_EQ(text.find("\"/"), std::string::npos);
  EXPECT_LT(text.find("\"plans\""), text.find("\"version\": 1"));

  // write creates the root folder when it is missing.
  TempDir dir;
  fs::path fresh = dir.path() / "a" / "b";
  RepositoryPlanIndex::write(index, fresh);
  EXPECT_EQ(RepositoryPlanIndex::decodeDocument(readFileBytes(RepositoryPlanIndex::url(fresh))), index);
}

TEST(RepositoryPlanIndexRegistration, OrdersPlansByNameAsAFileBrowserDoes) {
  Repository repository;
  const RepositoryKeyMaterial key = sampleRepositoryKey();
  int n = 0;
  auto registerNamed = [&](const std::string& id, const std::string& name) {
    RepositoryPlanIndex::registerPlan(PlanID(id), name, "/src/" + id, "/dst", sampleSettings(), key, repository.root(),
                                      1000 + n++);
  };
  registerNamed("p10", "Plan 10");
  registerNamed("p2", "plan 2");
  registerNamed("p1", "Plan 1");
  EXPECT_EQ(namesOf(RepositoryPlanIndex::read(repository.root())),
            (std::vector<std::string>{"Plan 1", "plan 2", "Plan 10"}));

  // Names that compare equal keep their previous relative order.
  registerNamed("same-b", "Same");
  registerNamed("same-a", "SAME");
  registerNamed("same-c", "same");
  RepositoryPlanIndex index = RepositoryPlanIndex::read(repository.root());
  std::vector<std::string> ids;
  for (const auto& plan : index.plans) ids.push_back(plan.planID.rawValue());
  EXPECT_EQ(ids, (std::vector<std::string>{"p1", "p2", "p10", "same-b", "same-a", "same-c"}));
  for (const auto& plan : index.plans) {
    EXPECT_EQ(plan.localPathHints(key).sourcePath, "/src/" + plan.planID.rawValue());
  }
}

TEST(RepositoryPlanIndexRegistration, UpdatingAPlanKeepsItsCreationDateAndReplacesTheRest) {
  Repository repository;
  const RepositoryKeyMaterial key = sampleRepositoryKey();
  RepositoryPlanIndex::registerPlan("docs", "Zeta", "/Users/sam/Docs", "/Volumes/Backup", sampleSettings(), key,
                                    repository.root(), k20260401T080000Z + 0.9);
  RepositoryPlanIndex::registerPlan("music", "Music", "/Users/sam/Music", "/Volumes/Backup", sampleSettings(), key,
                                    repository.root(), k20260401T080000Z + 60);
  RepositoryPlanSummary before = RepositoryPlanIndex::read(repository.root()).plans[1];
  ASSERT_EQ(before.planID, PlanID("docs"));
  EXPECT_EQ(before.createdAt, k20260401T080000Z);

  RepositoryPlanSettings changed = sampleSettings();
  changed.cloudFilePolicy = CloudFileMaterializationPolicy::materialize;
  changed.scheduleHour = 23;
  RepositoryPlanIndex::registerPlan("docs", "Alpha", "/Users/sam/Docs", "/Volumes/Other", changed, key,
                                    repository.root(), k20260402T080000Z);
  RepositoryPlanIndex index = RepositoryPlanIndex::read(repository.root());
  ASSERT_EQ(index.plans.size(), 2u);
  const RepositoryPlanSummary& after = index.plans[0];  // "Alpha" now sorts first
  EXPECT_EQ(after.planID, PlanID("docs"));
  EXPECT_EQ(after.name, "Alpha");
  EXPECT_EQ(after.createdAt, k20260401T080000Z);
  EXPECT_EQ(after.updatedAt, k20260402T080000Z);
  EXPECT_EQ(after.settings, changed);
  EXPECT_NE(after.sourcePathCiphertext, before.sourcePathCiphertext);  // fresh nonce, same path
  EXPECT_EQ(after.localPathHints(key), (RepositoryPlanPathHints{"/Users/sam/Docs", "/Volumes/Other"}));
  EXPECT_EQ(index.plans[1].name, "Music");
}

TEST(RepositoryPlanIndexRegistration, FailuresLeaveThePreviousIndexUntouched) {
  const RepositoryKeyMaterial key = sampleRepositoryKey();
  TempDir noMetadata;
  EXPECT_TRUE(throwsError(
      [&] { RepositoryPlanIndex::registerPlan("p", "P", "/s", "/d", sampleSettings(), key, noMetadata.path()); },
      {"RepositoryMetadata", 1, "Repository is missing repo.json."}));
  EXPECT_FALSE(fs::exists(RepositoryPlanIndex::url(noMetadata.path())));

  Repository repository;
  nlohmann::json newer = readJsonFile(RepositoryPlanIndex::url(sampleRepository()));
  newer["version"] = 2;
  writeJsonFile(RepositoryPlanIndex::url(repository.root()), newer);
  Bytes before = readFileBytes(RepositoryPlanIndex::url(repository.root()));
  EXPECT_TRUE(throwsError(
      [&] { RepositoryPlanIndex::registerPlan("p", "P", "/s", "/d", sampleSettings(), key, repository.root()); },
      {"JSONDecoder", 1, "Repository plan index version 2 is not supported by version 1."}));
  EXPECT_EQ(readFileBytes(RepositoryPlanIndex::url(repository.root())), before);
}

TEST(RepositoryPlanPathHints, OpensTheSourcePathFirst) {
  const RepositoryKeyMaterial right = sampleRepositoryKey();
  const RepositoryKeyMaterial wrong(Bytes(32, 0x5A));
  RepositoryPathCodec codec(right);
  RepositoryPlanSummary summary{"p", "P", 0, 0, codec.sealPath("/s"), codec.sealPath("/d"), sampleSettings()};
  using Case = crypto::CipherError::Case;
  EXPECT_EQ(hintsFailure(summary, wrong), Case::authenticationFailure);

  RepositoryPlanSummary shortSource = summary;
  shortSource.sourcePathCiphertext.resize(27);
  shortSource.destinationPathCiphertext.back() ^= 1;
  EXPECT_EQ(hintsFailure(shortSource, right), Case::incorrectParameterSize);

  RepositoryPlanSummary shortDestination = summary;
  shortDestination.sourcePathCiphertext.back() ^= 1;
  shortDestination.destinationPathCiphertext.resize(27);
  EXPECT_EQ(hintsFailure(shortDestination, right), Case::authenticationFailure);
}

TEST(PlanIDCoding, IsASingleJsonString) {
  nlohmann::json json = PlanID("Dokumente-\u00e4");
  EXPECT_EQ(json, nlohmann::json("Dokumente-\u00e4"));
  EXPECT_EQ(json.get<PlanID>(), PlanID("Dokumente-\u00e4"));
  // Decoding does not validate.
  EXPECT_EQ(nlohmann::json("has space/slash").get<PlanID>().rawValue(), "has space/slash");
  EXPECT_THROW(nlohmann::json(42).get<PlanID>(), DecodingError);
}

}  // namespace
}  // namespace tvr
