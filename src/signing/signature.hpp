// signature.hpp — Ed25519 over the manifest and its Base64 text.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "plugin_sign/keys.hpp"
#include "signing/signing_key.hpp"

namespace plugin_sign {

using Signature = std::array<std::byte, 64>;

/// Starts the crypto library: picks its implementations and seeds its random source. Safe to
/// call more than once and from several threads; false when it cannot start.
[[nodiscard]] bool initialise_crypto();

/// Pure Ed25519 (RFC 8032) of `message` under the key derived from the seed. Deterministic.
[[nodiscard]] Signature sign_manifest(const SigningKey& key, std::span<const std::byte> message);

/// Whether `signature` is a valid Ed25519 signature of `message` under `key`, checked
/// strictly: a non-canonical S (S >= L) and a small-order key or R are refused.
[[nodiscard]] bool verify_signature(const PublicKey& key, std::span<const std::byte> message,
                                    const Signature& signature);

/// The signature in the text of signature.sig: exactly 88 characters of strict padded Base64
/// of 64 bytes, nothing trimmed. The error is the whole message, e.g. "signature.sig must be
/// 88 characters of base64, found 89".
[[nodiscard]] std::expected<Signature, std::string> decode_signature_text(std::string_view text);

/// Standard padded Base64 of `bytes`; 88 characters ending in "==" for a signature.
[[nodiscard]] std::string encode_base64(std::span<const std::byte> bytes);

}  // namespace plugin_sign
