// verify.hpp — checks a signed plugin package before a host loads it.
//
// A package is accepted only in exactly the layout that plugin_sign writes, with a signature
// that one of the trusted keys, allowed for the package's name, verifies. The result holds the
// very bytes that were checked: load those, never the file again. Nothing here prints, keeps
// global state or touches the file system beyond reading a package file or a plugin directory
// and, when a host asks for one (VerifyOptions::record), its version record;
// every function may be called from several threads at once, and no exception leaves one
// (running out of memory is a kOutOfMemory error). Results own what they hold: a
// VerifiedPackage, and every VerifiedBytes copied from it, stays valid on its own.
//
// This header needs C++23 (std::expected); plugin_sign/verify.h is the C interface, for C99
// and any language that calls C. The shared library is found at run time through the
// imported target's rpath (find_package(PluginSign CONFIG), PluginSign::verify), or for
// pkg-config hosts by linking with -Wl,-rpath,$(pkg-config --variable=libdir plugin_sign_verify).
#pragma once

// GCC 12 reports 202100L for -std=c++23, the value it gives every C++23 mode it knows.
#if __cplusplus < 202100L
#error \
    "plugin_sign/verify.hpp needs C++23 (-std=c++23, or cxx_std_23 in CMake); from C or an older C++, include plugin_sign/verify.h"
#endif

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "plugin_sign/keys.hpp"
#include "plugin_sign/revocations.hpp"

namespace plugin_sign {

/// Limits on the sizes an entry declares, checked before anything is allocated for it.
struct VerifyLimits {
  std::uint64_t plugin_toml = std::uint64_t{1} << 20;
  std::uint64_t main_wasm = std::uint64_t{1} << 32;
};

/// Why a package was not verified: a closed set.
enum class VerifyErrorKind {
  kUnreadable,      ///< a file could not be read (package files and plugin directories)
  kMalformed,       ///< not exactly the layout plugin_sign writes, or content failing a check
  kTooLarge,        ///< a declared size beyond the limits
  kOutOfMemory,     ///< memory for the verified bytes could not be had
  kBadSignature,    ///< well formed, but no trusted key verifies the signature
  kNameNotAllowed,  ///< a trusted key verifies it, but none allowed for the package's name
  kRevoked,         ///< a key that verifies it, or the package itself, is revoked
  kNameMismatch,    ///< verified, but its name is not the name the caller expected
  kRollback,        ///< verified, but older than (or another release of) a recorded version
};

/// What a verified signature established about a package that was refused after it: which
/// key signed what. A host logs it to know which key signed a package it refused.
struct SignedFacts {
  /// Package name and version, both or neither: set once plugin.toml parsed and both passed
  /// the checks on their text (not empty, no control character).
  std::optional<std::string> name;
  std::optional<std::string> version;
  /// A key that verifies the signature: the revoked one for a revoked key, the one allowed for
  /// the name once one is, otherwise the first trusted key that verifies it.
  PublicKey key{};
  std::string plugin_toml_sha256;  ///< 64 lowercase hexadecimal digits, as in the manifest
  std::string main_wasm_sha256;
  std::string manifest_sha256;
};

/// The kind and a message that names the failed check, e.g. "main.wasm: CRC-32 does not
/// match" or "duplicate entry plugin.toml". `facts` is set for every failure after the
/// signature verified (a revoked key or package, a malformed plugin.toml, a name not allowed
/// or not expected, main.wasm that cannot be had), and only then; the one exception is an
/// allocation that throws after the signature (a few bytes for a text), which is reported as
/// kOutOfMemory without them.
struct VerifyError {
  VerifyErrorKind kind = VerifyErrorKind::kMalformed;
  std::string message;
  std::optional<SignedFacts> facts = std::nullopt;
};

/// Bytes that were verified, kept alive by their owner; cheap to copy, never changed.
class VerifiedBytes {
 public:
  VerifiedBytes() = default;
  VerifiedBytes(std::shared_ptr<const void> owner, std::span<const std::byte> bytes)
      : owner_(std::move(owner)), bytes_(bytes) {}

  [[nodiscard]] std::span<const std::byte> bytes() const { return bytes_; }
  [[nodiscard]] std::size_t size() const { return bytes_.size(); }

