// verify_host PUBLIC_KEY PACKAGE: verifies PACKAGE with the installed C++ API twice, from the
// file (verify_package_file) and from bytes held in memory, and prints the one outcome both
// must agree on.
#include <plugin_sign/verify.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <plugin_sign/verify.hpp>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) return 64;
  if (std::strcmp(plugin_sign_version(), PLUGIN_SIGN_VERSION_STRING) != 0) return 66;
  auto key = plugin_sign::parse_public_key(argv[1]);
  if (!key) {
    std::fprintf(stderr, "%s\n", key.error().c_str());
    return 64;
  }
  const plugin_sign::TrustedKey keys[] = {{.key = *key, .names = {}}};
  auto result = plugin_sign::verify_package_file(argv[2], keys);

  std::ifstream file(argv[2], std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
  auto in_memory = plugin_sign::verify_package(std::as_bytes(std::span(bytes)), keys);
  if (result.has_value() != in_memory.has_value() ||
      (result ? result->manifest_sha256 != in_memory->manifest_sha256
              : result.error().message != in_memory.error().message))
    return 67;

  if (!result) {
    std::printf("failed: %s\n", result.error().message.c_str());
    return 1;
  }
  std::printf("verified %s %s, key %s, main.wasm %zu bytes\n", result->name.c_str(),
              result->version.c_str(), plugin_sign::key_id(result->key).c_str(),
              result->main_wasm.size());
  return 0;
}
