// independent_crypto.hpp — digests and Base64 computed with libsodium, apart from the code
// under test, for the end-to-end tests to check the tools' output against.
#pragma once

#include <sodium.h>

#include <string>
#include <string_view>

namespace plugin_sign::testing {

/// SHA-256 of `bytes` as 64 lowercase hexadecimal digits.
inline std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  char hex[2 * sizeof digest + 1];
  sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
  return hex;
}

/// Standard padded Base64 of `bytes`.
inline std::string base64(std::string_view bytes) {
  std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                    bytes.size(), sodium_base64_VARIANT_ORIGINAL);
  text.pop_back();  // the terminating NUL
  return text;
}

}  // namespace plugin_sign::testing
