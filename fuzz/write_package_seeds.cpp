// write_package_seeds DIR: the seeds of package_verify_fuzzer, one file each: packages signed
// with the fuzzer's key, and every archive of the hostile table.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "archive/package_builder.hpp"
#include "archive/zip_records.hpp"
#include "signing/manifest.hpp"
#include "signing/signature.hpp"
#include "signing/signing_key.hpp"

namespace plugin_sign {
namespace {

std::string file_name(const std::string& name) {
  std::string out;
  for (char c : name) out += (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ? c : '_';
  return out + ".bin";
}

void write(const std::string& path, std::span<const std::byte> bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// The sample entries with the signature of key 1 over them.
std::vector<std::byte> signed_package(std::span<const std::byte> toml,
                                      std::span<const std::byte> wasm) {
  std::array<std::byte, 32> seed;
  seed.fill(std::byte{1});
  const std::string manifest = serialize_manifest(
      {.plugin_toml_sha256 = sha256_hex(toml), .main_wasm_sha256 = sha256_hex(wasm)});
  const std::string text =
      encode_base64(sign_manifest(SigningKey(seed), std::as_bytes(std::span(manifest))));
  const testing::RawEntry entries[] = {
      testing::deflated_entry("plugin.toml", toml), testing::deflated_entry("main.wasm", wasm),
      testing::deflated_entry("signature.sig", std::as_bytes(std::span(text)))};
  return testing::build_archive(entries);
}

}  // namespace
}  // namespace plugin_sign

int main(int argc, char** argv) {
  using namespace plugin_sign;
  if (argc != 2 || !initialise_crypto()) return 2;
  const std::string dir = argv[1];
  const std::string toml = "[package]\nname = \"demo\"\nversion = \"1.2.0\"\n";
  const std::string wasm = std::string("\0asm\1\0\0\0", 8) + std::string(200, 'w') + "module";
  write(dir + "/signed.bin",
        signed_package(std::as_bytes(std::span(toml)), std::as_bytes(std::span(wasm))));
  write(dir + "/signed_empty_module.bin",
        signed_package(std::as_bytes(std::span(toml)), std::span<const std::byte>()));
  // Far more than 15 bytes per compressed byte: streamed before the signature verified.
  const std::vector<std::byte> zeros(std::size_t{64} << 10);
  write(dir + "/signed_streamed_module.bin", signed_package(std::as_bytes(std::span(toml)), zeros));
  for (const testing::HostileArchive& row : testing::hostile_archives())
    write(dir + "/" + file_name(row.name), row.bytes);
  return 0;
}
