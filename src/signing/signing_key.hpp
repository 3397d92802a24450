// signing_key.hpp — the Ed25519 seed from the environment, strictly decoded.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "io/secret_file.hpp"
#include "plugin_sign/keys.hpp"

namespace plugin_sign {

inline constexpr std::string_view kSigningKeyVariable = "KAVENTA_PLUGIN_SIGNING_KEY";

/// 32 secret bytes, the RFC 8032 seed; wiped when destroyed, movable, never copied.
class SigningKey {
 public:
  explicit SigningKey(const std::array<std::byte, 32>& seed) : seed_(seed) {}
  SigningKey(SigningKey&& other) noexcept;
  SigningKey& operator=(SigningKey&& other) noexcept;
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;
  ~SigningKey();

  [[nodiscard]] const std::array<std::byte, 32>& seed() const { return seed_; }

 private:
  std::array<std::byte, 32> seed_;
};

/// A new key: 32 bytes from the operating system's random source. The crypto library must
/// have been started (initialise_crypto).
[[nodiscard]] SigningKey generate_signing_key();

/// Puts the key into `out` as a secret key file holds it: the 44 Base64 characters that
/// KAVENTA_PLUGIN_SIGNING_KEY takes and a line feed. `out` must be empty.
void write_secret_key_text(const SigningKey& key, SecretBuffer& out);

/// The Ed25519 public key of `key`'s seed.
[[nodiscard]] PublicKey public_key_of(const SigningKey& key);

/// Why strict Base64 decoding refused a text.
struct Base64Error {
  enum class Kind { kInvalidSymbol, kInvalidLength, kInvalidLastSymbol, kInvalidPadding };
  Kind kind;
  std::uint8_t byte = 0;   // the offending byte (symbol kinds)
  std::size_t offset = 0;  // its offset, or the text length for kInvalidLength
};

/// "Invalid symbol 33, offset 43.", "Invalid input length: 45", "Invalid padding", ...
[[nodiscard]] std::string to_text(const Base64Error& error);

/// Strict, padded standard Base64 of `text`, checked in the fixed order of faults: an
/// ill-placed last byte, inner groups, the final group, a lone final symbol, the padding,
/// non-zero trailing bits.
[[nodiscard]] std::expected<std::string, Base64Error> decode_base64_strict(std::string_view text);

/// `text` without the Unicode White_Space code points at either end.
[[nodiscard]] std::string_view trim_white_space(std::string_view text);

/// Why a key's text is no key: not strict Base64 (`base64` says where), or not 32 bytes.
struct KeyTextError {
  enum class Kind { kNotBase64, kWrongSize };
  Kind kind;
  Base64Error base64{};
};

/// The key in `text`, white space around it ignored: the decoding of the variable's value,
/// for texts that come from elsewhere (a secret key file) and name their source themselves.
[[nodiscard]] std::expected<SigningKey, KeyTextError> signing_key_from_text(std::string_view text);

/// The key from a variable's value (nullptr when unset). The error is the complete message,
/// e.g. "KAVENTA_PLUGIN_SIGNING_KEY must decode to exactly 32 bytes".
[[nodiscard]] std::expected<SigningKey, std::string> signing_key_from_value(const char* value);

/// The key from KAVENTA_PLUGIN_SIGNING_KEY, as signing_key_from_value.
[[nodiscard]] std::expected<SigningKey, std::string> signing_key_from_environment();

}  // namespace plugin_sign
