// keys.hpp — Ed25519 public keys as plugin hosts trust them: Base64 and PEM texts, key IDs,
// and key files that scope a key to package names.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace plugin_sign {

/// The 32 bytes of an Ed25519 public key.
using PublicKey = std::array<std::byte, 32>;

/// A public key that a host trusts: for every package when `names` is empty, otherwise only
/// for the package names that match one of the patterns ("hello" exactly; "*" stands for any
/// run of characters, as in "acme-*").
struct TrustedKey {
  PublicKey key{};
  std::vector<std::string> names;
};

/// The key ID: the first 8 bytes of the SHA-256 of `key`, as 16 lowercase hexadecimal digits.
[[nodiscard]] std::string key_id(const PublicKey& key);

/// `key` as 44 characters of padded standard Base64.
[[nodiscard]] std::string public_key_base64(const PublicKey& key);

/// `key` as the PEM "PUBLIC KEY" block that `openssl pkey -pubout` writes, ending in a line feed.
[[nodiscard]] std::string public_key_pem(const PublicKey& key);

/// A public key from its 44-character Base64 text, decoded strictly and not trimmed (a line
/// feed or a space is an error). The error is the whole message, e.g. "public key is not valid
/// base64: Invalid padding".
[[nodiscard]] std::expected<PublicKey, std::string> parse_public_key(std::string_view base64);

/// The keys of a key file: one key a line in Base64, optionally followed by " names=" and a
/// comma-separated list of patterns; "#" comment lines and blank lines; or instead a single
/// PEM "PUBLIC KEY" block. At least one key. Fields are separated by spaces or tabs; a line
/// may not begin or end with white space; lines end in LF or CRLF; "*" is the one
/// metacharacter of a pattern, which holds no comma, white space or control character; the
/// same key on several lines is trusted for each line's names. The error names the line:
/// "line 3: ...".
[[nodiscard]] std::expected<std::vector<TrustedKey>, std::string> parse_trusted_keys(
    std::string_view text);

/// Whether `trusted` may sign a package named `name`.
[[nodiscard]] bool allows_name(const TrustedKey& trusted, std::string_view name);

}  // namespace plugin_sign