 private:
  std::shared_ptr<const void> owner_;
  std::span<const std::byte> bytes_;
};

/// A package whose signature verified, with what it holds.
struct VerifiedPackage {
  std::string name;
  std::string version;
  PublicKey key{};                 ///< the trusted key whose signature verified
  std::string plugin_toml_sha256;  ///< 64 lowercase hexadecimal digits, as in the manifest
  std::string main_wasm_sha256;
  /// The SHA-256 of the manifest that the signature covers: the package's identity, the same
  /// for every ZIP encoding of the same signed contents. Name, cache, blocklist or revoke a
  /// package by it, never by the hash of its file.
  std::string manifest_sha256;
  VerifiedBytes plugin_toml;
  VerifiedBytes main_wasm;
  VerifiedBytes signature;  ///< the 88 characters of signature.sig
};

/// What a verified package tells of who signed what, in the form a refusal after the signature
/// tells it (VerifyError::facts).
[[nodiscard]] inline SignedFacts signed_facts(const VerifiedPackage& package) {
  return SignedFacts{.name = package.name,
                     .version = package.version,
                     .key = package.key,
                     .plugin_toml_sha256 = package.plugin_toml_sha256,
                     .main_wasm_sha256 = package.main_wasm_sha256,
                     .manifest_sha256 = package.manifest_sha256};
}

/// Verifies a package ZIP held in memory against `keys`. Until the signature verified, what
/// it allocates is bounded by the archive's size (16 times it plus 16 MiB), whatever sizes the
/// entries declare.
[[nodiscard]] std::expected<VerifiedPackage, VerifyError> verify_package(
    std::span<const std::byte> archive, std::span<const TrustedKey> keys,
    const VerifyLimits& limits = {});

/// Reads the package file at `path` and verifies it as verify_package does. A file larger than
/// max_package_size(limits) is refused (kTooLarge) before anything is read or allocated; a
/// file that cannot be read is kUnreadable ("failed to read: ..."). The result does not refer
/// to the file: the bytes it holds are the ones checked.
[[nodiscard]] std::expected<VerifiedPackage, VerifyError> verify_package_file(
    std::string_view path, std::span<const TrustedKey> keys, const VerifyLimits& limits = {});

/// Verifies a plugin directory as plugin_sign leaves it: plugin.toml, main.wasm and
/// signature.sig, each a regular file, read once.
[[nodiscard]] std::expected<VerifiedPackage, VerifyError> verify_plugin_directory(
    std::string_view dir, std::span<const TrustedKey> keys, const VerifyLimits& limits = {});

/// What a host adds to the keys it trusts, e.g.
/// `{.revocations = &revoked, .expected_name = "hello"}`.
struct VerifyOptions {
  VerifyLimits limits = {};
  /// Keys and packages refused although a trusted key verifies them; none when null. Not
  /// owned: it must outlive the call.
  const Revocations* revocations = nullptr;
  /// The package name the host asked for: any other name, byte for byte, is refused.
  std::optional<std::string_view> expected_name = std::nullopt;
  /// The path of the host's version record (plugin_sign/version_record.hpp); none when empty.
  /// A package older than the highest version recorded for its name from a key that is not
  /// revoked, or recorded with the same version and another manifest_sha256, is refused
  /// (kRollback); a package that verifies is recorded. A record that does not exist is
  /// created (its directory must exist); one that cannot be read, locked, parsed or written
  /// refuses the package (kUnreadable) and is never reset.
  std::optional<std::string_view> record = std::nullopt;
};

/// verify_package with `options`. After the signature, in this order: a key that verifies it
/// and is revoked refuses the package, whatever other trusted key verifies it too; then a
/// revoked manifest_sha256; then plugin.toml (its name and version not empty, without control
/// characters), the names the key is trusted for, the expected name, the revocations' version
/// floors ("below" entries, kRevoked) and the record. All of these need only plugin.toml:
/// main.wasm is inflated only for a package that passed them, so a package refused for any of
/// them costs no more memory than one with a bad signature.
[[nodiscard]] std::expected<VerifiedPackage, VerifyError> verify_package(
    std::span<const std::byte> archive, std::span<const TrustedKey> keys,
    const VerifyOptions& options);

/// verify_package_file with `options`, checked as verify_package checks them.
[[nodiscard]] std::expected<VerifiedPackage, VerifyError> verify_package_file(
    std::string_view path, std::span<const TrustedKey> keys, const VerifyOptions& options);

/// verify_plugin_directory with `options`, checked as verify_package checks them.
[[nodiscard]] std::expected<VerifiedPackage, VerifyError> verify_plugin_directory(
    std::string_view dir, std::span<const TrustedKey> keys, const VerifyOptions& options);

/// The largest package file that can hold entries within `limits`: a larger file is refused
/// before it is read.
[[nodiscard]] std::uint64_t max_package_size(const VerifyLimits& limits);

}  // namespace plugin_sign
