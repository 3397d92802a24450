#include "signing/revocation.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <cstring>
#include <string>
#include <vector>

#include "plugin_sign/revocations.hpp"
#include "signing/manifest.hpp"
#include "signing/signature.hpp"

namespace plugin_sign {
namespace {

std::array<std::byte, 32> seed(int n) {
  std::array<std::byte, 32> bytes;
  bytes.fill(static_cast<std::byte>(n));
  return bytes;
}

// The statement of test key `n` as `plugin_key revoke` prints it, without its line feed.
std::string statement(int n) {
  std::string line = revocation_statement(SigningKey(seed(n)));
  EXPECT_TRUE(line.ends_with('\n'));
  line.pop_back();
  return line;
}

std::vector<std::string> words_of(const std::string& line) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (true) {
    const std::size_t space = line.find(' ', start);
    words.push_back(line.substr(start, space - start));
    if (space == std::string::npos) return words;
    start = space + 1;
  }
}

Signature signature_of(const std::string& base64) {
  auto decoded = decode_base64_strict(base64);
  EXPECT_TRUE(decoded && decoded->size() == 64);
  Signature signature{};
  if (decoded)
    std::memcpy(signature.data(), decoded->data(), std::min<std::size_t>(64, decoded->size()));
  return signature;
}

class Revocation : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(initialise_crypto()); }
};

// libsodium, called directly, checks the signature over the prefix, a line feed and the key.
TEST_F(Revocation, StatementIsTheKeysSignatureOverItsDomainMessage) {
  const std::vector<std::string> words = words_of(statement(1));
  ASSERT_EQ(3u, words.size());
  EXPECT_EQ("key", words[0]);
  EXPECT_EQ(public_key_base64(public_key_of(SigningKey(seed(1)))), words[1]);
  ASSERT_EQ(88u, words[2].size());
  const PublicKey key = public_key_of(SigningKey(seed(1)));
  std::string message = "plugin_sign key revocation v1\n";
  message.append(reinterpret_cast<const char*>(key.data()), key.size());
  ASSERT_EQ(62u, message.size());
  const Signature signature = signature_of(words[2]);
  EXPECT_EQ(0, crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.data()),
                                           reinterpret_cast<const unsigned char*>(message.data()),
                                           message.size(),
                                           reinterpret_cast<const unsigned char*>(key.data())));
  EXPECT_EQ(message, revocation_message(key));
}

// Neither kind of signature passes as the other, whatever package or key.
TEST_F(Revocation, NeverPassesAsAPackageSignatureNorTheReverse) {
  const SigningKey signing(seed(3));
  const PublicKey key = public_key_of(signing);
  const Signature revocation = signature_of(words_of(statement(3))[2]);
  const std::string manifest = serialize_manifest(
      {.plugin_toml_sha256 = std::string(64, 'a'), .main_wasm_sha256 = std::string(64, 'b')});
  const Signature package = sign_manifest(signing, std::as_bytes(std::span(manifest)));
  ASSERT_TRUE(verify_signature(key, std::as_bytes(std::span(manifest)), package));
  EXPECT_FALSE(verify_signature(key, std::as_bytes(std::span(manifest)), revocation));
  EXPECT_FALSE(verify_revocation(key, package));
  EXPECT_TRUE(verify_revocation(key, revocation));
}

TEST_F(Revocation, ReadsEveryKindOfEntryCommentsAndCrlf) {
  const std::string key_id_line = "key-id " + key_id(public_key_of(SigningKey(seed(7))));
  const std::string digest = std::string(63, '0') + "f";
  const std::string text = "# revoked on the day the laptop was stolen\r\n\r\n" + statement(1) +
                           "\r\n" + key_id_line + "\n\npackage\t" + digest + "\n" + statement(1);
  auto parsed = parse_revocations(text);
  ASSERT_TRUE(parsed.has_value()) << parsed.error();
  ASSERT_EQ(2u, parsed->keys.size());
  EXPECT_EQ(public_key_of(SigningKey(seed(1))), parsed->keys[0]);
  EXPECT_EQ(std::vector<std::string>{key_id_line.substr(7)}, parsed->key_ids);
  EXPECT_EQ(std::vector<std::string>{digest}, parsed->packages);

  // Nothing revoked is a valid state of a shared file.
  for (const char* empty : {"", "\n", "# none yet\n"}) {
    auto none = parse_revocations(empty);
    ASSERT_TRUE(none.has_value()) << none.error();
    EXPECT_TRUE(none->keys.empty() && none->key_ids.empty() && none->packages.empty());
  }
}

