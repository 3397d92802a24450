#include "plugin_sign/verify.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "archive/zip_test_support.hpp"
#include "plugin_sign/verify.hpp"
#include "signing/revocation.hpp"
#include "signing/signing_key.hpp"
#include "support/tool_runner.hpp"
#include "verify/c_api_handles.hpp"
#include "verify/signed_package.hpp"

namespace plugin_sign {
namespace {

using testing::Keys;
using testing::Result;
using testing::Revoked;

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
  EXPECT_STREQ(
      "data after the end record (the archive is not in the layout plugin_sign writes: was it "
      "re-zipped or edited?)",
      plugin_sign_result_message(result.get()));
  std::size_t size = 7;
  EXPECT_EQ(nullptr, plugin_sign_result_main_wasm(result.get(), &size));
  EXPECT_EQ(0u, size);
  EXPECT_EQ(nullptr, plugin_sign_result_name(result.get(), nullptr));
  EXPECT_EQ(nullptr, plugin_sign_result_key_id(result.get()));
  EXPECT_EQ(nullptr, plugin_sign_result_public_key(result.get()));
}

// A refusal after the signature keeps what the signature established: the name and version
// when plugin.toml gave them, the key and the digests; never the bytes.
TEST_F(CApi, ARefusalAfterTheSignatureTellsWhichKeySignedWhat) {
  const std::vector<std::byte> package = testing::package_of(contents_);
  const Result verified = verify(package);
  ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_result_status(verified.get()));
  const std::string manifest = plugin_sign_result_manifest_sha256(verified.get());
  const Revoked revoked(plugin_sign_revocations_new());
  const std::string entry = "package " + manifest + "\n";
  ASSERT_EQ(PLUGIN_SIGN_OK,
            plugin_sign_revocations_add_file_text(revoked.get(), entry.data(), entry.size()));
  const testing::Contents bad_toml =
      testing::signed_contents(1, "[package]\nversion = 1\n", testing::sample_module(10));
  const std::vector<std::byte> bad_package = testing::package_of(bad_toml);
  const Keys scoped(plugin_sign_keys_new());
  const std::string scoped_text = public_key_base64(testing::trusted(1).key) + " names=other\n";
  ASSERT_EQ(PLUGIN_SIGN_OK,
            plugin_sign_keys_add_file_text(scoped.get(), scoped_text.data(), scoped_text.size()));
  struct Case {
    const char* name;
    const plugin_sign_keys* keys;
    const plugin_sign_revocations* revocations;
    const char* expected_name;
    const std::vector<std::byte>* package;
    plugin_sign_status status;
    bool name_known;
  };
  const Case cases[] = {
      {"revoked", keys_.get(), revoked.get(), nullptr, &package, PLUGIN_SIGN_REVOKED, true},
      {"name not allowed", scoped.get(), nullptr, nullptr, &package, PLUGIN_SIGN_NAME_NOT_ALLOWED,
       true},
      {"name mismatch", keys_.get(), nullptr, "other", &package, PLUGIN_SIGN_NAME_MISMATCH, true},
      {"plugin.toml malformed", keys_.get(), nullptr, nullptr, &bad_package, PLUGIN_SIGN_MALFORMED,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t length = c.expected_name ? std::strlen(c.expected_name) : 0;
    const Result result(plugin_sign_verify_package_with(c.keys, c.revocations, c.expected_name,
                                                        length, c.package->data(),
                                                        c.package->size(), nullptr));
    EXPECT_EQ(c.status, plugin_sign_result_status(result.get()));
    EXPECT_STREQ(plugin_sign_result_key_id(verified.get()),
                 plugin_sign_result_key_id(result.get()));
    ASSERT_NE(nullptr, plugin_sign_result_public_key(result.get()));
    EXPECT_EQ(0, std::memcmp(plugin_sign_result_public_key(verified.get()),
                             plugin_sign_result_public_key(result.get()), 32));
    ASSERT_NE(nullptr, plugin_sign_result_manifest_sha256(result.get()));
    EXPECT_EQ(c.package == &package, plugin_sign_result_manifest_sha256(result.get()) == manifest);
    EXPECT_NE(nullptr, plugin_sign_result_plugin_toml_sha256(result.get()));
    EXPECT_NE(nullptr, plugin_sign_result_main_wasm_sha256(result.get()));
    std::size_t length_out = 9;
    const char* name = plugin_sign_result_name(result.get(), &length_out);
    if (c.name_known) {
      EXPECT_STREQ("demo", name);
      EXPECT_EQ(4u, length_out);
      EXPECT_STREQ("1.2.0", plugin_sign_result_version(result.get(), nullptr));
    } else {
      EXPECT_EQ(nullptr, name);
      EXPECT_EQ(0u, length_out);
      EXPECT_EQ(nullptr, plugin_sign_result_version(result.get(), nullptr));
    }
    std::size_t size = 7;
    EXPECT_EQ(nullptr, plugin_sign_result_main_wasm(result.get(), &size));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(nullptr, plugin_sign_result_plugin_toml(result.get(), nullptr));
  }
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

  // The set fails closed: a host that ignored the failed addition verifies nothing with it,
  // even after a later addition succeeded.
  const std::vector<std::byte> package = testing::package_of(contents_);
  const std::string more = public_key_base64(testing::trusted(3).key);
  EXPECT_EQ(PLUGIN_SIGN_OK, plugin_sign_keys_add_base64(keys.get(), more.c_str()));
  EXPECT_STREQ("", plugin_sign_keys_error(keys.get()));
  const Result result(
      plugin_sign_verify_package(keys.get(), package.data(), package.size(), nullptr));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_KEY, plugin_sign_result_status(result.get()));
  EXPECT_STREQ(
      "key set unusable: an addition to it failed: public key is not valid base64: Invalid "
      "symbol 32, offset 3.",
      plugin_sign_result_message(result.get()));
  EXPECT_EQ(nullptr, plugin_sign_result_key_id(result.get()));
  // The same keys added without the failure verify it.
  const Keys fresh(plugin_sign_keys_new());
  ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_keys_add_file_text(fresh.get(), file.data(), file.size()));
  const Result verified(
      plugin_sign_verify_package(fresh.get(), package.data(), package.size(), nullptr));
  EXPECT_EQ(PLUGIN_SIGN_OK, plugin_sign_result_status(verified.get()));
}

