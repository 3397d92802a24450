// c_api.cpp — the C interface (plugin_sign/verify.h) over the C++ one: opaque objects, status
// codes, and no exception ever leaving a function.
#include "plugin_sign/verify.h"

#include <new>
#include <optional>
#include <string>
#include <vector>

#include "io/file_io.hpp"
#include "plugin_sign/keys.hpp"
#include "plugin_sign/revocations.hpp"
#include "plugin_sign/trust_files.hpp"
#include "plugin_sign/verify.hpp"

// The header's version macros and the project's version are one number.
#define PLUGIN_SIGN_STRINGIFY(x) #x
#define PLUGIN_SIGN_TEXT(x) PLUGIN_SIGN_STRINGIFY(x)
static_assert(std::string_view(PLUGIN_SIGN_VERSION_STRING) == PLUGIN_SIGN_PROJECT_VERSION,
              "verify.h's PLUGIN_SIGN_VERSION_STRING differs from the project's version");
static_assert(std::string_view(PLUGIN_SIGN_TEXT(PLUGIN_SIGN_VERSION_MAJOR) "." PLUGIN_SIGN_TEXT(
                  PLUGIN_SIGN_VERSION_MINOR) "." PLUGIN_SIGN_TEXT(PLUGIN_SIGN_VERSION_PATCH)) ==
                  PLUGIN_SIGN_VERSION_STRING,
              "verify.h's version macros differ from PLUGIN_SIGN_VERSION_STRING");

// A set that an addition failed for refuses every verification that uses it (`failed`,
// `failure`), whatever was added before or after: a host that ignored the status must not
// verify with fewer keys' names or fewer revocations than it meant to.
struct plugin_sign_keys {
  std::vector<plugin_sign::TrustedKey> keys;
  std::string error;
  plugin_sign_status failed = PLUGIN_SIGN_OK;
  std::string failure;
};

struct plugin_sign_revocations {
  plugin_sign::Revocations revocations;
  std::string error;
  plugin_sign_status failed = PLUGIN_SIGN_OK;
  std::string failure;
};

struct plugin_sign_policy {
  const plugin_sign_keys* keys = nullptr;
  const plugin_sign_revocations* revocations = nullptr;
  std::optional<std::string> expected_name;
  plugin_sign_limits limits{};
  std::optional<std::string> record;
};

struct plugin_sign_result {
  plugin_sign_status status = PLUGIN_SIGN_OUT_OF_MEMORY;
  std::string message = "out of memory";
  std::optional<plugin_sign::VerifiedPackage> package;
  // What the signature established: a verified package's, or a refused one's once its
  // signature verified.
  std::optional<plugin_sign::SignedFacts> facts;
  std::string key_id;
};

