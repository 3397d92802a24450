#include "plugin_sign/verify.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive/zip_test_support.hpp"
#include "plugin_sign/verify.hpp"
#include "verify/signed_package.hpp"

namespace plugin_sign {
namespace {

struct KeysDeleter {
  void operator()(plugin_sign_keys* keys) const { plugin_sign_keys_free(keys); }
};
struct ResultDeleter {
  void operator()(plugin_sign_result* result) const { plugin_sign_result_free(result); }
};
using Keys = std::unique_ptr<plugin_sign_keys, KeysDeleter>;
using Result = std::unique_ptr<plugin_sign_result, ResultDeleter>;

class CApi : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(keys_);
    ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_keys_add_base64(
                                  keys_.get(), public_key_base64(testing::trusted(1).key).c_str()));
  }
  Result verify(const std::vector<std::byte>& package) {
    return Result(plugin_sign_verify_package(keys_.get(), package.data(), package.size(), nullptr));
  }

  Keys keys_{plugin_sign_keys_new()};
  testing::Contents contents_ = testing::signed_contents(1, std::string(testing::kSampleToml),
                                                         testing::sample_module(50'000));
};

TEST_F(CApi, GivesTheVerifiedPackageThroughItsAccessors) {
  const Result result = verify(testing::package_of(contents_));
  ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_result_status(result.get()))
      << plugin_sign_result_message(result.get());
  EXPECT_STREQ("", plugin_sign_result_message(result.get()));
  std::size_t length = 0;
  EXPECT_STREQ("demo", plugin_sign_result_name(result.get(), &length));
  EXPECT_EQ(4u, length);
  EXPECT_STREQ("1.2.0", plugin_sign_result_version(result.get(), nullptr));
  EXPECT_EQ(key_id(testing::trusted(1).key), plugin_sign_result_key_id(result.get()));
  EXPECT_EQ(0, std::memcmp(testing::trusted(1).key.data(),
                           plugin_sign_result_public_key(result.get()), 32));
  EXPECT_EQ(64u, std::strlen(plugin_sign_result_main_wasm_sha256(result.get())));
  EXPECT_EQ(64u, std::strlen(plugin_sign_result_manifest_sha256(result.get())));
  EXPECT_EQ(64u, std::strlen(plugin_sign_result_plugin_toml_sha256(result.get())));
  std::size_t size = 0;
  const void* wasm = plugin_sign_result_main_wasm(result.get(), &size);
  ASSERT_EQ(contents_.main_wasm.size(), size);
  EXPECT_EQ(0, std::memcmp(contents_.main_wasm.data(), wasm, size));
  const void* toml = plugin_sign_result_plugin_toml(result.get(), &size);
  EXPECT_EQ(contents_.plugin_toml, std::string(static_cast<const char*>(toml), size));
}

TEST_F(CApi, AFailedResultHasItsStatusAndMessageAndNothingElse) {
  std::vector<std::byte> package = testing::package_of(contents_);
  package.push_back(std::byte{0});
  const Result result = verify(package);
  EXPECT_EQ(PLUGIN_SIGN_MALFORMED, plugin_sign_result_status(result.get()));
  EXPECT_STREQ("data after the end record", plugin_sign_result_message(result.get()));
  std::size_t size = 7;
  EXPECT_EQ(nullptr, plugin_sign_result_main_wasm(result.get(), &size));
  EXPECT_EQ(0u, size);
  EXPECT_EQ(nullptr, plugin_sign_result_name(result.get(), nullptr));
  EXPECT_EQ(nullptr, plugin_sign_result_key_id(result.get()));
  EXPECT_EQ(nullptr, plugin_sign_result_public_key(result.get()));
}