TEST_F(CApi, NullArgumentsAreReportedNotFollowed) {
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_keys_add_base64(nullptr, "x"));
  const Keys spare(plugin_sign_keys_new());
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_keys_add_base64(spare.get(), nullptr));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_keys_add_file_text(spare.get(), nullptr, 3));
  const Result no_keys(plugin_sign_verify_package(nullptr, "x", 1, nullptr));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_result_status(no_keys.get()));
  EXPECT_STREQ("no key set", plugin_sign_result_message(no_keys.get()));
  EXPECT_EQ(0u, plugin_sign_keys_count(nullptr));
  const Result no_data(plugin_sign_verify_package(keys_.get(), nullptr, 1, nullptr));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_result_status(no_data.get()));
  EXPECT_STREQ("no data", plugin_sign_result_message(no_data.get()));
  // An empty buffer may come without an address (an empty vector's data()): it is the empty
  // text, not a missing one.
  const Keys from_empty(plugin_sign_keys_new()), from_null(plugin_sign_keys_new());
  EXPECT_EQ(plugin_sign_keys_add_file_text(from_empty.get(), "", 0),
            plugin_sign_keys_add_file_text(from_null.get(), nullptr, 0));
  EXPECT_STREQ(plugin_sign_keys_error(from_empty.get()), plugin_sign_keys_error(from_null.get()));
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
  // The calls with revocations and an expected name hold a package to the caller's limits too.
  const Result with(plugin_sign_verify_package_with(keys_.get(), nullptr, nullptr, 0,
                                                    package.data(), package.size(), &small));
  EXPECT_EQ(PLUGIN_SIGN_TOO_LARGE, plugin_sign_result_status(with.get()));
}

