#include "verify/signed_package.hpp"

#include <gtest/gtest.h>

#include "archive/zip_test_support.hpp"
#include "signing/manifest.hpp"
#include "signing/signature.hpp"
#include "signing/signing_key.hpp"

namespace plugin_sign::testing {

std::array<std::byte, 32> test_seed(int n) {
  std::array<std::byte, 32> seed;
  seed.fill(static_cast<std::byte>(n));
  return seed;
}

TrustedKey trusted(int n, std::vector<std::string> names) {
  return {.key = public_key_of(SigningKey(test_seed(n))), .names = std::move(names)};
}

std::string signature_text(int n, std::span<const std::byte> plugin_toml,
                           std::span<const std::byte> main_wasm) {
  const std::string manifest = serialize_manifest(
      {.plugin_toml_sha256 = sha256_hex(plugin_toml), .main_wasm_sha256 = sha256_hex(main_wasm)});
  const Signature signature =
      sign_manifest(SigningKey(test_seed(n)), std::as_bytes(std::span(manifest)));
  return encode_base64(signature);
}

Contents signed_contents(int n, std::string plugin_toml, std::vector<std::byte> main_wasm) {
  Contents contents{.plugin_toml = std::move(plugin_toml), .main_wasm = std::move(main_wasm)};
  contents.signature = signature_text(n, bytes_of(contents.plugin_toml), contents.main_wasm);
  return contents;
}

std::vector<std::byte> package_of(const Contents& contents) {
  const ArchiveEntry entries[] = {{"plugin.toml", bytes_of(contents.plugin_toml)},
                                  {"main.wasm", contents.main_wasm},
                                  {"signature.sig", bytes_of(contents.signature)}};
  MemoryOutput output;
  EXPECT_TRUE(write_archive(output, entries).has_value());
  return output.bytes();
}

std::span<const std::byte> bytes_of(std::string_view text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

}  // namespace plugin_sign::testing
