#include "signing/manifest.hpp"

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <string_view>

namespace plugin_sign {
namespace {

std::span<const std::byte> bytes_of(std::string_view text) {
  return std::as_bytes(std::span(text));
}

struct DigestCase {
  const char* name;
  std::string_view input;
  const char* digest;
};

TEST(Sha256Hex, GivesLowercaseHexOfTheDigest) {
  const std::string million_a(1000000, 'a');
  const DigestCase cases[] = {
      {"empty input", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"a NUL byte is data", std::string_view("\0", 1),
       "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d"},
      {"first digest byte below 0x10 keeps its zero", "39",
       "0b918943df0962bc7a1824c0555a389347b4febdc7cf9d1254406d80ce44e3f9"},
      {"one million a", million_a,
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const DigestCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.digest, sha256_hex(bytes_of(c.input)));
  }
}

struct ManifestCase {
  const char* name;
  std::string_view plugin_toml;
  std::string_view main_wasm;
  const char* manifest;
};

constexpr ManifestCase kManifests[] = {
    {"abc and an empty module", "abc", "",
     R"({"plugin.toml":"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",)"
     R"("main.wasm":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"})"},
    {"identical files keep both members, plugin.toml first", "abc", "abc",
     R"({"plugin.toml":"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",)"
     R"("main.wasm":"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"})"},
    {"two empty files", "", "",
     R"({"plugin.toml":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",)"
     R"("main.wasm":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"})"},
};

TEST(SerializeManifest, WritesTheCompactObjectInRecordOrder) {
  for (const ManifestCase& c : kManifests) {
    SCOPED_TRACE(c.name);
    const Manifest manifest{sha256_hex(bytes_of(c.plugin_toml)), sha256_hex(bytes_of(c.main_wasm))};
    const std::string bytes = serialize_manifest(manifest);
    EXPECT_EQ(c.manifest, bytes);
    EXPECT_EQ(161u, bytes.size());
  }
}

}  // namespace
}  // namespace plugin_sign