void write_bytes(const std::filesystem::path& path, const std::vector<std::byte>& bytes) {
  testing::write_file(path,
                      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

TEST_F(CApi, VerifiesAPackageFileWithinItsSizeBound) {
  const testing::ScratchDir dir;
  const std::string good = dir.path() / "good.zip";
  write_bytes(good, testing::package_of(contents_));
  const Result verified(plugin_sign_verify_file(keys_.get(), good.c_str(), nullptr));
  ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_result_status(verified.get()))
      << plugin_sign_result_message(verified.get());
  std::size_t size = 0;
  const void* wasm = plugin_sign_result_main_wasm(verified.get(), &size);
  ASSERT_EQ(contents_.main_wasm.size(), size);
  EXPECT_EQ(0, std::memcmp(contents_.main_wasm.data(), wasm, size));

  // A file far beyond the bound, but sparse: refused from its size, never read.
  const std::string huge = dir.path() / "huge.zip";
  testing::write_file(huge, "");
  const std::uint64_t bound = plugin_sign_max_package_size(nullptr);
  ASSERT_EQ(0, ::truncate(huge.c_str(), static_cast<off_t>(bound + 1)));
  const std::string missing = dir.path() / "missing.zip";
  const plugin_sign_limits small{.plugin_toml = 100, .main_wasm = 100};
  const std::uint64_t small_bound = plugin_sign_max_package_size(&small);
  const std::string good_size = std::to_string(std::filesystem::file_size(good));
  const struct {
    const char* name;
    std::string path;
    const plugin_sign_limits* limits;
    plugin_sign_status status;
    std::string message;
  } cases[] = {
      {"larger than the default bound", huge, nullptr, PLUGIN_SIGN_TOO_LARGE,
       "package is " + std::to_string(bound + 1) + " bytes, larger than the limits allow (" +
           std::to_string(bound) + " bytes)"},
      {"larger than the bound of small limits", good, &small, PLUGIN_SIGN_TOO_LARGE,
       "package is " + good_size + " bytes, larger than the limits allow (" +
           std::to_string(small_bound) + " bytes)"},
      {"missing", missing, nullptr, PLUGIN_SIGN_UNREADABLE,
       "failed to read: No such file or directory (os error 2)"},
      {"a directory", dir.path(), nullptr, PLUGIN_SIGN_UNREADABLE,
       "failed to read: Is a directory (os error 21)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Result result(plugin_sign_verify_file(keys_.get(), c.path.c_str(), c.limits));
    EXPECT_EQ(c.status, plugin_sign_result_status(result.get()));
    EXPECT_EQ(c.message, plugin_sign_result_message(result.get()));
  }
  const Result no_path(plugin_sign_verify_file(keys_.get(), nullptr, nullptr));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_result_status(no_path.get()));
}

TEST_F(CApi, AddsAKeyFileByPathAndRefusesOneEveryUserCanWrite) {
  const testing::ScratchDir dir;
  const std::string key = public_key_base64(testing::trusted(2).key);
  const std::string good = dir.path() / "keys.pub";
  testing::write_file(good, "# plugin_sign public key, key ID x\n" + key + "\n");
  const std::string open = dir.path() / "open.pub";
  testing::write_file(open, key + "\n");
  ASSERT_EQ(0, ::chmod(open.c_str(), 0666));
  const std::string bad = dir.path() / "bad.pub";
  testing::write_file(bad, key + " names=\n");
  const std::string missing = dir.path() / "missing.pub";
  const struct {
    const char* name;
    std::string path;
    plugin_sign_status status;
    std::string message;
  } failures[] = {
      {"writable by every user", open, PLUGIN_SIGN_UNREADABLE,
       open + ": refused, every user can write to it (chmod o-w " + open + ")"},
      {"invalid text", bad, PLUGIN_SIGN_INVALID_KEY,
       bad + ": line 1: names= needs at least one package name pattern"},
      {"missing", missing, PLUGIN_SIGN_UNREADABLE,
       missing + ": failed to read: No such file or directory (os error 2)"},
  };
  const std::vector<std::byte> package = testing::package_of(
      testing::signed_contents(2, std::string(testing::kSampleToml), testing::sample_module(100)));
  for (const auto& c : failures) {
    SCOPED_TRACE(c.name);
    const Keys failed(plugin_sign_keys_new());
    EXPECT_EQ(c.status, plugin_sign_keys_add_file(failed.get(), c.path.c_str()));
    EXPECT_EQ(c.message, plugin_sign_keys_error(failed.get()));
    EXPECT_EQ(0u, plugin_sign_keys_count(failed.get()));
    // Fail closed: the set refuses to verify, with the addition's status and reason.
    ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_keys_add_file(failed.get(), good.c_str()));
    const Result refused(
        plugin_sign_verify_package(failed.get(), package.data(), package.size(), nullptr));
    EXPECT_EQ(c.status, plugin_sign_result_status(refused.get()));
    EXPECT_EQ("key set unusable: an addition to it failed: " + c.message,
              plugin_sign_result_message(refused.get()));
  }
  const Keys keys(plugin_sign_keys_new());
  ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_keys_add_file(keys.get(), good.c_str()));
  EXPECT_EQ(1u, plugin_sign_keys_count(keys.get()));
  EXPECT_STREQ("", plugin_sign_keys_error(keys.get()));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_keys_add_file(nullptr, good.c_str()));
  const Result result(
      plugin_sign_verify_package(keys.get(), package.data(), package.size(), nullptr));
  EXPECT_EQ(PLUGIN_SIGN_OK, plugin_sign_result_status(result.get()));
}