namespace {

using plugin_sign::VerifyErrorKind;

plugin_sign_status status_of(VerifyErrorKind kind) {
  switch (kind) {
    case VerifyErrorKind::kUnreadable:
      return PLUGIN_SIGN_UNREADABLE;
    case VerifyErrorKind::kMalformed:
      return PLUGIN_SIGN_MALFORMED;
    case VerifyErrorKind::kTooLarge:
      return PLUGIN_SIGN_TOO_LARGE;
    case VerifyErrorKind::kOutOfMemory:
      return PLUGIN_SIGN_OUT_OF_MEMORY;
    case VerifyErrorKind::kBadSignature:
      return PLUGIN_SIGN_BAD_SIGNATURE;
    case VerifyErrorKind::kNameNotAllowed:
      return PLUGIN_SIGN_NAME_NOT_ALLOWED;
    case VerifyErrorKind::kRevoked:
      return PLUGIN_SIGN_REVOKED;
    case VerifyErrorKind::kNameMismatch:
      return PLUGIN_SIGN_NAME_MISMATCH;
    case VerifyErrorKind::kRollback:
      return PLUGIN_SIGN_ROLLBACK;
  }
  return PLUGIN_SIGN_MALFORMED;
}

plugin_sign::VerifyLimits limits_of(const plugin_sign_limits* limits) {
  plugin_sign::VerifyLimits result;
  if (limits != nullptr && limits->plugin_toml != 0) result.plugin_toml = limits->plugin_toml;
  if (limits != nullptr && limits->main_wasm != 0) result.main_wasm = limits->main_wasm;
  return result;
}

// Adds `parsed` keys to `keys`, or records why there are none.
template <typename Parse>
plugin_sign_status add_keys(plugin_sign_keys* keys, Parse&& parse) {
  if (keys == nullptr) return PLUGIN_SIGN_INVALID_ARGUMENT;
  try {
    auto parsed = parse();
    if (!parsed) {
      keys->error = parsed.error();
      return PLUGIN_SIGN_INVALID_KEY;
    }
    keys->keys.reserve(keys->keys.size() + parsed->size());
    keys->keys.insert(keys->keys.end(), parsed->begin(), parsed->end());
    keys->error.clear();
    return PLUGIN_SIGN_OK;
  } catch (...) {
    return PLUGIN_SIGN_OUT_OF_MEMORY;
  }
}

// A message as a C string: a NUL byte, which a package name or an expected name may hold,
// would cut it short, so it shows as \x00.
std::string c_message(const std::string& message) {
  std::string out;
  for (const char c : message) {
    if (c == '\0')
      out += "\\x00";
    else
      out += c;
  }
  return out;
}

// `status` of an addition to `set`; the first failure stays with the set.
template <typename Set>
plugin_sign_status remember(Set* set, plugin_sign_status status) {
  if (set == nullptr || status == PLUGIN_SIGN_OK || set->failed != PLUGIN_SIGN_OK) return status;
  set->failed = status;
  try {
    set->failure = set->error.empty() ? std::string(plugin_sign_status_string(status)) : set->error;
  } catch (...) {
    set->failure.clear();
  }
  return status;
}

// A result that refuses to verify with a set an addition failed for.
template <typename Set>
bool refuse_failed_set(plugin_sign_result* result, const Set* set, const char* what) {
  if (set == nullptr || set->failed == PLUGIN_SIGN_OK) return false;
  result->status = set->failed;
  try {
    result->message = std::string(what) + " unusable: an addition to it failed: " + set->failure;
  } catch (...) {
    result->message.clear();
  }
  return true;
}

// The options of the *_with calls; an expected name is kept as a view of the caller's bytes.
plugin_sign::VerifyOptions options_of(const plugin_sign_revocations* revocations,
                                      const char* expected_name, size_t expected_name_length,
                                      const plugin_sign_limits* limits) {
  plugin_sign::VerifyOptions options;
  options.limits = limits_of(limits);
  if (revocations != nullptr) options.revocations = &revocations->revocations;
  if (expected_name != nullptr)
    options.expected_name = std::string_view(expected_name, expected_name_length);
  return options;
}

plugin_sign::VerifyOptions options_of(const plugin_sign_policy& policy) {
  plugin_sign::VerifyOptions options;
  options.limits = limits_of(&policy.limits);
  if (policy.revocations != nullptr) options.revocations = &policy.revocations->revocations;
  if (policy.expected_name) options.expected_name = *policy.expected_name;
  if (policy.record) options.record = *policy.record;
  return options;
}

// Runs `set` on `policy`; a failed allocation leaves the policy as it was.
template <typename Set>
plugin_sign_status change_policy(plugin_sign_policy* policy, Set&& set) {
  if (policy == nullptr) return PLUGIN_SIGN_INVALID_ARGUMENT;
  try {
    set(*policy);
    return PLUGIN_SIGN_OK;
  } catch (...) {
    return PLUGIN_SIGN_OUT_OF_MEMORY;
  }
}

// A result that reports a missing argument.
plugin_sign_result* invalid_argument(const char* message) {
  auto* result = new (std::nothrow) plugin_sign_result;
  if (result == nullptr) return nullptr;
  result->status = PLUGIN_SIGN_INVALID_ARGUMENT;
  result->message = message;  // short enough to need no allocation
  return result;
}

// A result for `verify`'s outcome; a result whose filling ran out of memory says so.
template <typename Verify>
plugin_sign_result* make_result(const plugin_sign_keys* keys,
                                const plugin_sign_revocations* revocations, Verify&& verify) {
  if (keys == nullptr) return invalid_argument("no key set");
  auto* result = new (std::nothrow) plugin_sign_result;
  if (result == nullptr) return nullptr;
  if (refuse_failed_set(result, keys, "key set") ||
      refuse_failed_set(result, revocations, "revocation set"))
    return result;
  try {
    auto verified = verify();
    if (!verified) {
      result->facts = std::move(verified.error().facts);
      if (result->facts) result->key_id = plugin_sign::key_id(result->facts->key);
      result->message = c_message(verified.error().message);
      result->status = status_of(verified.error().kind);
      return result;
    }
    result->facts = plugin_sign::signed_facts(*verified);
    result->key_id = plugin_sign::key_id(verified->key);
    result->package = std::move(*verified);
    result->message.clear();
    result->status = PLUGIN_SIGN_OK;
  } catch (...) {
    // Out of memory: the result says so, and holds nothing of what was verified.
    result->status = PLUGIN_SIGN_OUT_OF_MEMORY;
    result->message = "out of memory";
    result->package.reset();
    result->facts.reset();
  }
  return result;
}

plugin_sign_status status_of(plugin_sign::TrustFileError::Kind kind) {
  switch (kind) {
    case plugin_sign::TrustFileError::Kind::kOutOfMemory:
      return PLUGIN_SIGN_OUT_OF_MEMORY;
    case plugin_sign::TrustFileError::Kind::kTooLarge:
      return PLUGIN_SIGN_TOO_LARGE;
    case plugin_sign::TrustFileError::Kind::kInvalid:
      return PLUGIN_SIGN_INVALID_KEY;
    case plugin_sign::TrustFileError::Kind::kUnreadable:
    case plugin_sign::TrustFileError::Kind::kWorldWritable:
      break;
  }
  return PLUGIN_SIGN_UNREADABLE;
}

// The key file at `path`, loaded; a failure's status and message go to `keys`.
plugin_sign_status add_key_file(plugin_sign_keys* keys, const char* path) {
  auto loaded = plugin_sign::load_key_file(path);
  if (!loaded) {
    keys->error = c_message(loaded.error().message);
    return status_of(loaded.error().kind);
  }
  keys->keys.reserve(keys->keys.size() + loaded->size());
  keys->keys.insert(keys->keys.end(), loaded->begin(), loaded->end());
  keys->error.clear();
  return PLUGIN_SIGN_OK;
}

const plugin_sign::VerifiedPackage* package_of(const plugin_sign_result* result) {
  if (result == nullptr || result->status != PLUGIN_SIGN_OK || !result->package) return nullptr;
  return &*result->package;
}

const plugin_sign::SignedFacts* facts_of(const plugin_sign_result* result) {
  if (result == nullptr || !result->facts) return nullptr;
  return &*result->facts;
}

const char* text_of(const plugin_sign_result* result,
                    const std::string plugin_sign::SignedFacts::*field) {
  const plugin_sign::SignedFacts* facts = facts_of(result);
  return facts ? (facts->*field).c_str() : nullptr;
}

// A name or version: unknown for a failure before the signature, and for one whose plugin.toml
// gave none that passed the checks.
const char* text_of(const plugin_sign_result* result,
                    const std::optional<std::string> plugin_sign::SignedFacts::*field,
                    size_t* length) {
  const plugin_sign::SignedFacts* facts = facts_of(result);
  const std::string* text = facts && (facts->*field) ? &*(facts->*field) : nullptr;
  if (length != nullptr) *length = text ? text->size() : 0;
  return text ? text->c_str() : nullptr;
}

const void* bytes_of(const plugin_sign_result* result,
                     const plugin_sign::VerifiedBytes plugin_sign::VerifiedPackage::*field,
                     size_t* size) {
  const plugin_sign::VerifiedPackage* package = package_of(result);
  if (size != nullptr) *size = package ? (package->*field).size() : 0;
  if (package == nullptr) return nullptr;
  // An empty file still gets an address, so that NULL always means "not verified".
  const std::byte* data = (package->*field).bytes().data();
  return data != nullptr ? static_cast<const void*>(data) : "";
}

}  // namespace

