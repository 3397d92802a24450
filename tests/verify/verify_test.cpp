#include "plugin_sign/verify.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <zlib.h>

#include "archive/inflate.hpp"
#include "archive/package_builder.hpp"
#include "archive/zip_test_support.hpp"
#include "signing/manifest.hpp"
#include "signing/signature.hpp"
#include "signing/signing_key.hpp"
#include "support/address_space.hpp"
#include "support/tool_runner.hpp"
#include "verify/signed_package.hpp"

namespace plugin_sign {
namespace {

using testing::bytes_of;
using testing::Contents;
using testing::signed_contents;
using testing::trusted;

bool same(std::span<const std::byte> a, std::span<const std::byte> b) {
  return std::ranges::equal(a, b);
}

std::vector<std::byte> module_bytes() {
  return testing::sample_module(100'000);
}

TEST(VerifyPackage, GivesBackTheCheckedBytesNameVersionAndKey) {
  const Contents contents = signed_contents(1, testing::kSamplePluginToml, module_bytes());
  const TrustedKey keys[] = {trusted(1)};
  auto result = verify_package(testing::package_of(contents), keys);
  ASSERT_TRUE(result.has_value()) << result.error().message;
  EXPECT_EQ("demo", result->name);
  EXPECT_EQ("1.2.0", result->version);
  EXPECT_EQ(keys[0].key, result->key);
  EXPECT_EQ(sha256_hex(bytes_of(contents.plugin_toml)), result->plugin_toml_sha256);
  EXPECT_EQ(sha256_hex(contents.main_wasm), result->main_wasm_sha256);
  // The identity is the hash of the 161 manifest bytes, rebuilt here by hand.
  const std::string manifest = "{\"plugin.toml\":\"" + sha256_hex(bytes_of(contents.plugin_toml)) +
                               "\",\"main.wasm\":\"" + sha256_hex(contents.main_wasm) + "\"}";
  ASSERT_EQ(161u, manifest.size());
  EXPECT_EQ(sha256_hex(std::as_bytes(std::span(manifest))), result->manifest_sha256);
  EXPECT_TRUE(same(bytes_of(contents.signature), result->signature.bytes()));

  // The bytes stay valid as long as any copy of them does, not the package.
  VerifiedBytes wasm = result->main_wasm;
  VerifiedBytes toml = result->plugin_toml;
  result = std::unexpected(VerifyError{});
  EXPECT_TRUE(same(contents.main_wasm, wasm.bytes()));
  EXPECT_TRUE(same(bytes_of(contents.plugin_toml), toml.bytes()));
}

// The hostile archives refused for a size or for their content rather than for a field of the
// layout: their reasons say nothing about re-zipping.
const std::vector<std::string> kNotLayoutFaults = {
    "empty file",
    "not a ZIP",
    "the first three bytes of a local header",
    "declared size at the inflation ratio",
    "declared size one byte past the inflation ratio",
    "plugin.toml past its limit",
    "bomb",
    "signature.sig of 87 bytes",
    "stream padded far beyond need",
    "stream padded to the most DEFLATE may need",
    "stream shorter than its compressed size",
    "stream longer than its compressed size",
    "stream cut short",
    "reserved block type",
    "distance before the stream's start",
    "declared size above the content",
    "declared size below the content",
    "CRC-32 mismatch",
};
constexpr std::string_view kNotAsWritten =
    " (the archive is not in the layout plugin_sign writes: was it re-zipped or edited?)";

// Every hostile archive fails for the reader's reason, with the kind its exit status needs; a
// layout fault also says that the archive is not as plugin_sign wrote it.
TEST(VerifyPackage, RefusesEveryHostileArchive) {
  const TrustedKey keys[] = {trusted(1)};
  for (const testing::HostileArchive& row : testing::hostile_archives()) {
    SCOPED_TRACE(row.name);
    auto result = verify_package(row.bytes, keys);
    ASSERT_FALSE(result.has_value());
    const bool layout = std::ranges::find(kNotLayoutFaults, row.name) == kNotLayoutFaults.end();
    EXPECT_EQ(row.message + (layout ? std::string(kNotAsWritten) : ""), result.error().message);
    EXPECT_EQ(row.kind == ZipReadError::Kind::kTooLarge ? VerifyErrorKind::kTooLarge
                                                        : VerifyErrorKind::kMalformed,
              result.error().kind);
  }
}

TEST(VerifyPackage, RefusesEveryByteFlipped) {
  const Contents contents = signed_contents(1, testing::kSamplePluginToml, testing::noise(200));
  const std::vector<std::byte> good = testing::package_of(contents);
  const TrustedKey keys[] = {trusted(1)};
  ASSERT_TRUE(verify_package(good, keys).has_value());
  for (std::size_t i = 0; i < good.size(); ++i) {
    std::vector<std::byte> bytes = good;
    bytes[i] ^= std::byte{0xFF};
    auto result = verify_package(bytes, keys);
    ASSERT_FALSE(result.has_value()) << "byte " << i;
    EXPECT_TRUE(result.error().kind == VerifyErrorKind::kMalformed ||
                result.error().kind == VerifyErrorKind::kBadSignature ||
                result.error().kind == VerifyErrorKind::kTooLarge)
        << "byte " << i << ": " << result.error().message;
  }
}

// The signature of `contents` with S replaced by S + L, the group order: the same point
// equation holds, so only a strict check refuses it.
std::string non_canonical(const std::string& signature_text) {
  auto decoded = decode_base64_strict(signature_text);
  EXPECT_TRUE(decoded.has_value());
  static constexpr unsigned char kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58,
                                               0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
                                               0,    0,    0,    0,    0,    0,    0,    0,
                                               0,    0,    0,    0,    0,    0,    0,    0x10};
  std::string bytes = *decoded;
  unsigned carry = 0;
  for (int i = 0; i < 32; ++i) {
    const unsigned sum = static_cast<unsigned char>(bytes[32 + i]) + kOrder[i] + carry;
    bytes[32 + i] = static_cast<char>(sum & 0xFF);
    carry = sum >> 8;
  }
  return encode_base64(bytes_of(bytes));
}

// The identity point: a public key of small order. With R the identity and S zero, the
// verification equation holds for every message unless small orders are refused.
PublicKey identity_point() {
  PublicKey key{};
  key[0] = std::byte{1};
  return key;
}

std::string identity_signature() {
  std::array<std::byte, 64> signature{};
  signature[0] = std::byte{1};
  return encode_base64(signature);
}

struct SignatureCase {
  const char* name;
  std::vector<TrustedKey> keys;
  std::string signature;  // replaces the good one when not empty
  VerifyErrorKind kind;
  std::string message;
};

TEST(VerifyPackage, RefusesSignaturesThatDoNotVerify) {
  const Contents good = signed_contents(1, testing::kSamplePluginToml, module_bytes());
  const Contents other = signed_contents(1, testing::kSamplePluginToml, testing::noise(500));
  const SignatureCase cases[] = {
      {"another key",
       {trusted(2)},
       {},
       VerifyErrorKind::kBadSignature,
       "signature does not match any trusted key"},
      {"no key",
       {},
       {},
       VerifyErrorKind::kBadSignature,
       "signature does not match any trusted key"},
      {"a signature for other contents",
       {trusted(1)},
       other.signature,
       VerifyErrorKind::kBadSignature,
       "signature does not match any trusted key"},
      {"S not below the group order",
       {trusted(1)},
       non_canonical(good.signature),
       VerifyErrorKind::kBadSignature,
       "signature does not match any trusted key"},
      {"small-order public key",
       {{.key = identity_point()}},
       identity_signature(),
       VerifyErrorKind::kBadSignature,
       "signature does not match any trusted key"},
      {"signature text not Base64",
       {trusted(1)},
       std::string(87, 'A') + "!",
       VerifyErrorKind::kMalformed,
       "signature.sig is not valid base64: Invalid symbol 33, offset 87."},
  };
  for (const SignatureCase& c : cases) {
    SCOPED_TRACE(c.name);
    Contents contents = good;
    if (!c.signature.empty()) contents.signature = c.signature;
    auto result = verify_package(testing::package_of(contents), c.keys);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(c.kind, result.error().kind);
    EXPECT_EQ(c.message, result.error().message);
  }
}

// A signature.sig whose deflated form is so short (88 bytes in 5) that it is streamed into its
// digest and inflated again before its text is read: from its own entry, as one inflated whole
// would be.
TEST(VerifyPackage, ASignatureStreamedIsReadFromItsOwnEntry) {
  const Contents good = signed_contents(1, testing::kSamplePluginToml, module_bytes());
  const std::string text(88, 'A');
  std::vector<testing::RawEntry> entries = {
      testing::deflated_entry("plugin.toml", bytes_of(good.plugin_toml)),
      testing::deflated_entry("main.wasm", good.main_wasm),
      {.name = "signature.sig",
       .data = {std::byte{0x73}, std::byte{0xa4}, std::byte{0x11}, std::byte{0}, std::byte{0}},
       .crc32 = zip_crc32(bytes_of(text)),
       .size = text.size()}};
  const TrustedKey keys[] = {trusted(1)};
  auto streamed = verify_package(testing::build_archive(entries), keys);
  Contents whole = good;
  whole.signature = text;
  auto inflated_whole = verify_package(testing::package_of(whole), keys);
  ASSERT_FALSE(streamed.has_value());
  ASSERT_FALSE(inflated_whole.has_value());
  EXPECT_EQ(streamed.error().kind, inflated_whole.error().kind);
  EXPECT_EQ(streamed.error().message, inflated_whole.error().message);
}

struct NameCase {
  const char* name;
  std::vector<TrustedKey> keys;
  int key;  // the test key expected to be chosen; 0 when refused
};

TEST(VerifyPackage, KeysScopedToNames) {
  const Contents contents = signed_contents(1, testing::kSamplePluginToml, module_bytes());
  const std::vector<std::byte> package = testing::package_of(contents);
  const std::string refusal = "key " + key_id(trusted(1).key) +
                              " verifies the signature but is not trusted for package name demo";
  const NameCase cases[] = {
      {"the exact name", {trusted(1, {"demo"})}, 1},
      {"a matching pattern", {trusted(1, {"acme-*", "de*"})}, 1},
      {"a name the key may not sign", {trusted(1, {"acme-*"})}, 0},
      {"the same key again for every name", {trusted(1, {"acme-*"}), trusted(1)}, 1},
      {"another key for the name", {trusted(2, {"demo"}), trusted(1, {"other"})}, 0},
      {"several keys, the second verifies", {trusted(2), trusted(1, {"demo"})}, 1},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = verify_package(package, c.keys);
    if (c.key == 0) {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(VerifyErrorKind::kNameNotAllowed, result.error().kind);
      EXPECT_EQ(refusal, result.error().message);
    } else {
      ASSERT_TRUE(result.has_value()) << result.error().message;
      EXPECT_EQ(trusted(c.key).key, result->key);
    }
  }
}

TEST(VerifyPackage, PluginTomlIsParsedOnlyUnderAGoodSignature) {
  const Contents invalid =
      signed_contents(1, "[package]\nname = \"demo\"\nversion = 1.2\n", module_bytes());
  const TrustedKey keys[] = {trusted(1)};
  auto result = verify_package(testing::package_of(invalid), keys);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(VerifyErrorKind::kMalformed, result.error().kind);
  // The parser's first line and its last, the reason itself.
  EXPECT_EQ(
      "invalid plugin.toml: TOML parse error at line 3, column 11: invalid type: floating point "
      "`1.2`, expected a string",
      result.error().message);

  // Under another key the same package is only a bad signature: the text was never parsed.
  const TrustedKey others[] = {trusted(2)};
  auto unsigned_result = verify_package(testing::package_of(invalid), others);
  ASSERT_FALSE(unsigned_result.has_value());
  EXPECT_EQ(VerifyErrorKind::kBadSignature, unsigned_result.error().kind);
}

// A C host reads a name up to its NUL: "hello\0-beta" would be checked against a "*-beta"
// scope and shown as "hello". The verifier refuses such text once the signature verified.
TEST(VerifyPackage, RefusesControlCharactersInNameAndVersion) {
  struct Case {
    const char* name;
    const char* toml;
    const char* message;
  };
  const Case cases[] = {
      {"NUL in the name, under a scope it would match",
       "[package]\nname = \"hello\\u0000-beta\"\nversion = \"1.0.0\"\n",
       "invalid plugin.toml: package name contains control character U+0000"},
      {"escape character in the name",
       "[package]\nname = \"x\\u001b[2J-beta\"\nversion = \"1.0.0\"\n",
       "invalid plugin.toml: package name contains control character U+001B"},
      {"unit separator, the last C0 control, in the name",
       "[package]\nname = \"a\\u001f-beta\"\nversion = \"1.0.0\"\n",
       "invalid plugin.toml: package name contains control character U+001F"},
      {"DEL in the name", "[package]\nname = \"a\\u007f-beta\"\nversion = \"1.0.0\"\n",
       "invalid plugin.toml: package name contains control character U+007F"},
      {"a raw tab in the version", "[package]\nname = \"hello-beta\"\nversion = \"1.0\t\"\n",
       "invalid plugin.toml: package version contains control character U+0009"},
      {"line feed in the version", "[package]\nname = \"hello-beta\"\nversion = \"1.0\\n2.0\"\n",
       "invalid plugin.toml: package version contains control character U+000A"},
      // An empty name shows as nothing, and "*" patterns match it.
      {"an empty name", "[package]\nname = \"\"\nversion = \"1.0.0\"\n",
       "invalid plugin.toml: package name is empty"},
  };
  const TrustedKey scoped[] = {trusted(1, {"*-beta", "*"})};
  const TrustedKey other[] = {trusted(2)};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::byte> package =
        testing::package_of(signed_contents(1, c.toml, module_bytes()));
    auto result = verify_package(package, scoped);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(VerifyErrorKind::kMalformed, result.error().kind);
    EXPECT_EQ(c.message, result.error().message);
    // Without a good signature the text is never looked at.
    auto unsigned_result = verify_package(package, other);
    ASSERT_FALSE(unsigned_result.has_value());
    EXPECT_EQ(VerifyErrorKind::kBadSignature, unsigned_result.error().kind);
  }
  // What is left once the control characters are gone verifies, non-ASCII text included.
  const std::vector<std::byte> plain = testing::package_of(signed_contents(
      1, "[package]\nname = \"h\u00e9llo-beta\"\nversion = \"1.0.0 \"\n", module_bytes()));
  auto result = verify_package(plain, scoped);
  ASSERT_TRUE(result.has_value()) << result.error().message;
  EXPECT_EQ("h\u00e9llo-beta", result->name);
}

TEST(VerifyPackage, DeclaredSizesHoldUpToTheLimitExactly) {
  const Contents contents = signed_contents(1, testing::kSamplePluginToml, testing::noise(5000));
  const std::vector<std::byte> package = testing::package_of(contents);
  const std::uint64_t toml_size = contents.plugin_toml.size();
  const TrustedKey keys[] = {trusted(1)};
  EXPECT_TRUE(verify_package(package, keys, {.plugin_toml = toml_size, .main_wasm = 5000}));
  struct Case {
    const char* name;
    VerifyLimits limits;
    std::string message;
  };
  const Case cases[] = {
      {"plugin.toml one byte over",
       {.plugin_toml = toml_size - 1, .main_wasm = 5000},
       "plugin.toml: declared size " + std::to_string(toml_size) + " is larger than the limit of " +
           std::to_string(toml_size - 1) + " bytes"},
      {"main.wasm one byte over",
       {.plugin_toml = toml_size, .main_wasm = 4999},
       "main.wasm: declared size 5000 is larger than the limit of 4999 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = verify_package(package, keys, c.limits);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(VerifyErrorKind::kTooLarge, result.error().kind);
    EXPECT_EQ(c.message, result.error().message);
  }
}

// `content` as a raw DEFLATE stream at zlib's `level` (0: stored blocks).
std::vector<std::byte> deflated_at(std::span<const std::byte> content, int level) {
  z_stream stream{};
  EXPECT_EQ(Z_OK, deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY));
  std::vector<std::byte> out(deflateBound(&stream, content.size()));
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(content.data()));
  stream.avail_in = static_cast<uInt>(content.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(Z_STREAM_END, deflate(&stream, Z_FINISH));
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// The DEFLATE encoding is not signed: the same contents encoded otherwise verify, and keep
// their identity, while the file's own hash changes.
TEST(VerifyPackage, ReencodedPackageKeepsItsManifestSha256) {
  const Contents contents =
      signed_contents(1, testing::kSamplePluginToml, testing::sample_module(200'000));
  const TrustedKey keys[] = {trusted(1)};
  auto original = verify_package(testing::package_of(contents), keys);
  ASSERT_TRUE(original.has_value()) << original.error().message;
  for (const int level : {0, 1, 9}) {
    SCOPED_TRACE(level);
    std::vector<testing::RawEntry> entries;
    for (const auto& [name, bytes] :
         {std::pair{"plugin.toml", bytes_of(contents.plugin_toml)},
          std::pair{"main.wasm", std::span<const std::byte>(contents.main_wasm)},
          std::pair{"signature.sig", bytes_of(contents.signature)}})
      entries.push_back({.name = name,
                         .data = deflated_at(bytes, level),
                         .crc32 = zip_crc32(bytes),
                         .size = bytes.size()});
    const std::vector<std::byte> reencoded = testing::build_archive(entries);
    ASSERT_FALSE(same(reencoded, testing::package_of(contents)));
    auto result = verify_package(reencoded, keys);
    ASSERT_TRUE(result.has_value()) << result.error().message;
    EXPECT_EQ(original->manifest_sha256, result->manifest_sha256);
  }
}

TEST(VerifyPackage, RefusesAPackageLargerThanTheLimitsAllow) {
  const VerifyLimits limits{.plugin_toml = 100, .main_wasm = 1000};
  const Contents contents = signed_contents(1, testing::kSamplePluginToml, testing::noise(1000));
  std::vector<std::byte> package = testing::package_of(contents);
  const TrustedKey keys[] = {trusted(1)};
  ASSERT_TRUE(verify_package(package, keys, limits).has_value());
  // Exactly at the bound the package is read, and refused for what follows its end record.
  package.resize(max_package_size(limits));
  auto at_bound = verify_package(package, keys, limits);
  ASSERT_FALSE(at_bound.has_value());
  EXPECT_EQ(VerifyErrorKind::kMalformed, at_bound.error().kind) << at_bound.error().message;
  package.push_back(std::byte{0});
  auto result = verify_package(package, keys, limits);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(VerifyErrorKind::kTooLarge, result.error().kind);
  EXPECT_EQ("package is larger than " + std::to_string(max_package_size(limits)) + " bytes",
            result.error().message);
}

TEST(VerifyPackage, SafeFromSeveralThreadsAtOnce) {
  const Contents contents =
      signed_contents(1, testing::kSamplePluginToml, testing::sample_module(1'000'000));
  const std::vector<std::byte> good = testing::package_of(contents);
  std::vector<std::byte> tampered = good;
  tampered[tampered.size() / 2] ^= std::byte{1};
  const TrustedKey keys[] = {trusted(2), trusted(1)};
  std::vector<int> verified(4), refused(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 8; ++i) {
        auto ok = verify_package(good, keys);
        if (ok && same(ok->main_wasm.bytes(), contents.main_wasm)) ++verified[t];
        if (!verify_package(tampered, keys)) ++refused[t];
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ((std::vector<int>{8, 8, 8, 8}), verified);
  EXPECT_EQ((std::vector<int>{8, 8, 8, 8}), refused);
}

// Runs `body` with this thread confined to one of the CPUs it may use, as on a machine of one.
template <typename Body>
auto on_one_cpu(Body&& body) {
  cpu_set_t usable;
  CPU_ZERO(&usable);
  EXPECT_EQ(::sched_getaffinity(0, sizeof usable, &usable), 0);
  int first = 0;
  while (first < CPU_SETSIZE && !CPU_ISSET(first, &usable)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  EXPECT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
  auto result = body();
  EXPECT_EQ(::sched_setaffinity(0, sizeof usable, &usable), 0);
  return result;
}

// From 1 MiB on, main.wasm is hashed on a thread of its own while this one inflates it, when a
// second CPU is there; on one CPU, whole and then hashed. Either way the same verified bytes and
// digests, and the same refusal of a damaged stream, at the sizes where the pieces (256 KiB)
// and the choice of a thread change.
TEST(VerifyPackage, SameResultOnOneCpuAsOnTwo) {
  const TrustedKey keys[] = {trusted(1)};
  for (const std::size_t size : {kSinkThreadMinimum - 1, kSinkThreadMinimum, kSinkThreadMinimum + 1,
                                 6 * kInflateWindowSize + 1, std::size_t{5'000'000}}) {
    const Contents contents =
        signed_contents(1, testing::kSamplePluginToml, testing::sample_module(size));
    const std::vector<std::byte> good = testing::package_of(contents);
    // main.wasm's data is most of the package: a byte in the middle of it, then one near its
    // end, where the last piece is inflated.
    std::vector<std::byte> middle = good, late = good;
    middle[good.size() / 2] ^= std::byte{0x10};
    late[good.size() - 400] ^= std::byte{0x10};
    const std::vector<std::byte>* packages[] = {&good, &middle, &late};
    for (const auto* package : packages) {
      SCOPED_TRACE(std::to_string(size) + " bytes, package " +
                   std::to_string(package == &good     ? 0
                                  : package == &middle ? 1
                                                       : 2));
      const auto two = verify_package(*package, keys);
      const auto one = on_one_cpu([&] { return verify_package(*package, keys); });
      ASSERT_EQ(two.has_value(), one.has_value());
      if (!two) {
        EXPECT_EQ(two.error().message, one.error().message);
        EXPECT_EQ(two.error().kind, one.error().kind);
        EXPECT_NE(package, &good) << two.error().message;
        continue;
      }
      EXPECT_EQ(package, &good);
      EXPECT_TRUE(same(two->main_wasm.bytes(), contents.main_wasm));
      EXPECT_TRUE(same(one->main_wasm.bytes(), contents.main_wasm));
      EXPECT_EQ(two->main_wasm_sha256, sha256_hex(contents.main_wasm));
      EXPECT_EQ(one->main_wasm_sha256, two->main_wasm_sha256);
    }
  }
}

// Memory for the verified bytes that cannot be had is a result, not an exception or a crash:
// in a child whose address space leaves no room for main.wasm. Until the signature verified,
// the declared size gets no memory: a wrong key, or data invalid at its first byte, fails
// for what it is within the same address space.
TEST(VerifyPackage, ReportsMemoryThatCannotBeHad) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer needs more address space than the limit leaves";
#else
  constexpr std::size_t kModuleSize = std::size_t{128} << 20;
  const Contents contents =
      signed_contents(1, testing::kSamplePluginToml, std::vector<std::byte>(kModuleSize));
  const std::vector<std::byte> package = testing::package_of(contents);
  // The first byte of main.wasm's data made a reserved block type.
  auto le32 = [&package](std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<std::uint32_t>(package[at + i]);
    return value;
  };
  const std::size_t wasm_header = 30 + 11 + le32(18);
  const std::uint32_t wasm_compressed = le32(wasm_header + 18);
  std::vector<std::byte> invalid = package;
  invalid[wasm_header + 30 + 9] = std::byte{0xFF};
  struct Case {
    const char* name;
    const std::vector<std::byte>* package;
    int key;
    VerifyErrorKind kind;
    std::string message;
  };
  const Case cases[] = {
      {"signed by the trusted key", &package, 1, VerifyErrorKind::kOutOfMemory,
       "main.wasm: out of memory for 134217728 bytes"},
      {"signed by another key", &package, 2, VerifyErrorKind::kBadSignature,
       "signature does not match any trusted key"},
      {"data invalid at its first byte", &invalid, 1, VerifyErrorKind::kMalformed,
       "main.wasm: invalid DEFLATE data, or a stream that does not end within its " +
           std::to_string(wasm_compressed) + " compressed bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TrustedKey keys[] = {trusted(c.key)};
    EXPECT_TRUE(testing::holds_within_address_space(std::uint64_t{48} << 20, [&] {
      auto result = verify_package(*c.package, keys);
      return !result && result.error().kind == c.kind && result.error().message == c.message;
    }));
  }
#endif
}

// What plugin_sign itself writes verifies, as a package and as the directory it leaves.
TEST(VerifyPackage, VerifiesWhatPluginSignWrote) {
  testing::ScratchDir dir;
  const auto plugin = testing::make_plugin(dir.path() / "demo", testing::kSamplePluginToml,
                                           std::string(300'000, 'w') + "end");
  const auto output = dir.path() / "demo.zip";
  const auto run = testing::run_tool(
      {.args = {plugin.string(), output.string()}, .key = testing::kTestKey, .cwd = dir.path()});
  ASSERT_EQ(0, run.status) << run.err;
  auto seed = decode_base64_strict(testing::kTestKey);
  ASSERT_TRUE(seed.has_value());
  std::array<std::byte, 32> seed_bytes;
  std::memcpy(seed_bytes.data(), seed->data(), seed_bytes.size());
  const TrustedKey keys[] = {{.key = public_key_of(SigningKey(seed_bytes))}};

  const std::string archive = testing::read_file(output);
  auto from_archive = verify_package(bytes_of(archive), keys);
  ASSERT_TRUE(from_archive.has_value()) << from_archive.error().message;
  auto from_directory = verify_plugin_directory(plugin.string(), keys);
  ASSERT_TRUE(from_directory.has_value()) << from_directory.error().message;
  EXPECT_EQ(from_archive->main_wasm_sha256, from_directory->main_wasm_sha256);
  EXPECT_EQ("demo", from_directory->name);
  // The file's own read: the result outlives the archive read for it.
  auto from_file = verify_package_file(output.string(), keys);
  ASSERT_TRUE(from_file.has_value()) << from_file.error().message;
  EXPECT_EQ(from_archive->manifest_sha256, from_file->manifest_sha256);
  EXPECT_TRUE(std::ranges::equal(from_archive->main_wasm.bytes(), from_file->main_wasm.bytes()));
}

class PluginDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::make_plugin(dir_.path(), contents_.plugin_toml,
                         std::string_view(reinterpret_cast<const char*>(contents_.main_wasm.data()),
                                          contents_.main_wasm.size()));
    testing::write_file(dir_.path() / "signature.sig", contents_.signature);
  }
  std::expected<VerifiedPackage, VerifyError> verify(const VerifyLimits& limits = {}) {
    return verify_plugin_directory(dir_.path().string(), keys_, limits);
  }

  testing::ScratchDir dir_;
  Contents contents_ = signed_contents(1, testing::kSamplePluginToml, module_bytes());
  std::vector<TrustedKey> keys_ = {trusted(1)};
};

TEST_F(PluginDirectory, VerifiesTheFilesPluginSignLeaves) {
  auto result = verify();
  ASSERT_TRUE(result.has_value()) << result.error().message;
  EXPECT_TRUE(same(contents_.main_wasm, result->main_wasm.bytes()));
  EXPECT_EQ("demo", result->name);
}

struct DirectoryCase {
  const char* name;
  void (*change)(const std::filesystem::path& dir);
  VerifyLimits limits;
  VerifyErrorKind kind;
  const char* message;
};

TEST_F(PluginDirectory, RefusesWithTheKindOfFault) {
  const DirectoryCase cases[] = {
      {"tampered main.wasm",
       [](const std::filesystem::path& d) { testing::write_file(d / "main.wasm", "tampered"); },
       {},
       VerifyErrorKind::kBadSignature,
       "signature does not match any trusted key"},
      {"missing signature.sig",
       [](const std::filesystem::path& d) { std::filesystem::remove(d / "signature.sig"); },
       {},
       VerifyErrorKind::kUnreadable,
       "failed to read signature.sig: No such file or directory (os error 2)"},
      {"main.wasm a FIFO",
       [](const std::filesystem::path& d) {
         std::filesystem::remove(d / "main.wasm");
         ASSERT_EQ(0, ::mkfifo((d / "main.wasm").c_str(), 0600));
       },
       {},
       VerifyErrorKind::kUnreadable,
       "failed to read main.wasm: not a regular file"},
      {"signature.sig with a line feed",
       [](const std::filesystem::path& d) {
         testing::write_file(d / "signature.sig", testing::read_file(d / "signature.sig") + "\n");
       },
       {},
       VerifyErrorKind::kTooLarge,
       "failed to read signature.sig: larger than 88 bytes"},
      {"plugin.toml over its limit",
       [](const std::filesystem::path&) {},
       {.plugin_toml = 16},
       VerifyErrorKind::kTooLarge,
       "failed to read plugin.toml: larger than 16 bytes"},
      {"main.wasm over its limit",
       [](const std::filesystem::path&) {},
       {.main_wasm = 1000},
       VerifyErrorKind::kTooLarge,
       "failed to read main.wasm: larger than 1000 bytes"},
      // The file reports a size of 0 and holds more than 64 bytes.
      {"main.wasm a link to a /proc file over its limit",
       [](const std::filesystem::path& d) {
         std::filesystem::remove(d / "main.wasm");
         std::filesystem::create_symlink("/proc/version", d / "main.wasm");
       },
       {.main_wasm = 64},
       VerifyErrorKind::kTooLarge,
       "failed to read main.wasm: larger than 64 bytes"},
  };
  for (const DirectoryCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    c.change(dir_.path());
    auto result = verify(c.limits);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(c.kind, result.error().kind);
    EXPECT_EQ(c.message, result.error().message);
    std::filesystem::remove(dir_.path() / "main.wasm");
  }
}

}  // namespace
}  // namespace plugin_sign