// Revocation files by path are loaded as key files are: a file anyone may rewrite could have
// had a revocation taken out of it.
TEST_F(CApi, AddsARevocationFileByPathAndRefusesOneEveryUserCanWrite) {
  const testing::ScratchDir dir;
  const std::string entry = "key-id " + key_id(testing::trusted(2).key) + "\n";
  const std::string good = dir.path() / "revoked";
  testing::write_file(good, "# lost key\n" + entry);
  const std::string open = dir.path() / "open";
  testing::write_file(open, entry);
  ASSERT_EQ(0, ::chmod(open.c_str(), 0646));
  const std::string bad = dir.path() / "bad";
  testing::write_file(bad, entry + "revoke everything\n");
  const std::string missing = dir.path() / "missing";
  const struct {
    const char* name;
    std::string path;
    plugin_sign_status status;
    std::string message;
  } failures[] = {
      {"writable by every user", open, PLUGIN_SIGN_UNREADABLE,
       open + ": refused, every user can write to it (chmod o-w " + open + ")"},
      {"invalid text", bad, PLUGIN_SIGN_INVALID_KEY,
       bad + ": line 2: unknown entry \"revoke\" (the entries are key, key-id, package and below)"},
      {"missing", missing, PLUGIN_SIGN_UNREADABLE,
       missing + ": failed to read: No such file or directory (os error 2)"},
  };
  const Keys keys(plugin_sign_keys_new());
  const std::string key = public_key_base64(testing::trusted(2).key);
  ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_keys_add_base64(keys.get(), key.c_str()));
  const std::vector<std::byte> package = testing::package_of(
      testing::signed_contents(2, std::string(testing::kSampleToml), testing::sample_module(100)));
  const auto verify_with = [&](const plugin_sign_revocations* revocations) {
    return Result(plugin_sign_verify_package_with(keys.get(), revocations, nullptr, 0,
                                                  package.data(), package.size(), nullptr));
  };
  for (const auto& c : failures) {
    SCOPED_TRACE(c.name);
    const Revoked failed(plugin_sign_revocations_new());
    EXPECT_EQ(c.status, plugin_sign_revocations_add_file(failed.get(), c.path.c_str()));
    EXPECT_EQ(c.message, plugin_sign_revocations_error(failed.get()));
    // Fail closed: a host that ignored the status does not verify a package the file it meant
    // to add may revoke.
    const Result refused = verify_with(failed.get());
    EXPECT_EQ(c.status, plugin_sign_result_status(refused.get()));
    EXPECT_EQ("revocation set unusable: an addition to it failed: " + c.message,
              plugin_sign_result_message(refused.get()));
  }
  const Revoked revoked(plugin_sign_revocations_new());
  const auto verify = [&] { return plugin_sign_result_status(verify_with(revoked.get()).get()); };
  EXPECT_EQ(PLUGIN_SIGN_OK, verify());
  ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_revocations_add_file(revoked.get(), good.c_str()));
  EXPECT_STREQ("", plugin_sign_revocations_error(revoked.get()));
  EXPECT_EQ(PLUGIN_SIGN_REVOKED, verify());
  const Revoked spare(plugin_sign_revocations_new());
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_revocations_add_file(spare.get(), nullptr));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT,
            plugin_sign_result_status(verify_with(spare.get()).get()));
}

