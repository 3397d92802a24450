// verify.hpp — checks a signed plugin package before a host loads it.
//
// A package is accepted only in exactly the layout that plugin_sign writes, with a signature
// that one of the trusted keys, allowed for the package's name, verifies. The result holds the
// very bytes that were checked: load those, never the file again. Nothing here prints, keeps
// global state or touches the file system beyond reading a plugin directory; every function
// may be called from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "plugin_sign/keys.hpp"

namespace plugin_sign {

/// Limits on the sizes an entry declares, checked before anything is allocated for it.
struct VerifyLimits {
  std::uint64_t plugin_toml = std::uint64_t{1} << 20;
  std::uint64_t main_wasm = std::uint64_t{1} << 32;
};

/// Why a package was not verified: a closed set.
enum class VerifyErrorKind {
  kUnreadable,      ///< a file could not be read (plugin directories only)
  kMalformed,       ///< not exactly the layout plugin_sign writes, or content failing a check
  kTooLarge,        ///< a declared size beyond the limits
  kOutOfMemory,     ///< memory for the verified bytes could not be had
  kBadSignature,    ///< well formed, but no trusted key verifies the signature
  kNameNotAllowed,  ///< a trusted key verifies it, but none allowed for the package's name
};

/// The kind and a message that names the failed check, e.g. "main.wasm: CRC-32 does not
/// match" or "duplicate entry plugin.toml".
struct VerifyError {
  VerifyErrorKind kind = VerifyErrorKind::kMalformed;
  std::string message;
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

/// Verifies a package ZIP held in memory against `keys`. Until the signature verified, what
/// it allocates is bounded by the archive's size (16 times it plus 16 MiB), whatever sizes the
/// entries declare.
[[nodiscard]] std::expected<VerifiedPackage, VerifyError> verify_package(
    std::span<const std::byte> archive, std::span<const TrustedKey> keys,
    const VerifyLimits& limits = {});

/// Verifies a plugin directory as plugin_sign leaves it: plugin.toml, main.wasm and
/// signature.sig, each a regular file, read once.
[[nodiscard]] std::expected<VerifiedPackage, VerifyError> verify_plugin_directory(
    std::string_view dir, std::span<const TrustedKey> keys, const VerifyLimits& limits = {});

/// The largest package file that can hold entries within `limits`: a larger file is refused
/// before it is read.
[[nodiscard]] std::uint64_t max_package_size(const VerifyLimits& limits);

}  // namespace plugin_sign
