// manifest.hpp — the signed byte string: the two files' SHA-256 digests as compact JSON.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>

namespace plugin_sign {

/// The digest texts of the two plugin files, in the order they are serialised.
struct Manifest {
  std::string plugin_toml_sha256;
  std::string main_wasm_sha256;
};

/// SHA-256 of `bytes`.
[[nodiscard]] std::array<std::byte, 32> sha256(std::span<const std::byte> bytes);

/// SHA-256 of `bytes` as 64 lowercase hexadecimal characters.
[[nodiscard]] std::string sha256_hex(std::span<const std::byte> bytes);

/// SHA-256 over bytes that arrive in pieces, for content that is never held whole.
class Sha256 {
 public:
  Sha256();
  void update(std::span<const std::byte> bytes);
  /// The digest of everything given so far, as 64 lowercase hexadecimal characters.
  [[nodiscard]] std::string hex();

 private:
  // The hash library's state, kept here so that its type stays in manifest.cpp.
  alignas(8) std::byte state_[128];
};

/// The 161 manifest bytes: {"plugin.toml":"<hex>","main.wasm":"<hex>"}, no white space.
[[nodiscard]] std::string serialize_manifest(const Manifest& manifest);

}  // namespace plugin_sign