TEST(CApiStatusString, NamesEveryStatusAndNothingElse) {
  std::set<std::string> texts;
  for (int status = 0; status <= 11; ++status) {
    SCOPED_TRACE(status);
    const char* text = plugin_sign_status_string(static_cast<plugin_sign_status>(status));
    ASSERT_NE(nullptr, text);
    EXPECT_STRNE("unknown status", text);
    EXPECT_EQ(text, plugin_sign_status_string(static_cast<plugin_sign_status>(status)));
    texts.insert(text);
  }
  EXPECT_EQ(12u, texts.size());
  EXPECT_STREQ("verified", plugin_sign_status_string(PLUGIN_SIGN_OK));
  EXPECT_STREQ("the package is malformed", plugin_sign_status_string(PLUGIN_SIGN_MALFORMED));
  EXPECT_STREQ("unknown status", plugin_sign_status_string(static_cast<plugin_sign_status>(12)));
  EXPECT_STREQ("unknown status", plugin_sign_status_string(static_cast<plugin_sign_status>(-1)));
}

TEST(CApiVersion, IsTheProjectVersionAndTheHeaderMacros) {
  EXPECT_STREQ(PLUGIN_SIGN_PROJECT_VERSION, plugin_sign_version());
  EXPECT_STREQ(PLUGIN_SIGN_VERSION_STRING, plugin_sign_version());
  EXPECT_EQ(std::to_string(PLUGIN_SIGN_VERSION_MAJOR) + "." +
                std::to_string(PLUGIN_SIGN_VERSION_MINOR) + "." +
                std::to_string(PLUGIN_SIGN_VERSION_PATCH),
            plugin_sign_version());
}

TEST(CApiFree, AcceptsNull) {
  plugin_sign_keys_free(nullptr);
  plugin_sign_result_free(nullptr);
  plugin_sign_revocations_free(nullptr);
}

TEST_F(CApi, RevocationFilesAddUpAndABadOneAddsNothing) {
  const Revoked revoked(plugin_sign_revocations_new());
  ASSERT_TRUE(revoked);
  const std::vector<std::byte> package = testing::package_of(contents_);
  const auto verify_with = [&](const plugin_sign_revocations* revocations) {
    return Result(plugin_sign_verify_package_with(keys_.get(), revocations, nullptr, 0,
                                                  package.data(), package.size(), nullptr));
  };
  EXPECT_EQ(PLUGIN_SIGN_OK, plugin_sign_result_status(verify_with(revoked.get()).get()));
  EXPECT_EQ(PLUGIN_SIGN_OK, plugin_sign_result_status(verify_with(nullptr).get()));

  // A bad line refuses the whole text, the key-id before it included; and the set it was
  // added to refuses to verify from then on.
  const std::string bad = "key-id " + key_id(testing::trusted(1).key) + "\nkey-id 12\n";
  const Revoked failed(plugin_sign_revocations_new());
  EXPECT_EQ(PLUGIN_SIGN_INVALID_KEY,
            plugin_sign_revocations_add_file_text(failed.get(), bad.data(), bad.size()));
  EXPECT_STREQ("line 2: key-id must be 16 hexadecimal digits, found 2 characters",
               plugin_sign_revocations_error(failed.get()));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_KEY, plugin_sign_result_status(verify_with(failed.get()).get()));
  // A later good addition clears the error, as for keys, yet the set still refuses.
  const std::string good = "key-id " + key_id(testing::trusted(2).key) + "\n";
  EXPECT_EQ(PLUGIN_SIGN_OK,
            plugin_sign_revocations_add_file_text(failed.get(), good.data(), good.size()));
  EXPECT_STREQ("", plugin_sign_revocations_error(failed.get()));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_KEY, plugin_sign_result_status(verify_with(failed.get()).get()));

  const std::string other = revocation_statement(SigningKey(testing::test_seed(2)));
  const std::string mine = revocation_statement(SigningKey(testing::test_seed(1)));
  EXPECT_EQ(PLUGIN_SIGN_OK,
            plugin_sign_revocations_add_file_text(revoked.get(), other.data(), other.size()));
  EXPECT_STREQ("", plugin_sign_revocations_error(revoked.get()));
  EXPECT_EQ(PLUGIN_SIGN_OK, plugin_sign_result_status(verify_with(revoked.get()).get()));
  EXPECT_EQ(PLUGIN_SIGN_OK,
            plugin_sign_revocations_add_file_text(revoked.get(), mine.data(), mine.size()));
  const Result result = verify_with(revoked.get());
  EXPECT_EQ(PLUGIN_SIGN_REVOKED, plugin_sign_result_status(result.get()));
  EXPECT_EQ("key " + key_id(testing::trusted(1).key) + " is revoked",
            plugin_sign_result_message(result.get()));
  EXPECT_EQ(nullptr, plugin_sign_result_main_wasm(result.get(), nullptr));

  // The functions that take no revocations keep verifying it.
  EXPECT_EQ(PLUGIN_SIGN_OK, plugin_sign_result_status(verify(package).get()));
}

