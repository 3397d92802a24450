// Revocations and the expected name, through the C++ API: what each refuses, and in which
// order the checks come.
#include <gtest/gtest.h>

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
