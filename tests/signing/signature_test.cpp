#include "signing/signature.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <cstring>
#include <string>
#include <vector>

#include "signing/manifest.hpp"

namespace plugin_sign {
namespace {

std::vector<std::byte> from_hex(std::string_view hex) {
  std::vector<std::byte> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<std::byte>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return bytes;
}

SigningKey key_from_hex(std::string_view hex) {
  std::array<std::byte, 32> seed{};
  const std::vector<std::byte> bytes = from_hex(hex);
  std::copy(bytes.begin(), bytes.end(), seed.begin());
  return SigningKey(seed);
}

std::string to_hex(std::span<const std::byte> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const std::byte b : bytes) {
    hex += kDigits[std::to_integer<int>(b) >> 4];
    hex += kDigits[std::to_integer<int>(b) & 0xF];
  }
  return hex;
}

bool verifies(std::span<const std::byte> signature, std::span<const std::byte> message,
              std::span<const std::byte> public_key) {
  return crypto_sign_verify_detached(
             reinterpret_cast<const unsigned char*>(signature.data()),
             reinterpret_cast<const unsigned char*>(message.data()), message.size(),
             reinterpret_cast<const unsigned char*>(public_key.data())) == 0;
}

struct Vector {
  const char* name;
  const char* seed;
  const char* public_key;
  const char* message;
  const char* signature;
};

// RFC 8032, section 7.1.
constexpr Vector kRfc8032Vectors[] = {
    {"TEST 1", "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b"
     "4"
     "6bd25bf5f0595bbe24655141438e7a100b"},
    {"TEST 2", "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11"
     "d"
     "8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"TEST 3", "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc"
     "6"
     "594a7c15e9716ed28dc027beceea1ec40a"},
    {"TEST SHA(abc)", "833fe62409237b9d62ec77587520911e9a759cec1d19755b7da901b96dca3d42",
     "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3fee"
     "b"
     "bd454d4423643ce80e2a9ac94fa54ca49f",
     "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c66431e"
     "0"
     "303dca179c138ac17ad9bef1177331a704"},
};

TEST(SignManifest, MatchesTheRfc8032Vectors) {
  for (const Vector& v : kRfc8032Vectors) {
    SCOPED_TRACE(v.name);
    const std::vector<std::byte> message = from_hex(v.message);
    const Signature signature = sign_manifest(key_from_hex(v.seed), message);
    EXPECT_EQ(v.signature, to_hex(signature));
    EXPECT_TRUE(verifies(signature, message, from_hex(v.public_key)));
  }
}

constexpr const char* kWorkedManifest =
    R"({"plugin.toml":"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",)"
    R"("main.wasm":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"})";

// The manifest of "abc" and an empty module under the TEST 1 seed, as computed by openssl.
constexpr const char* kWorkedSignatureText =
    "sa+vwsqTd7X+kAuKFToMkCeSwDmujPEY0CDWjFT1AYpe/aB3AS9om5dVebWE7cbVJEfRWi6+j697dGYNMRnWBw==";

TEST(SignManifest, SignsTheManifestAndOnlyItVerifies) {
  const SigningKey key = key_from_hex(kRfc8032Vectors[0].seed);
  const std::vector<std::byte> public_key = from_hex(kRfc8032Vectors[0].public_key);
  const std::string manifest_text = kWorkedManifest;
  std::vector<std::byte> manifest(as_bytes(std::span(manifest_text)).begin(),
                                  as_bytes(std::span(manifest_text)).end());

  Signature signature = sign_manifest(key, manifest);
  EXPECT_EQ(kWorkedSignatureText, encode_base64(signature));
  EXPECT_EQ(signature, sign_manifest(key, manifest));
  ASSERT_TRUE(verifies(signature, manifest, public_key));

  for (std::size_t i = 0; i < manifest.size(); ++i) {
    manifest[i] ^= std::byte{0x01};
    EXPECT_FALSE(verifies(signature, manifest, public_key)) << "manifest byte " << i;
    manifest[i] ^= std::byte{0x01};
  }
  for (std::size_t i = 0; i < signature.size(); ++i) {
    signature[i] ^= std::byte{0x80};
    EXPECT_FALSE(verifies(signature, manifest, public_key)) << "signature byte " << i;
    signature[i] ^= std::byte{0x80};
  }
}

TEST(PublicKeyOf, GivesTheRfc8032PublicKeys) {
  for (const Vector& v : kRfc8032Vectors) {
    SCOPED_TRACE(v.name);
    EXPECT_EQ(v.public_key, to_hex(public_key_of(key_from_hex(v.seed))));
  }
}

PublicKey public_key_from_hex(std::string_view hex) {
  PublicKey key{};
  const std::vector<std::byte> bytes = from_hex(hex);
  std::copy(bytes.begin(), bytes.end(), key.begin());
  return key;
}

Signature signature_from_hex(std::string_view hex) {
  Signature signature{};
  const std::vector<std::byte> bytes = from_hex(hex);
  std::copy(bytes.begin(), bytes.end(), signature.begin());
  return signature;
}

