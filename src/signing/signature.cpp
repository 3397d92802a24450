#include "signing/signature.hpp"

#include <sodium.h>

#include <cstring>

namespace plugin_sign {
namespace {

// libsodium's secret key form, seed followed by public key; zeroed on every path out.
// crypto_sign_seed_keypair computes the expanded secret in this very buffer and then
// overwrites it with seed and public key; crypto_sign_detached zeroes its own copies of the
// expanded secret and the nonce before it returns.
class SecretKeyBuffer {
 public:
  SecretKeyBuffer() = default;
  SecretKeyBuffer(const SecretKeyBuffer&) = delete;
  SecretKeyBuffer& operator=(const SecretKeyBuffer&) = delete;
  ~SecretKeyBuffer() { sodium_memzero(bytes_, sizeof bytes_); }

  unsigned char* data() { return bytes_; }

 private:
  unsigned char bytes_[crypto_sign_SECRETKEYBYTES];
};

}  // namespace

bool initialise_crypto() {
  return sodium_init() >= 0;
}

Signature sign_manifest(const SigningKey& key, std::span<const std::byte> message) {
  unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
  SecretKeyBuffer secret_key;
  crypto_sign_seed_keypair(public_key, secret_key.data(),
                           reinterpret_cast<const unsigned char*>(key.seed().data()));
  Signature signature{};
  crypto_sign_detached(reinterpret_cast<unsigned char*>(signature.data()), nullptr,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                       secret_key.data());
  return signature;
}

bool verify_signature(const PublicKey& key, std::span<const std::byte> message,
                      const Signature& signature) {
  static_assert(sizeof(Signature) == crypto_sign_BYTES);
  static_assert(sizeof(PublicKey) == crypto_sign_PUBLICKEYBYTES);
  return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.data()),
                                     reinterpret_cast<const unsigned char*>(message.data()),
                                     message.size(),
                                     reinterpret_cast<const unsigned char*>(key.data())) == 0;
}

// The length is checked first: the usual fault is a line feed added by an editor, and "found
// 89" says so more plainly than any Base64 error would.
std::expected<Signature, std::string> decode_signature_text(std::string_view text) {
  constexpr std::size_t kTextSize = 88;
  if (text.size() != kTextSize)
    return std::unexpected("signature.sig must be 88 characters of base64, found " +
                           std::to_string(text.size()));
  auto decoded = decode_base64_strict(text);
  if (!decoded)
    return std::unexpected("signature.sig is not valid base64: " + to_text(decoded.error()));
  Signature signature;
  if (decoded->size() != signature.size())
    return std::unexpected("signature.sig must decode to exactly 64 bytes, found " +
                           std::to_string(decoded->size()));
  std::memcpy(signature.data(), decoded->data(), signature.size());
  return signature;
}

std::string encode_base64(std::span<const std::byte> bytes) {
  constexpr int kVariant = sodium_base64_VARIANT_ORIGINAL;
  std::string text(sodium_base64_ENCODED_LEN(bytes.size(), kVariant), '\0');
  sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                    bytes.size(), kVariant);
  text.pop_back();  // the terminating NUL
  return text;
}

}  // namespace plugin_sign
