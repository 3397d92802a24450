#include "tools/plugin_verify/run.hpp"

#include <sys/stat.h>

#include <string_view>

#include "io/file_io.hpp"
#include "plugin_sign/verify.hpp"
#include "tools/common/public_key_text.hpp"
#include "tools/plugin_verify/extract.hpp"

namespace plugin_sign {
namespace {

std::expected<std::vector<TrustedKey>, std::string> read_key_file(const std::string& path) {
  auto keys = load_key_file(path);
  if (keys) return std::move(*keys);
  std::string message = "key file " + keys.error().message;
  if (keys.error().kind == TrustFileError::Kind::kInvalid)
    message += "; " + std::string(kExpectedPublicKey);
  return std::unexpected(std::move(message));
}

// Loaded as key files are: a list that anyone may rewrite could un-revoke a key.
std::expected<Revocations, std::string> read_revocation_file(const std::string& path) {
  auto revocations = load_revocation_file(path);
  if (!revocations) return std::unexpected("revocation file " + revocations.error().message);
  return std::move(*revocations);
}

FailureKind failure_kind(VerifyErrorKind kind) {
  switch (kind) {
    case VerifyErrorKind::kUnreadable:
      return FailureKind::kUnreadable;
    case VerifyErrorKind::kMalformed:
      return FailureKind::kMalformed;
    case VerifyErrorKind::kTooLarge:
      return FailureKind::kTooLarge;
    case VerifyErrorKind::kOutOfMemory:
      return FailureKind::kOutOfMemory;
    case VerifyErrorKind::kBadSignature:
      return FailureKind::kBadSignature;
    case VerifyErrorKind::kNameNotAllowed:
      return FailureKind::kNameNotAllowed;
    case VerifyErrorKind::kRevoked:
      return FailureKind::kRevoked;
    case VerifyErrorKind::kNameMismatch:
      return FailureKind::kNameMismatch;
    case VerifyErrorKind::kRollback:
      return FailureKind::kRollback;
  }
  return FailureKind::kMalformed;
}

bool is_directory(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// What a refusal after the signature still tells: which key signed what.
VerifiedFacts facts_of(const SignedFacts& facts) {
  return VerifiedFacts{.name = facts.name,
                       .version = facts.version,
                       .key_id = key_id(facts.key),
                       .plugin_toml_sha256 = facts.plugin_toml_sha256,
                       .main_wasm_sha256 = facts.main_wasm_sha256,
                       .manifest_sha256 = facts.manifest_sha256};
}

}  // namespace

std::expected<std::vector<TrustedKey>, std::string> load_trusted_keys(
    std::span<const KeySource> sources) {
  std::vector<TrustedKey> keys;
  for (const KeySource& source : sources) {
    if (source.kind == KeySource::Kind::kFile) {
      auto from_file = read_key_file(source.text);
      if (!from_file) return std::unexpected(from_file.error());
      keys.insert(keys.end(), from_file->begin(), from_file->end());
    } else {
      auto key = parse_public_key(source.text);
      if (!key)
        return std::unexpected("-P " + source.text + ": " + key.error() + "; " +
                               std::string(kExpectedPublicKey));
      keys.push_back(TrustedKey{.key = *key, .names = {}});
    }
  }
  return keys;
}

std::expected<Revocations, std::string> load_revocations(std::span<const std::string> paths) {
  Revocations revocations;
  for (const std::string& path : paths) {
    auto from_file = read_revocation_file(path);
    if (!from_file) return std::unexpected(from_file.error());
    revocations.add(*from_file);
  }
  return revocations;
}

PackageReport check_package(const std::string& package, std::span<const TrustedKey> keys,
                            const PackageChecks& checks,
                            const std::optional<std::string>& extract_dir) {
  PackageReport report{.package = package, .verified = {}, .failure = {}};
  VerifyOptions options;
  options.limits = checks.limits;
  options.revocations = checks.revocations;
  if (checks.expected_name) options.expected_name = *checks.expected_name;
  if (checks.record) options.record = *checks.record;
  auto verified = is_directory(package) ? verify_plugin_directory(package, keys, options)
                                        : verify_package_file(package, keys, options);
  if (!verified) {
    if (verified.error().facts) report.verified = facts_of(*verified.error().facts);
    report.failure = Failure{.kind = failure_kind(verified.error().kind),
                             .message = std::move(verified.error().message)};
    return report;
  }
  report.verified = facts_of(signed_facts(*verified));
  if (extract_dir) {
    if (auto extracted = extract_package(*extract_dir, *verified); !extracted)
      report.failure =
          Failure{.kind = FailureKind::kExtractFailed, .message = std::move(extracted.error())};
  }
  return report;
}

}  // namespace plugin_sign
