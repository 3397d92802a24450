// signature.hpp — Ed25519 over the manifest and its Base64 text.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>

#include "signing/signing_key.hpp"

namespace plugin_sign {

using Signature = std::array<std::byte, 64>;

/// Starts the crypto library: picks its implementations and seeds its random source. Safe to
/// call more than once and from several threads; false when it cannot start.
[[nodiscard]] bool initialise_crypto();

/// Pure Ed25519 (RFC 8032) of `message` under the key derived from the seed. Deterministic.
[[nodiscard]] Signature sign_manifest(const SigningKey& key, std::span<const std::byte> message);

/// Standard padded Base64 of `bytes`; 88 characters ending in "==" for a signature.
[[nodiscard]] std::string encode_base64(std::span<const std::byte> bytes);

}  // namespace plugin_sign
