#include "signing/manifest.hpp"

#include <nettle/sha2.h>
#include <sodium.h>

#include <cstdint>
#include <new>

namespace plugin_sign {

// Hashing comes from nettle, which picks the CPU's SHA instructions where they exist: several
// times faster than libsodium's portable code, which shows on a large input (figures in
// bench/RESULTS.md). The digest holds no secret; the keyed work stays with libsodium.
std::array<std::byte, 32> sha256(std::span<const std::byte> bytes) {
  static_assert(SHA256_DIGEST_SIZE == 32);
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data()));
  std::array<std::byte, 32> digest;
  sha256_digest(&context, digest.size(), reinterpret_cast<std::uint8_t*>(digest.data()));
  return digest;
}

namespace {

std::string hex_of(const std::array<std::byte, 32>& digest) {
  char hex[2 * SHA256_DIGEST_SIZE + 1];
  sodium_bin2hex(hex, sizeof hex, reinterpret_cast<const unsigned char*>(digest.data()),
                 digest.size());
  return std::string(hex, 2 * SHA256_DIGEST_SIZE);
}

sha256_ctx* context_in(std::byte* state) {
  return std::launder(reinterpret_cast<sha256_ctx*>(state));
}

}  // namespace

std::string sha256_hex(std::span<const std::byte> bytes) {
  return hex_of(sha256(bytes));
}

Sha256::Sha256() {
  static_assert(sizeof(sha256_ctx) <= sizeof state_ && alignof(sha256_ctx) <= 8);
  sha256_init(new (state_) sha256_ctx);
}

void Sha256::update(std::span<const std::byte> bytes) {
  sha256_update(context_in(state_), bytes.size(),
                reinterpret_cast<const std::uint8_t*>(bytes.data()));
}

std::string Sha256::hex() {
  std::array<std::byte, 32> digest;
  sha256_digest(context_in(state_), digest.size(), reinterpret_cast<std::uint8_t*>(digest.data()));
  return hex_of(digest);
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