// Each kind of refusal keeps its own status across the C interface.
TEST_F(CApi, EachRefusalHasItsOwnStatus) {
  const Keys other_key(plugin_sign_keys_new());
  ASSERT_EQ(PLUGIN_SIGN_OK,
            plugin_sign_keys_add_base64(other_key.get(),
                                        public_key_base64(testing::trusted(2).key).c_str()));
  const std::vector<std::byte> package = testing::package_of(contents_);
  const Result wrong_key(
      plugin_sign_verify_package(other_key.get(), package.data(), package.size(), nullptr));
  EXPECT_EQ(PLUGIN_SIGN_BAD_SIGNATURE, plugin_sign_result_status(wrong_key.get()));
  EXPECT_STREQ("signature does not match any trusted key",
               plugin_sign_result_message(wrong_key.get()));

  // A well-formed package whose module changed after it was signed.
  testing::Contents tampered = contents_;
  tampered.main_wasm[1000] ^= std::byte{1};
  const Result changed = verify(testing::package_of(tampered));
  EXPECT_EQ(PLUGIN_SIGN_BAD_SIGNATURE, plugin_sign_result_status(changed.get()));
  EXPECT_STREQ("signature does not match any trusted key",
               plugin_sign_result_message(changed.get()));

  const Result missing(
      plugin_sign_verify_directory(keys_.get(), "/nonexistent/plugin_sign/plugin", nullptr));
  EXPECT_EQ(PLUGIN_SIGN_UNREADABLE, plugin_sign_result_status(missing.get()));
  EXPECT_STREQ("failed to read plugin.toml: No such file or directory (os error 2)",
               plugin_sign_result_message(missing.get()));
}

TEST_F(CApi, KeyTextsAreCheckedAndTheirErrorKept) {
  const Keys keys(plugin_sign_keys_new());
  const std::string file = "# comment\n" + public_key_base64(testing::trusted(2).key) +
                           " names=acme-*\n" + public_key_base64(testing::trusted(1).key) + "\n";
  EXPECT_EQ(PLUGIN_SIGN_OK, plugin_sign_keys_add_file_text(keys.get(), file.data(), file.size()));
  EXPECT_EQ(2u, plugin_sign_keys_count(keys.get()));
  EXPECT_STREQ("", plugin_sign_keys_error(keys.get()));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_KEY, plugin_sign_keys_add_base64(keys.get(), "not a key"));
  EXPECT_STRNE("", plugin_sign_keys_error(keys.get()));
  EXPECT_EQ(2u, plugin_sign_keys_count(keys.get()));

  const std::vector<std::byte> package = testing::package_of(contents_);
  const Result result(
      plugin_sign_verify_package(keys.get(), package.data(), package.size(), nullptr));
  EXPECT_EQ(PLUGIN_SIGN_OK, plugin_sign_result_status(result.get()));
}

TEST_F(CApi, NullArgumentsAreReportedNotFollowed) {
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_keys_add_base64(nullptr, "x"));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_keys_add_base64(keys_.get(), nullptr));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_keys_add_file_text(keys_.get(), nullptr, 3));
  const Result no_keys(plugin_sign_verify_package(nullptr, "x", 1, nullptr));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_result_status(no_keys.get()));
  const Result no_data(plugin_sign_verify_package(keys_.get(), nullptr, 1, nullptr));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_result_status(no_data.get()));
  const Result no_dir(plugin_sign_verify_directory(keys_.get(), nullptr, nullptr));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_result_status(no_dir.get()));
  const Result empty(plugin_sign_verify_package(keys_.get(), nullptr, 0, nullptr));
  EXPECT_EQ(PLUGIN_SIGN_MALFORMED, plugin_sign_result_status(empty.get()));
  EXPECT_STREQ("empty file", plugin_sign_result_message(empty.get()));
  EXPECT_EQ(PLUGIN_SIGN_OUT_OF_MEMORY, plugin_sign_result_status(nullptr));
}

TEST_F(CApi, LimitsOfZeroMeanTheDefaults) {
  const plugin_sign_limits defaults{};
  EXPECT_EQ(max_package_size({}), plugin_sign_max_package_size(&defaults));
  EXPECT_EQ(max_package_size({}), plugin_sign_max_package_size(nullptr));
  const plugin_sign_limits small{.plugin_toml = 10, .main_wasm = 0};
  const std::vector<std::byte> package = testing::package_of(contents_);
  const Result result(
      plugin_sign_verify_package(keys_.get(), package.data(), package.size(), &small));
  EXPECT_EQ(PLUGIN_SIGN_TOO_LARGE, plugin_sign_result_status(result.get()));
}

}  // namespace
}  // namespace plugin_sign
