// Revocations and the expected name, through the C++ API: what each refuses, and in which
// order the checks come.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "archive/zip_test_support.hpp"
#include "plugin_sign/revocations.hpp"
#include "plugin_sign/verify.hpp"
#include "signing/revocation.hpp"
#include "signing/signing_key.hpp"
#include "support/tool_runner.hpp"
#include "verify/signed_package.hpp"

namespace plugin_sign {
namespace {

using testing::Contents;
using testing::signed_contents;
using testing::trusted;
namespace fs = std::filesystem;

std::string statement(int n) {
  return revocation_statement(SigningKey(testing::test_seed(n)));
}

Revocations revocations_of(const std::string& text) {
  auto parsed = parse_revocations(text);
  EXPECT_TRUE(parsed.has_value()) << parsed.error();
  return parsed.value_or(Revocations{});
}

VerifyOptions options(const Revocations* revocations,
                      std::optional<std::string_view> expected_name = std::nullopt) {
  VerifyOptions options;
  options.revocations = revocations;
  options.expected_name = expected_name;
  return options;
}

class Revoked : public ::testing::Test {
 protected:
  Contents contents_ = signed_contents(1, testing::kSamplePluginToml, testing::noise(3000));
  std::vector<std::byte> package_ = testing::package_of(contents_);
  std::string manifest_sha256_ = [this] {
    const TrustedKey keys[] = {trusted(1)};
    auto verified = verify_package(package_, keys);
    EXPECT_TRUE(verified.has_value());
    return verified ? verified->manifest_sha256 : std::string();
  }();
};

TEST_F(Revoked, AKeyByStatementOrKeyIdAndAPackageByItsManifestDigest) {
  const std::string refused_key = "key " + key_id(trusted(1).key) + " is revoked";
  const std::string refused_package = "package " + manifest_sha256_ + " is revoked";
  const struct {
    const char* name;
    std::string text;
    std::string message;  // empty: verifies
  } cases[] = {
      {"nothing revoked", "# none\n", ""},
      {"the signer's statement", statement(1), refused_key},
      {"the signer's key ID", "key-id " + key_id(trusted(1).key) + "\n", refused_key},
      {"the package", "package " + manifest_sha256_ + "\n", refused_package},
      {"the key and the package: the key is named",
       "package " + manifest_sha256_ + "\n" + statement(1), refused_key},
      {"another key, trusted or not", statement(2) + "key-id " + key_id(trusted(3).key) + "\n", ""},
      {"another package", "package " + std::string(64, '0') + "\n", ""},
  };
  const TrustedKey keys[] = {trusted(2), trusted(1)};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Revocations revocations = revocations_of(c.text);
    auto result = verify_package(package_, keys, options(&revocations));
    if (c.message.empty()) {
      ASSERT_TRUE(result.has_value()) << result.error().message;
      EXPECT_EQ(manifest_sha256_, result->manifest_sha256);
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(VerifyErrorKind::kRevoked, result.error().kind);
      EXPECT_EQ(c.message, result.error().message);
    }
  }
}

// The same key trusted twice, once for every name: the revocation of the key still holds.
TEST_F(Revoked, WhateverOtherEntryTrustsTheSameKey) {
  const Revocations revocations = revocations_of(statement(1));
  const TrustedKey keys[] = {trusted(1, {"other"}), trusted(1), trusted(1, {"demo"})};
  auto result = verify_package(package_, keys, options(&revocations));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(VerifyErrorKind::kRevoked, result.error().kind);
}

// After the signature, before plugin.toml and the names: a bad signature stays a bad
// signature, and a revoked key's package is refused for that, whatever it declares.
TEST_F(Revoked, AfterTheSignatureBeforeEverythingElse) {
  const Revocations revocations = revocations_of(statement(1) + "package " + manifest_sha256_);
  const TrustedKey only_two[] = {trusted(2)};
  auto unsigned_result = verify_package(package_, only_two, options(&revocations));
  ASSERT_FALSE(unsigned_result.has_value());
  EXPECT_EQ(VerifyErrorKind::kBadSignature, unsigned_result.error().kind);

  const Contents bad_toml = signed_contents(1, "[package]\nversion = 1\n", testing::noise(10));
  const TrustedKey scoped[] = {trusted(1, {"other"})};
  for (const auto& package : {testing::package_of(bad_toml), package_}) {
    auto result = verify_package(package, scoped, options(&revocations, "other"));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(VerifyErrorKind::kRevoked, result.error().kind) << result.error().message;
  }
}

TEST(ExpectedName, OnlyTheExactNameVerifies) {
  using namespace std::string_view_literals;
  const Contents demo = signed_contents(1, testing::kSamplePluginToml, testing::noise(10));
  const TrustedKey keys[] = {trusted(1)};
  const struct {
    const char* name;
    std::string_view expected;
    bool verifies;
  } cases[] = {
      {"equal", "demo", true},
      {"different", "hello", false},
      {"in another case", "Demo", false},
      {"a prefix", "dem", false},
      {"longer only after a NUL", "demo\0x"sv, false},
      {"empty", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = verify_package(testing::package_of(demo), keys, options(nullptr, c.expected));
    if (c.verifies) {
      ASSERT_TRUE(result.has_value()) << result.error().message;
      continue;
    }
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(VerifyErrorKind::kNameMismatch, result.error().kind);
    EXPECT_EQ("package name demo, expected " + std::string(c.expected), result.error().message);
  }
}

TEST(ExpectedName, APackageNameThatDiffersOnlyAfterANulIsRefused) {
  const Contents nul_name = signed_contents(
      1, "[package]\nname = \"demo\\u0000evil\"\nversion = \"1.0.0\"\n", testing::noise(10));
  const TrustedKey keys[] = {trusted(1)};
  auto result = verify_package(testing::package_of(nul_name), keys, options(nullptr, "demo"));
  ASSERT_FALSE(result.has_value());
  // A check of the name itself may refuse it before it is compared.
  EXPECT_TRUE(result.error().kind == VerifyErrorKind::kNameMismatch ||
              result.error().kind == VerifyErrorKind::kMalformed)
      << result.error().message;
}

// Whether the key may sign the name is checked before whether it is the name asked for.
TEST(ExpectedName, ComesAfterTheKeysNames) {
  const Contents demo = signed_contents(1, testing::kSamplePluginToml, testing::noise(10));
  const TrustedKey keys[] = {trusted(1, {"hello"})};
  auto result = verify_package(testing::package_of(demo), keys, options(nullptr, "hello"));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(VerifyErrorKind::kNameNotAllowed, result.error().kind);
}

TEST(ExpectedName, AndRevocationsHoldForAPluginDirectory) {
  testing::ScratchDir dir;
  const Contents demo = signed_contents(1, testing::kSamplePluginToml, testing::noise(10));
  testing::make_plugin(dir.path(), demo.plugin_toml,
                       std::string_view(reinterpret_cast<const char*>(demo.main_wasm.data()),
                                        demo.main_wasm.size()));
  testing::write_file(dir.path() / "signature.sig", demo.signature);
  const TrustedKey keys[] = {trusted(1)};
  ASSERT_TRUE(verify_plugin_directory(dir.path().string(), keys, options(nullptr, "demo")));
  auto other = verify_plugin_directory(dir.path().string(), keys, options(nullptr, "other"));
  ASSERT_FALSE(other.has_value());
  EXPECT_EQ(VerifyErrorKind::kNameMismatch, other.error().kind);
  const Revocations revocations = revocations_of("key-id " + key_id(trusted(1).key));
  auto revoked = verify_plugin_directory(dir.path().string(), keys, options(&revocations));
  ASSERT_FALSE(revoked.has_value());
  EXPECT_EQ(VerifyErrorKind::kRevoked, revoked.error().kind);
}

// Once the signature verified, every refusal says which key signed what, so that a host can
// log it; before the signature nothing is known. A package and a plugin directory alike.
TEST(SignedFacts, EveryRefusalAfterTheSignatureCarriesThem) {
  const Contents demo = signed_contents(1, testing::kSamplePluginToml, testing::noise(10));
  const Contents bad_toml = signed_contents(1, "[package]\nversion = 1\n", testing::noise(10));
  const Contents empty_name =
      signed_contents(1, "[package]\nname = \"\"\nversion = \"1.0\"\n", testing::noise(10));
  const TrustedKey keys[] = {trusted(1)};
  const TrustedKey scoped[] = {trusted(2), trusted(1, {"other"}), trusted(3)};
  const VerifiedPackage reference = *verify_package(testing::package_of(demo), keys);
  const Revocations revoked_key = revocations_of("key-id " + key_id(trusted(1).key));
  const Revocations revoked_package = revocations_of("package " + reference.manifest_sha256);
  struct Case {
    const char* name;
    const Contents* contents;
    std::span<const TrustedKey> keys;
    VerifyOptions options;
    VerifyErrorKind kind;
    bool name_known;
  };
  const Case cases[] = {
      {"a revoked key", &demo, keys, options(&revoked_key), VerifyErrorKind::kRevoked, true},
      {"a revoked package", &demo, keys, options(&revoked_package), VerifyErrorKind::kRevoked,
       true},
      {"a revoked key, plugin.toml malformed", &bad_toml, keys, options(&revoked_key),
       VerifyErrorKind::kRevoked, false},
      {"a name the key may not sign", &demo, scoped, options(nullptr),
       VerifyErrorKind::kNameNotAllowed, true},
      {"another name than expected", &demo, keys, options(nullptr, "hello"),
       VerifyErrorKind::kNameMismatch, true},
      {"plugin.toml malformed", &bad_toml, keys, options(nullptr), VerifyErrorKind::kMalformed,
       false},
      {"an empty name", &empty_name, keys, options(nullptr), VerifyErrorKind::kMalformed, false},
  };
  testing::ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Contents& contents = *c.contents;
    const fs::path plugin = dir.path() / c.name;
    testing::make_plugin(plugin, contents.plugin_toml,
                         std::string_view(reinterpret_cast<const char*>(contents.main_wasm.data()),
                                          contents.main_wasm.size()));
    testing::write_file(plugin / "signature.sig", contents.signature);
    for (const auto& result : {verify_package(testing::package_of(contents), c.keys, c.options),
                               verify_plugin_directory(plugin.string(), c.keys, c.options)}) {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(c.kind, result.error().kind) << result.error().message;
      ASSERT_TRUE(result.error().facts.has_value());
      const SignedFacts& facts = *result.error().facts;
      EXPECT_EQ(trusted(1).key, facts.key);
      EXPECT_EQ(64u, facts.manifest_sha256.size());
      EXPECT_EQ(c.contents == &demo, facts.manifest_sha256 == reference.manifest_sha256);
      EXPECT_EQ(reference.main_wasm_sha256, facts.main_wasm_sha256);  // the same module
      EXPECT_EQ(c.contents == &demo, facts.plugin_toml_sha256 == reference.plugin_toml_sha256);
      EXPECT_EQ(c.name_known, facts.name.has_value());
      EXPECT_EQ(c.name_known, facts.version.has_value());
      if (c.name_known) {
        EXPECT_EQ("demo", *facts.name);
        EXPECT_EQ("1.2.0", *facts.version);
      }
    }
  }
  // Before the signature: nothing.
  const TrustedKey other[] = {trusted(2)};
  auto unsigned_result = verify_package(testing::package_of(demo), other);
  ASSERT_FALSE(unsigned_result.has_value());
  EXPECT_FALSE(unsigned_result.error().facts.has_value());
}

// A revocation statement placed where a package's signature goes does not verify the package.
TEST(RevocationStatement, IsNoPackageSignature) {
  Contents contents = signed_contents(1, testing::kSamplePluginToml, testing::noise(10));
  const std::string line = statement(1);
  contents.signature = line.substr(line.rfind(' ') + 1, 88);
  const TrustedKey keys[] = {trusted(1)};
  auto result = verify_package(testing::package_of(contents), keys);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(VerifyErrorKind::kBadSignature, result.error().kind);
}

}  // namespace
}  // namespace plugin_sign
