// signed_package.hpp — packages signed in the test with fixed seeds, as plugin_sign signs them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "plugin_sign/keys.hpp"

namespace plugin_sign::testing {

/// The seed of test key `n` (1, 2, ...): 32 bytes, each `n`.
[[nodiscard]] std::array<std::byte, 32> test_seed(int n);

/// The public key of test key `n`, trusted for `names` (every name when empty).
[[nodiscard]] TrustedKey trusted(int n, std::vector<std::string> names = {});

/// The 88-character signature.sig text of test key `n` over the manifest of the two files.
[[nodiscard]] std::string signature_text(int n, std::span<const std::byte> plugin_toml,
                                         std::span<const std::byte> main_wasm);

/// The three package entries over contents held here.
struct Contents {
  std::string plugin_toml = "[package]\nname = \"demo\"\nversion = \"1.2.0\"\n";
  std::vector<std::byte> main_wasm;
  std::string signature;
};

/// `contents` signed by test key `n` (signature filled in).
[[nodiscard]] Contents signed_contents(int n, std::string plugin_toml,
                                       std::vector<std::byte> main_wasm);

/// The package archive of `contents`, written by the writer into memory.
[[nodiscard]] std::vector<std::byte> package_of(const Contents& contents);

/// The bytes of `text`.
[[nodiscard]] std::span<const std::byte> bytes_of(std::string_view text);

}  // namespace plugin_sign::testing