TEST_F(CApi, ExpectedNameIsComparedWithItsLength) {
  const std::vector<std::byte> package = testing::package_of(contents_);
  const auto verify_named = [&](const char* name, size_t length) {
    return Result(plugin_sign_verify_package_with(keys_.get(), nullptr, name, length,
                                                  package.data(), package.size(), nullptr));
  };
  EXPECT_EQ(PLUGIN_SIGN_OK, plugin_sign_result_status(verify_named("demo", 4).get()));
  EXPECT_EQ(PLUGIN_SIGN_OK, plugin_sign_result_status(verify_named(nullptr, 0).get()));
  EXPECT_EQ(PLUGIN_SIGN_OK, plugin_sign_result_status(verify_named("demo and more", 4).get()));
  const Result upper = verify_named("Demo", 4);
  EXPECT_EQ(PLUGIN_SIGN_NAME_MISMATCH, plugin_sign_result_status(upper.get()));
  EXPECT_STREQ("package name demo, expected Demo", plugin_sign_result_message(upper.get()));
  // The NUL and what follows it count; the message shows the NUL rather than end there.
  const Result nul = verify_named("demo\0x", 6);
  EXPECT_EQ(PLUGIN_SIGN_NAME_MISMATCH, plugin_sign_result_status(nul.get()));
  EXPECT_STREQ("package name demo, expected demo\\x00x", plugin_sign_result_message(nul.get()));
  EXPECT_EQ(nullptr, plugin_sign_result_main_wasm(nul.get(), nullptr));
  // A name whose bytes are missing is a caller's fault, never "any name".
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT,
            plugin_sign_result_status(verify_named(nullptr, 4).get()));
}

TEST_F(CApi, DirectoryWithRevocationsAndName) {
  testing::ScratchDir dir;
  testing::make_plugin(dir.path(), contents_.plugin_toml,
                       std::string_view(reinterpret_cast<const char*>(contents_.main_wasm.data()),
                                        contents_.main_wasm.size()));
  testing::write_file(dir.path() / "signature.sig", contents_.signature);
  const Revoked revoked(plugin_sign_revocations_new());
  const Result named(plugin_sign_verify_directory_with(keys_.get(), revoked.get(), "demo", 4,
                                                       dir.path().c_str(), nullptr));
  ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_result_status(named.get()))
      << plugin_sign_result_message(named.get());
  const std::string entry =
      std::string("package ") + plugin_sign_result_manifest_sha256(named.get()) + "\n";
  ASSERT_EQ(PLUGIN_SIGN_OK,
            plugin_sign_revocations_add_file_text(revoked.get(), entry.data(), entry.size()));
  const Result refused(plugin_sign_verify_directory_with(keys_.get(), revoked.get(), "demo", 4,
                                                         dir.path().c_str(), nullptr));
  EXPECT_EQ(PLUGIN_SIGN_REVOKED, plugin_sign_result_status(refused.get()));
  const Result no_dir(
      plugin_sign_verify_directory_with(keys_.get(), nullptr, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_result_status(no_dir.get()));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT,
            plugin_sign_revocations_add_file_text(nullptr, entry.data(), entry.size()));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT,
            plugin_sign_revocations_add_file_text(revoked.get(), nullptr, 1));
}

struct PolicyDeleter {
  void operator()(plugin_sign_policy* policy) const { plugin_sign_policy_free(policy); }
};
using Policy = std::unique_ptr<plugin_sign_policy, PolicyDeleter>;