TEST(VerifySignature, AcceptsTheRfc8032SignaturesAndNothingAltered) {
  constexpr std::size_t kCount = std::size(kRfc8032Vectors);
  for (std::size_t i = 0; i < kCount; ++i) {
    const Vector& v = kRfc8032Vectors[i];
    SCOPED_TRACE(v.name);
    const PublicKey key = public_key_from_hex(v.public_key);
    std::vector<std::byte> message = from_hex(v.message);
    Signature signature = signature_from_hex(v.signature);
    EXPECT_TRUE(verify_signature(key, message, signature));

    const PublicKey other_key = public_key_from_hex(kRfc8032Vectors[(i + 1) % kCount].public_key);
    EXPECT_FALSE(verify_signature(other_key, message, signature));
    message.push_back(std::byte{0});
    EXPECT_FALSE(verify_signature(key, message, signature));
    message.pop_back();
    signature[0] ^= std::byte{0x01};
    EXPECT_FALSE(verify_signature(key, message, signature));
  }
}

// S + L for the S half of a signature, little-endian; S < L, so the sum fits in 256 bits.
Signature with_l_added_to_s(Signature signature) {
  // L = 2^252 + 27742317777372353535851937790883648493, little-endian.
  constexpr unsigned char kL[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58,
                                    0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
                                    0,    0,    0,    0,    0,    0,    0,    0,
                                    0,    0,    0,    0,    0,    0,    0,    0x10};
  unsigned carry = 0;
  for (std::size_t i = 0; i < 32; ++i) {
    carry += std::to_integer<unsigned>(signature[32 + i]) + kL[i];
    signature[32 + i] = static_cast<std::byte>(carry & 0xFF);
    carry >>= 8;
  }
  return signature;
}

TEST(VerifySignature, RefusesNonCanonicalSignaturesAndSmallOrderKeys) {
  const Vector& v = kRfc8032Vectors[2];
  const std::vector<std::byte> message = from_hex(v.message);
  const Signature malleated = with_l_added_to_s(signature_from_hex(v.signature));
  ASSERT_NE(signature_from_hex(v.signature), malleated);
  EXPECT_FALSE(verify_signature(public_key_from_hex(v.public_key), message, malleated));

  // With the identity point as key, R = identity and S = 0 pass the group equation for every
  // message; a verifier without the small-order checks takes them.
  const std::string identity = "01" + std::string(62, '0');
  const Signature forged = signature_from_hex(identity + std::string(64, '0'));
  EXPECT_FALSE(verify_signature(public_key_from_hex(identity), message, forged));
  // A point of order 2 (y = -1) as key, with a real signature.
  const PublicKey order_two =
      public_key_from_hex("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
  EXPECT_FALSE(verify_signature(order_two, message, signature_from_hex(v.signature)));
}

TEST(DecodeSignatureText, ReadsTheTextThatSigningWrites) {
  const SigningKey key = key_from_hex(kRfc8032Vectors[0].seed);
  const std::string manifest = kWorkedManifest;
  const Signature signature = sign_manifest(key, std::as_bytes(std::span(manifest)));
  auto decoded = decode_signature_text(encode_base64(signature));
  ASSERT_TRUE(decoded.has_value()) << decoded.error();
  EXPECT_EQ(signature, *decoded);
  EXPECT_TRUE(verify_signature(public_key_of(key), std::as_bytes(std::span(manifest)), *decoded));
}

TEST(DecodeSignatureText, RefusesAnythingButEightyEightCharactersOfSixtyFourBytes) {
  const std::string text = kWorkedSignatureText;
  const std::string not_base64 = "signature.sig is not valid base64: ";
  const struct {
    const char* name;
    std::string text;
    std::string message;
  } cases[] = {
      {"empty", "", "signature.sig must be 88 characters of base64, found 0"},
      {"line feed added", text + "\n", "signature.sig must be 88 characters of base64, found 89"},
      {"CRLF added", text + "\r\n", "signature.sig must be 88 characters of base64, found 90"},
      {"padding missing", text.substr(0, 86),
       "signature.sig must be 88 characters of base64, found 86"},
      {"longer valid base64", text.substr(0, 86) + "AAAAAA",
       "signature.sig must be 88 characters of base64, found 92"},
      {"space inside", text.substr(0, 10) + " " + text.substr(11),
       not_base64 + "Invalid symbol 32, offset 10."},
      {"one = where two belong", text.substr(0, 87) + "A",
       not_base64 + "Invalid symbol 61, offset 86."},
      {"stray bits",
       text.substr(0, 85) + "x==", not_base64 + "Invalid last symbol 120, offset 85."},
      {"URL-safe alphabet", "-" + text.substr(1), not_base64 + "Invalid symbol 45, offset 0."},
      {"65 bytes",
       text.substr(0, 84) + "AAA=", "signature.sig must decode to exactly 64 bytes, found 65"},
      {"66 bytes", text.substr(0, 84) + "AAAA",
       "signature.sig must decode to exactly 64 bytes, found 66"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoded = decode_signature_text(c.text);
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(c.message, decoded.error());
  }
}

TEST(EncodeBase64, WritesStandardPaddedText) {
  const struct {
    std::string bytes;
    const char* text;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xFB\xFF", "+/8="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.text, encode_base64(std::as_bytes(std::span(c.bytes))));
  }
}

TEST(EncodeBase64, GivesEightyEightCharactersForASignature) {
  Signature signature;
  signature.fill(std::byte{0xFF});
  const std::string text = encode_base64(signature);
  EXPECT_EQ(std::string(85, '/') + "w==", text);
}

}  // namespace
}  // namespace plugin_sign