// A statement that was tampered with makes the whole file invalid, never a silent skip.
TEST_F(Revocation, RefusesATamperedStatement) {
  const std::vector<std::string> one = words_of(statement(1));
  const std::vector<std::string> two = words_of(statement(2));
  std::string flipped = one[2];
  flipped[10] = flipped[10] == 'A' ? 'B' : 'A';
  const std::string manifest = serialize_manifest(
      {.plugin_toml_sha256 = std::string(64, 'a'), .main_wasm_sha256 = std::string(64, 'b')});
  const std::string package_signature =
      encode_base64(sign_manifest(SigningKey(seed(1)), std::as_bytes(std::span(manifest))));
  const struct {
    const char* name;
    std::string line;
  } cases[] = {
      {"another key's public key", "key " + two[1] + " " + one[2]},
      {"a flipped signature", "key " + one[1] + " " + flipped},
      {"a package signature", "key " + one[1] + " " + package_signature},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto parsed = parse_revocations("# ok\n" + statement(3) + "\n" + c.line + "\n");
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ("line 3: the signature is not this key's revocation statement", parsed.error());
  }
}

std::string repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

TEST_F(Revocation, RefusesAMalformedLineNamingIt) {
  const std::string key = words_of(statement(1))[1];
  const std::string signature = words_of(statement(1))[2];
  std::string longer_signature = *decode_base64_strict(signature) + "\x01\x02";
  const std::string signature_with_two_bytes_more =
      encode_base64(std::as_bytes(std::span(longer_signature)));
  const std::string id(16, 'a');
  const std::string digest(64, 'a');
  const struct {
    const char* name;
    std::string line;
    std::string message;
  } cases[] = {
      {"unknown word", "revoke " + id,
       "unknown entry \"revoke\" (the entries are key, key-id, package and below)"},
      {"capitalised word", "Key-id " + id,
       "unknown entry \"Key-id\" (the entries are key, key-id, package and below)"},
      // A word is quoted up to 32 bytes, never cutting a UTF-8 sequence: a 4 MiB word would
      // otherwise make a 4 MiB error line.
      {"a long unknown word", std::string(4 << 20, 'x') + " " + id,
       "unknown entry \"" + std::string(32, 'x') +
           "...\" (the entries are key, key-id, package and below)"},
      {"a long unknown word of two-byte characters", "a" + repeat("\u00e9", 20),
       "unknown entry \"a" + repeat("\u00e9", 15) +
           "...\" (the entries are key, key-id, package and below)"},
      {"a long unknown word with no character boundary to cut at", std::string(40, '\x80'),
       "unknown entry \"...\" (the entries are key, key-id, package and below)"},
      {"an unknown word of exactly 32 bytes", std::string(32, 'y'),
       "unknown entry \"" + std::string(32, 'y') +
           "\" (the entries are key, key-id, package and below)"},
      {"key-id too short", "key-id " + id.substr(1),
       "key-id must be 16 hexadecimal digits, found 15 characters"},
      {"key-id too long", "key-id " + id + "0",
       "key-id must be 16 hexadecimal digits, found 17 characters"},
      {"key-id in uppercase", "key-id 0123456789ABCDEF",
       "key-id must be lowercase hexadecimal digits, found \"0123456789ABCDEF\""},
      {"key-id not hex", "key-id 0123456789abcdeg",
       "key-id must be lowercase hexadecimal digits, found \"0123456789abcdeg\""},
      {"key-id without its ID", "key-id", "key-id takes one key ID of 16 hexadecimal digits"},
      {"key-id with two", "key-id " + id + " " + id,
       "key-id takes one key ID of 16 hexadecimal digits"},
      {"package too short", "package " + digest.substr(2),
       "package must be 64 hexadecimal digits, found 62 characters"},
      {"package in uppercase", "package " + std::string(64, 'A'),
       "package must be lowercase hexadecimal digits, found \"" + std::string(64, 'A') + "\""},
      {"package with a comment after it", "package " + digest + " # bad",
       "package takes one manifest_sha256 of 64 hexadecimal digits"},
      {"key without its signature", "key " + key,
       "key takes a public key and a signature, as plugin_key revoke prints them"},
      {"key with a bad public key", "key " + key.substr(1) + " " + signature,
       "public key is not valid base64: Invalid padding"},
      {"key with a short signature", "key " + key + " " + signature.substr(4),
       "signature must be 88 characters of base64, found 84"},
      // 88 characters without padding are 66 bytes: the statement's signature and two more.
      {"key with a signature of 66 bytes", "key " + key + " " + signature_with_two_bytes_more,
       "signature must decode to exactly 64 bytes, found 66"},
      {"key with a signature not base64", "key " + key + " " + std::string(88, '!'),
       "signature is not valid base64: Invalid symbol 33, offset 0."},
      {"below without a version", "below hello",
       "below takes a package name and a version, e.g. below hello 1.4.0"},
      {"below with a name of two words", "below my plugin 1.0.0",
       "below takes a package name and a version, e.g. below hello 1.4.0"},
      {"below with a version not semantic", "below hello 1.4",
       "below: the version must be a semantic version such as 1.4.0"},
      {"below with a version prefixed v", "below hello v1.4.0",
       "below: the version must be a semantic version such as 1.4.0"},
      {"below with a lowercase escape", "below my%2fplugin 1.0.0",
       "below: the package name must be written with %HH escapes for a space, \"%\" and bytes "
       "outside printable ASCII (e.g. my%20plugin)"},
      {"below with a bare percent", "below 100% 1.0.0",
       "below: the package name must be written with %HH escapes for a space, \"%\" and bytes "
       "outside printable ASCII (e.g. my%20plugin)"},
      {"white space before", " key-id " + id, "white space before the entry"},
      {"trailing white space", "key-id " + id + "\t", "trailing white space"},
      {"a carriage return inside", "key-id " + id + "\r\r",
       "key-id must be 16 hexadecimal digits, found 17 characters"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto parsed =
        parse_revocations("# list\n\npackage " + digest + "\n" + c.line + "\nkey-id " + id + "\n");
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ("line 4: " + c.message, parsed.error());
  }
}

}  // namespace
}  // namespace plugin_sign

namespace plugin_sign {
namespace {

TEST(RevocationFloors, BelowEntriesKeepTheirNameAndVersion) {
  auto parsed = parse_revocations(
      "below hello 1.4.0\nbelow my%20plugin 2.0.0-rc.1+build.5\r\nbelow - 0.0.1\n"
      "below caf%C3%A9 1.0.0\n");
  ASSERT_TRUE(parsed.has_value()) << parsed.error();
  ASSERT_EQ(parsed->floors.size(), 4u);
  EXPECT_EQ(parsed->floors[0].name, "hello");
  EXPECT_EQ(parsed->floors[0].version, "1.4.0");
  EXPECT_EQ(parsed->floors[1].name, "my plugin");
  EXPECT_EQ(parsed->floors[1].version, "2.0.0-rc.1+build.5");
  EXPECT_EQ(parsed->floors[2].name, "");
  EXPECT_EQ(parsed->floors[3].name, "caf\xc3\xa9");
  Revocations both = *parsed;
  both.add(*parsed);
  EXPECT_EQ(both.floors.size(), 8u);
}

}  // namespace
}  // namespace plugin_sign