// The policy object carries every check of the _with calls, and the record besides; what it
// does not have yet is reported, never assumed.
TEST_F(CApi, APolicyCarriesEveryCheckAndTheRecord) {
  const testing::ScratchDir dir;
  const auto package = [](std::string_view version) {
    return testing::package_of(testing::signed_contents(
        1, "[package]\nname = \"demo\"\nversion = \"" + std::string(version) + "\"\n", {}));
  };
  const Policy policy(plugin_sign_policy_new());
  ASSERT_TRUE(policy);
  const auto verify_with = [&](const std::vector<std::byte>& bytes) {
    return Result(plugin_sign_verify_package_policy(policy.get(), bytes.data(), bytes.size()));
  };
  const auto v140 = package("1.4.0"), v120 = package("1.2.0"), v150 = package("1.5.0");
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_result_status(verify_with(v140).get()));

  ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_policy_set_keys(policy.get(), keys_.get()));
  const std::string record = dir.path() / "record";
  ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_policy_set_record(policy.get(), record.c_str()));
  EXPECT_EQ(PLUGIN_SIGN_OK, plugin_sign_result_status(verify_with(v140).get()));
  const Result older = verify_with(v120);
  EXPECT_EQ(PLUGIN_SIGN_ROLLBACK, plugin_sign_result_status(older.get()));
  EXPECT_STREQ("demo 1.2.0 is older than 1.4.0, accepted before",
               plugin_sign_result_message(older.get()));
  ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_policy_set_record(policy.get(), nullptr));
  EXPECT_EQ(PLUGIN_SIGN_OK, plugin_sign_result_status(verify_with(v120).get()));

  ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_policy_set_expected_name(policy.get(), "demo\0", 5));
  EXPECT_EQ(PLUGIN_SIGN_NAME_MISMATCH, plugin_sign_result_status(verify_with(v140).get()));
  ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_policy_set_expected_name(policy.get(), "demo", 4));
  EXPECT_EQ(PLUGIN_SIGN_OK, plugin_sign_result_status(verify_with(v140).get()));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT,
            plugin_sign_policy_set_expected_name(policy.get(), nullptr, 1));
  // NULL with a length of 0 takes the expectation away again.
  ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_policy_set_expected_name(policy.get(), "other", 5));
  EXPECT_EQ(PLUGIN_SIGN_NAME_MISMATCH, plugin_sign_result_status(verify_with(v140).get()));
  ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_policy_set_expected_name(policy.get(), nullptr, 0));
  EXPECT_EQ(PLUGIN_SIGN_OK, plugin_sign_result_status(verify_with(v140).get()));

  const Revoked revoked(plugin_sign_revocations_new());
  const std::string floor = "below demo 1.5.0\n";
  ASSERT_EQ(PLUGIN_SIGN_OK,
            plugin_sign_revocations_add_file_text(revoked.get(), floor.data(), floor.size()));
  ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_policy_set_revocations(policy.get(), revoked.get()));
  const Result below = verify_with(v140);
  EXPECT_EQ(PLUGIN_SIGN_REVOKED, plugin_sign_result_status(below.get()));
  EXPECT_STREQ("demo 1.4.0 is revoked (below 1.5.0)", plugin_sign_result_message(below.get()));
  EXPECT_EQ(PLUGIN_SIGN_OK, plugin_sign_result_status(verify_with(v150).get()));

  const plugin_sign_limits tiny{.plugin_toml = 10, .main_wasm = 0};
  ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_policy_set_limits(policy.get(), &tiny));
  EXPECT_EQ(PLUGIN_SIGN_TOO_LARGE, plugin_sign_result_status(verify_with(v150).get()));
  ASSERT_EQ(PLUGIN_SIGN_OK, plugin_sign_policy_set_limits(policy.get(), nullptr));

  const std::string file = dir.path() / "v150.zip";
  write_bytes(file, v150);
  const Result from_file(plugin_sign_verify_file_policy(policy.get(), file.c_str()));
  EXPECT_EQ(PLUGIN_SIGN_OK, plugin_sign_result_status(from_file.get()))
      << plugin_sign_result_message(from_file.get());
  const Result no_dir(plugin_sign_verify_directory_policy(policy.get(), nullptr));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_result_status(no_dir.get()));
  const Result no_policy(plugin_sign_verify_file_policy(nullptr, file.c_str()));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_result_status(no_policy.get()));
  const Result no_policy_for_bytes(
      plugin_sign_verify_package_policy(nullptr, v150.data(), v150.size()));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_result_status(no_policy_for_bytes.get()));
  EXPECT_STREQ("no policy", plugin_sign_result_message(no_policy_for_bytes.get()));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_policy_set_keys(nullptr, keys_.get()));
  EXPECT_EQ(PLUGIN_SIGN_INVALID_ARGUMENT, plugin_sign_policy_set_record(nullptr, "x"));
  plugin_sign_policy_free(nullptr);
}

}  // namespace
}  // namespace plugin_sign