extern "C" {

plugin_sign_keys* plugin_sign_keys_new(void) {
  return new (std::nothrow) plugin_sign_keys;
}

static plugin_sign_status plugin_sign_keys_add_file_text_once(plugin_sign_keys* keys,
                                                              const char* text, size_t length) {
  if (text == nullptr && length != 0) return PLUGIN_SIGN_INVALID_ARGUMENT;
  return add_keys(keys, [&] {
    return plugin_sign::parse_trusted_keys(std::string_view(text == nullptr ? "" : text, length));
  });
}

static plugin_sign_status plugin_sign_keys_add_base64_once(plugin_sign_keys* keys,
                                                           const char* base64) {
  if (base64 == nullptr) return PLUGIN_SIGN_INVALID_ARGUMENT;
  return add_keys(keys, [&]() -> std::expected<std::vector<plugin_sign::TrustedKey>, std::string> {
    auto key = plugin_sign::parse_public_key(base64);
    if (!key) return std::unexpected(key.error());
    return std::vector{plugin_sign::TrustedKey{.key = *key, .names = {}}};
  });
}

static plugin_sign_status plugin_sign_keys_add_file_once(plugin_sign_keys* keys, const char* path) {
  if (keys == nullptr || path == nullptr) return PLUGIN_SIGN_INVALID_ARGUMENT;
  try {
    return add_key_file(keys, path);
  } catch (...) {
    return PLUGIN_SIGN_OUT_OF_MEMORY;
  }
}

plugin_sign_status plugin_sign_keys_add_file_text(plugin_sign_keys* keys, const char* text,
                                                  size_t length) {
  return remember(keys, plugin_sign_keys_add_file_text_once(keys, text, length));
}

plugin_sign_status plugin_sign_keys_add_base64(plugin_sign_keys* keys, const char* base64) {
  return remember(keys, plugin_sign_keys_add_base64_once(keys, base64));
}

plugin_sign_status plugin_sign_keys_add_file(plugin_sign_keys* keys, const char* path) {
  return remember(keys, plugin_sign_keys_add_file_once(keys, path));
}

const char* plugin_sign_keys_error(const plugin_sign_keys* keys) {
  return keys == nullptr ? "no key set" : keys->error.c_str();
}

size_t plugin_sign_keys_count(const plugin_sign_keys* keys) {
  return keys == nullptr ? 0 : keys->keys.size();
}

void plugin_sign_keys_free(plugin_sign_keys* keys) {
  delete keys;
}

plugin_sign_result* plugin_sign_verify_package(const plugin_sign_keys* keys, const void* data,
                                               size_t size, const plugin_sign_limits* limits) {
  if (data == nullptr && size != 0) return invalid_argument("no data");
  return make_result(keys, nullptr, [&] {
    const auto* bytes = static_cast<const std::byte*>(data);
    return plugin_sign::verify_package(std::span(bytes, size), keys->keys, limits_of(limits));
  });
}

plugin_sign_result* plugin_sign_verify_file(const plugin_sign_keys* keys, const char* path,
                                            const plugin_sign_limits* limits) {
  if (path == nullptr) return invalid_argument("no path");
  return make_result(keys, nullptr, [&] {
    return plugin_sign::verify_package_file(path, keys->keys, limits_of(limits));
  });
}

plugin_sign_result* plugin_sign_verify_directory(const plugin_sign_keys* keys, const char* dir,
                                                 const plugin_sign_limits* limits) {
  if (dir == nullptr) return invalid_argument("no directory");
  return make_result(
      keys, nullptr,
      [&]() -> std::expected<plugin_sign::VerifiedPackage, plugin_sign::VerifyError> {
        return plugin_sign::verify_plugin_directory(dir, keys->keys, limits_of(limits));
      });
}

plugin_sign_status plugin_sign_result_status(const plugin_sign_result* result) {
  return result == nullptr ? PLUGIN_SIGN_OUT_OF_MEMORY : result->status;
}

const char* plugin_sign_result_message(const plugin_sign_result* result) {
  return result == nullptr ? "out of memory" : result->message.c_str();
}

const char* plugin_sign_result_name(const plugin_sign_result* result, size_t* length) {
  return text_of(result, &plugin_sign::SignedFacts::name, length);
}

const char* plugin_sign_result_version(const plugin_sign_result* result, size_t* length) {
  return text_of(result, &plugin_sign::SignedFacts::version, length);
}

const char* plugin_sign_result_key_id(const plugin_sign_result* result) {
  return facts_of(result) ? result->key_id.c_str() : nullptr;
}

const uint8_t* plugin_sign_result_public_key(const plugin_sign_result* result) {
  const plugin_sign::SignedFacts* facts = facts_of(result);
  return facts ? reinterpret_cast<const uint8_t*>(facts->key.data()) : nullptr;
}

const char* plugin_sign_result_plugin_toml_sha256(const plugin_sign_result* result) {
  return text_of(result, &plugin_sign::SignedFacts::plugin_toml_sha256);
}

const char* plugin_sign_result_main_wasm_sha256(const plugin_sign_result* result) {
  return text_of(result, &plugin_sign::SignedFacts::main_wasm_sha256);
}

const char* plugin_sign_result_manifest_sha256(const plugin_sign_result* result) {
  return text_of(result, &plugin_sign::SignedFacts::manifest_sha256);
}

const void* plugin_sign_result_plugin_toml(const plugin_sign_result* result, size_t* size) {
  return bytes_of(result, &plugin_sign::VerifiedPackage::plugin_toml, size);
}

const void* plugin_sign_result_main_wasm(const plugin_sign_result* result, size_t* size) {
  return bytes_of(result, &plugin_sign::VerifiedPackage::main_wasm, size);
}

plugin_sign_revocations* plugin_sign_revocations_new(void) {
  return new (std::nothrow) plugin_sign_revocations;
}

static plugin_sign_status plugin_sign_revocations_add_file_text_once(
    plugin_sign_revocations* revocations, const char* text, size_t length) {
  if (revocations == nullptr || (text == nullptr && length != 0))
    return PLUGIN_SIGN_INVALID_ARGUMENT;
  try {
    auto parsed =
        plugin_sign::parse_revocations(std::string_view(text == nullptr ? "" : text, length));
    if (!parsed) {
      revocations->error = c_message(parsed.error());
      return PLUGIN_SIGN_INVALID_KEY;
    }
    // Copied whole before it replaces the set, so that a failed copy adds nothing.
    plugin_sign::Revocations combined = revocations->revocations;
    combined.add(*parsed);
    revocations->revocations = std::move(combined);
    revocations->error.clear();
    return PLUGIN_SIGN_OK;
  } catch (...) {
    return PLUGIN_SIGN_OUT_OF_MEMORY;
  }
}

static plugin_sign_status plugin_sign_revocations_add_file_once(
    plugin_sign_revocations* revocations, const char* path) {
  if (revocations == nullptr || path == nullptr) return PLUGIN_SIGN_INVALID_ARGUMENT;
  try {
    auto loaded = plugin_sign::load_revocation_file(path);
    if (!loaded) {
      revocations->error = c_message(loaded.error().message);
      return status_of(loaded.error().kind);
    }
    plugin_sign::Revocations combined = revocations->revocations;
    combined.add(*loaded);
    revocations->revocations = std::move(combined);
    revocations->error.clear();
    return PLUGIN_SIGN_OK;
  } catch (...) {
    return PLUGIN_SIGN_OUT_OF_MEMORY;
  }
}

plugin_sign_status plugin_sign_revocations_add_file_text(plugin_sign_revocations* revocations,
                                                         const char* text, size_t length) {
  return remember(revocations,
                  plugin_sign_revocations_add_file_text_once(revocations, text, length));
}

plugin_sign_status plugin_sign_revocations_add_file(plugin_sign_revocations* revocations,
                                                    const char* path) {
  return remember(revocations, plugin_sign_revocations_add_file_once(revocations, path));
}

const char* plugin_sign_revocations_error(const plugin_sign_revocations* revocations) {
  return revocations == nullptr ? "no revocation set" : revocations->error.c_str();
}

void plugin_sign_revocations_free(plugin_sign_revocations* revocations) {
  delete revocations;
}

plugin_sign_result* plugin_sign_verify_package_with(const plugin_sign_keys* keys,
                                                    const plugin_sign_revocations* revocations,
                                                    const char* expected_name,
                                                    size_t expected_name_length, const void* data,
                                                    size_t size, const plugin_sign_limits* limits) {
  if (data == nullptr && size != 0) return invalid_argument("no data");
  if (expected_name == nullptr && expected_name_length != 0)
    return invalid_argument("no expected name");
  return make_result(keys, revocations, [&] {
    const auto* bytes = static_cast<const std::byte*>(data);
    return plugin_sign::verify_package(
        std::span(bytes, size), keys->keys,
        options_of(revocations, expected_name, expected_name_length, limits));
  });
}

plugin_sign_result* plugin_sign_verify_file_with(const plugin_sign_keys* keys,
                                                 const plugin_sign_revocations* revocations,
                                                 const char* expected_name,
                                                 size_t expected_name_length, const char* path,
                                                 const plugin_sign_limits* limits) {
  if (path == nullptr) return invalid_argument("no path");
  if (expected_name == nullptr && expected_name_length != 0)
    return invalid_argument("no expected name");
  return make_result(keys, revocations, [&] {
    return plugin_sign::verify_package_file(
        path, keys->keys, options_of(revocations, expected_name, expected_name_length, limits));
  });
}

plugin_sign_result* plugin_sign_verify_directory_with(const plugin_sign_keys* keys,
                                                      const plugin_sign_revocations* revocations,
                                                      const char* expected_name,
                                                      size_t expected_name_length, const char* dir,
                                                      const plugin_sign_limits* limits) {
  if (dir == nullptr) return invalid_argument("no directory");
  if (expected_name == nullptr && expected_name_length != 0)
    return invalid_argument("no expected name");
  return make_result(
      keys, revocations,
      [&]() -> std::expected<plugin_sign::VerifiedPackage, plugin_sign::VerifyError> {
        return plugin_sign::verify_plugin_directory(
            dir, keys->keys, options_of(revocations, expected_name, expected_name_length, limits));
      });
}

plugin_sign_policy* plugin_sign_policy_new(void) {
  return new (std::nothrow) plugin_sign_policy;
}

void plugin_sign_policy_free(plugin_sign_policy* policy) {
  delete policy;
}

plugin_sign_status plugin_sign_policy_set_keys(plugin_sign_policy* policy,
                                               const plugin_sign_keys* keys) {
  return change_policy(policy, [&](plugin_sign_policy& p) { p.keys = keys; });
}

plugin_sign_status plugin_sign_policy_set_revocations(plugin_sign_policy* policy,
                                                      const plugin_sign_revocations* revocations) {
  return change_policy(policy, [&](plugin_sign_policy& p) { p.revocations = revocations; });
}

plugin_sign_status plugin_sign_policy_set_expected_name(plugin_sign_policy* policy,
                                                        const char* name, size_t length) {
  if (name == nullptr && length != 0) return PLUGIN_SIGN_INVALID_ARGUMENT;
  return change_policy(policy, [&](plugin_sign_policy& p) {
    if (name == nullptr)
      p.expected_name.reset();
    else
      p.expected_name = std::string(name, length);
  });
}

plugin_sign_status plugin_sign_policy_set_limits(plugin_sign_policy* policy,
                                                 const plugin_sign_limits* limits) {
  return change_policy(policy, [&](plugin_sign_policy& p) {
    p.limits = limits != nullptr ? *limits : plugin_sign_limits{};
  });
}

plugin_sign_status plugin_sign_policy_set_record(plugin_sign_policy* policy, const char* path) {
  return change_policy(policy, [&](plugin_sign_policy& p) {
    if (path == nullptr)
      p.record.reset();
    else
      p.record = std::string(path);
  });
}

plugin_sign_result* plugin_sign_verify_package_policy(const plugin_sign_policy* policy,
                                                      const void* data, size_t size) {
  if (policy == nullptr) return invalid_argument("no policy");
  if (data == nullptr && size != 0) return invalid_argument("no data");
  return make_result(policy->keys, policy->revocations, [&] {
    const auto* bytes = static_cast<const std::byte*>(data);
    return plugin_sign::verify_package(std::span(bytes, size), policy->keys->keys,
                                       options_of(*policy));
  });
}

plugin_sign_result* plugin_sign_verify_file_policy(const plugin_sign_policy* policy,
                                                   const char* path) {
  if (policy == nullptr) return invalid_argument("no policy");
  if (path == nullptr) return invalid_argument("no path");
  return make_result(policy->keys, policy->revocations, [&] {
    return plugin_sign::verify_package_file(path, policy->keys->keys, options_of(*policy));
  });
}

plugin_sign_result* plugin_sign_verify_directory_policy(const plugin_sign_policy* policy,
                                                        const char* dir) {
  if (policy == nullptr) return invalid_argument("no policy");
  if (dir == nullptr) return invalid_argument("no directory");
  return make_result(
      policy->keys, policy->revocations,
      [&]() -> std::expected<plugin_sign::VerifiedPackage, plugin_sign::VerifyError> {
        return plugin_sign::verify_plugin_directory(dir, policy->keys->keys, options_of(*policy));
      });
}

void plugin_sign_result_free(plugin_sign_result* result) {
  delete result;
}

uint64_t plugin_sign_max_package_size(const plugin_sign_limits* limits) {
  return plugin_sign::max_package_size(limits_of(limits));
}

const char* plugin_sign_status_string(plugin_sign_status status) {
  // By number: a caller may pass any int, and an unknown one gets a text too.
  switch (static_cast<int>(status)) {
    case PLUGIN_SIGN_OK:
      return "verified";
    case PLUGIN_SIGN_BAD_SIGNATURE:
      return "the signature does not match any trusted key";
    case PLUGIN_SIGN_NAME_NOT_ALLOWED:
      return "no trusted key that verifies the signature is allowed for the package's name";
    case PLUGIN_SIGN_MALFORMED:
      return "the package is malformed";
    case PLUGIN_SIGN_TOO_LARGE:
      return "a size beyond the limits";
    case PLUGIN_SIGN_UNREADABLE:
      return "a file could not be read";
    case PLUGIN_SIGN_OUT_OF_MEMORY:
      return "out of memory";
    case PLUGIN_SIGN_INVALID_KEY:
      return "a trusted key was refused";
    case PLUGIN_SIGN_INVALID_ARGUMENT:
      return "a required argument was NULL";
    case PLUGIN_SIGN_REVOKED:
      return "the package or its key is revoked";
    case PLUGIN_SIGN_NAME_MISMATCH:
      return "the package's name is not the expected one";
    case PLUGIN_SIGN_ROLLBACK:
      return "the package is older than a version accepted before";
  }
  return "unknown status";
}

const char* plugin_sign_version(void) {
  return PLUGIN_SIGN_VERSION_STRING;
}

}  // extern "C"
