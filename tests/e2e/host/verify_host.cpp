// verify_host PUBLIC_KEY PACKAGE: verifies PACKAGE in memory with the installed C++ API.
#include <plugin_sign/verify.hpp>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) return 64;
  auto key = plugin_sign::parse_public_key(argv[1]);
  if (!key) {
    std::fprintf(stderr, "%s\n", key.error().c_str());
    return 64;
  }
  std::ifstream file(argv[2], std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
  const plugin_sign::TrustedKey keys[] = {{.key = *key, .names = {}}};
  auto result = plugin_sign::verify_package(std::as_bytes(std::span(bytes)), keys);
  if (!result) {
    std::printf("failed: %s\n", result.error().message.c_str());
    return 1;
  }
  std::printf("verified %s %s, key %s, main.wasm %zu bytes\n", result->name.c_str(),
              result->version.c_str(), plugin_sign::key_id(result->key).c_str(),
              result->main_wasm.size());
  return 0;
}
