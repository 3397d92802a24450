#include "signing/manifest.hpp"

#include <sodium.h>

namespace plugin_sign {

// SHA-256 in libsodium is plain portable code and needs no sodium_init().
std::string sha256_hex(std::span<const std::byte> bytes) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  char hex[2 * crypto_hash_sha256_BYTES + 1];
  sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
  return std::string(hex, 2 * crypto_hash_sha256_BYTES);
}

// The members keep record order, not sorted order, and the names and digest texts hold no
// character that JSON escapes, so the object is written directly.
std::string serialize_manifest(const Manifest& manifest) {
  std::string json;
  json.reserve(161);
  json += "{\"plugin.toml\":\"";
  json += manifest.plugin_toml_sha256;
  json += "\",\"main.wasm\":\"";
  json += manifest.main_wasm_sha256;
  json += "\"}";
  return json;
}

}  // namespace plugin_sign
