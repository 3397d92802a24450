#include "signing/signing_key.hpp"

#include <sodium.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <utility>

#include "io/utf8.hpp"

namespace plugin_sign {
namespace {

constexpr char kPad = '=';
constexpr std::size_t kSeedSize = 32;

// Zeroes a string's bytes when the scope ends, on every path out of it.
class ScopedWipe {
 public:
  explicit ScopedWipe(std::string& secret) : secret_(secret) {}
  ScopedWipe(const ScopedWipe&) = delete;
  ScopedWipe& operator=(const ScopedWipe&) = delete;
  ~ScopedWipe() { sodium_memzero(secret_.data(), secret_.size()); }

 private:
  std::string& secret_;
};

// The 6-bit value of a standard Base64 symbol, or -1 for every other byte, "=" included.
int symbol_value(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= 'A' && byte <= 'Z') return byte - 'A';
  if (byte >= 'a' && byte <= 'z') return byte - 'a' + 26;
  if (byte >= '0' && byte <= '9') return byte - '0' + 52;
  if (byte == '+') return 62;
  if (byte == '/') return 63;
  return -1;
}

Base64Error invalid_symbol(std::string_view text, std::size_t offset) {
  return {Base64Error::Kind::kInvalidSymbol, static_cast<std::uint8_t>(text[offset]), offset};
}

// The final group starting at `start`: padding only after two symbols, nothing after the
// padding, no lone symbol, padding up to four, and no stray bits in the last symbol.
std::optional<Base64Error> check_final_group(std::string_view text, std::size_t start) {
  std::size_t symbols = 0;
  std::size_t pads = 0;
  std::size_t first_pad = 0;
  for (std::size_t i = start; i < text.size(); ++i) {
    if (text[i] == kPad) {
      if (i - start < 2) return invalid_symbol(text, i);
      if (pads++ == 0) first_pad = i;
      continue;
    }
    if (pads > 0) return invalid_symbol(text, first_pad);
    if (symbol_value(text[i]) < 0) return invalid_symbol(text, i);
    ++symbols;
  }
  if (symbols == 1) return Base64Error{Base64Error::Kind::kInvalidLength, 0, text.size()};
  if (symbols + pads != 4) return Base64Error{Base64Error::Kind::kInvalidPadding};
  const int unused_bits = symbols == 2 ? 0x0F : symbols == 3 ? 0x03 : 0;
  const std::size_t last = start + symbols - 1;
  if ((symbol_value(text[last]) & unused_bits) != 0)
    return Base64Error{Base64Error::Kind::kInvalidLastSymbol, static_cast<std::uint8_t>(text[last]),
                       last};
  return std::nullopt;
}

// The first fault of `text`, found before anything is decoded, so that a refused key never
// leaves a partial decoding behind.
std::optional<Base64Error> find_base64_fault(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const std::size_t length = text.size();
  const std::size_t final_start = length - (length % 4 == 0 ? 4 : length % 4);
  // A lone trailing byte is looked at before everything else.
  if (length % 4 == 1 && text.back() != kPad && symbol_value(text.back()) < 0)
    return invalid_symbol(text, length - 1);
  for (std::size_t i = 0; i < final_start; ++i)
    if (symbol_value(text[i]) < 0) return invalid_symbol(text, i);
  return check_final_group(text, final_start);
}

// Length of the White_Space code point that `text` starts with, or 0.
std::size_t white_space_prefix(std::string_view text) {
  if (text.empty()) return 0;
  const auto b0 = static_cast<unsigned char>(text[0]);
  if ((b0 >= 0x09 && b0 <= 0x0D) || b0 == 0x20) return 1;
  if (text.size() < 2) return 0;
  const auto b1 = static_cast<unsigned char>(text[1]);
  if (b0 == 0xC2) return b1 == 0x85 || b1 == 0xA0 ? 2 : 0;  // U+0085, U+00A0
  if (text.size() < 3) return 0;
  const auto b2 = static_cast<unsigned char>(text[2]);
  if (b0 == 0xE1) return b1 == 0x9A && b2 == 0x80 ? 3 : 0;  // U+1680
  if (b0 == 0xE3) return b1 == 0x80 && b2 == 0x80 ? 3 : 0;  // U+3000
  if (b0 != 0xE2) return 0;
  if (b1 == 0x81) return b2 == 0x9F ? 3 : 0;  // U+205F
  if (b1 != 0x80) return 0;
  // U+2000 to U+200A, U+2028, U+2029, U+202F
  return (b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF ? 3 : 0;
}

// Length of the White_Space code point that `text` ends with, or 0.
std::size_t white_space_suffix(std::string_view text) {
  for (std::size_t length = 1; length <= 3 && length <= text.size(); ++length)
    if (white_space_prefix(text.substr(text.size() - length)) == length) return length;
  return 0;
}

}  // namespace

SigningKey::SigningKey(SigningKey&& other) noexcept : seed_(other.seed_) {
  sodium_memzero(other.seed_.data(), other.seed_.size());
}

SigningKey& SigningKey::operator=(SigningKey&& other) noexcept {
  if (this != &other) {
    seed_ = other.seed_;
    sodium_memzero(other.seed_.data(), other.seed_.size());
  }
  return *this;
}

SigningKey::~SigningKey() {
  sodium_memzero(seed_.data(), seed_.size());
}

SigningKey generate_signing_key() {
  std::array<std::byte, kSeedSize> seed;
  randombytes_buf(seed.data(), seed.size());
  SigningKey key(seed);
  sodium_memzero(seed.data(), seed.size());
  return key;
}

void write_secret_key_text(const SigningKey& key, SecretBuffer& out) {
  constexpr int kVariant = sodium_base64_VARIANT_ORIGINAL;
  constexpr std::size_t kTextSize = sodium_base64_ENCODED_LEN(kSeedSize, kVariant);  // with NUL
  std::span<char> room = out.spare();
  static_assert(kTextSize + 1 <= SecretBuffer::kCapacity);
  sodium_bin2base64(room.data(), kTextSize,
                    reinterpret_cast<const unsigned char*>(key.seed().data()), kSeedSize, kVariant);
  room[kTextSize - 1] = '\n';
  out.commit(kTextSize);
}

PublicKey public_key_of(const SigningKey& key) {
  PublicKey public_key;
  unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(reinterpret_cast<unsigned char*>(public_key.data()), secret_key,
                           reinterpret_cast<const unsigned char*>(key.seed().data()));
  sodium_memzero(secret_key, sizeof secret_key);
  return public_key;
}

std::string to_text(const Base64Error& error) {
  switch (error.kind) {
    case Base64Error::Kind::kInvalidSymbol:
      return "Invalid symbol " + std::to_string(error.byte) + ", offset " +
             std::to_string(error.offset) + ".";
    case Base64Error::Kind::kInvalidLength:
      return "Invalid input length: " + std::to_string(error.offset);
    case Base64Error::Kind::kInvalidLastSymbol:
      return "Invalid last symbol " + std::to_string(error.byte) + ", offset " +
             std::to_string(error.offset) + ".";
    case Base64Error::Kind::kInvalidPadding:
      break;
  }
  return "Invalid padding";
}

std::expected<std::string, Base64Error> decode_base64_strict(std::string_view text) {
  if (auto fault = find_base64_fault(text)) return std::unexpected(*fault);
  // Built in place and reserved once, so that no copy of the decoded bytes is left behind
  // by a move or a reallocation.
  std::expected<std::string, Base64Error> result(std::in_place);
  std::string& out = *result;
  out.reserve(text.size() / 4 * 3);
  std::uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    if (c == kPad) break;
    bits = (bits << 6) | static_cast<std::uint32_t>(symbol_value(c));
    if (++count == 4) {
      out += static_cast<char>(bits >> 16);
      out += static_cast<char>(bits >> 8);
      out += static_cast<char>(bits);
      bits = 0;
      count = 0;
    }
  }
  if (count == 3) {
    out += static_cast<char>(bits >> 10);
    out += static_cast<char>(bits >> 2);
  } else if (count == 2) {
    out += static_cast<char>(bits >> 4);
  }
  sodium_memzero(&bits, sizeof bits);
  return result;
}

std::string_view trim_white_space(std::string_view text) {
  while (const std::size_t n = white_space_prefix(text)) text.remove_prefix(n);
  while (const std::size_t n = white_space_suffix(text)) text.remove_suffix(n);
  return text;
}

std::expected<SigningKey, KeyTextError> signing_key_from_text(std::string_view text) {
  auto decoded = decode_base64_strict(trim_white_space(text));
  if (!decoded)
    return std::unexpected(
        KeyTextError{.kind = KeyTextError::Kind::kNotBase64, .base64 = decoded.error()});
  const ScopedWipe wipe_decoded(*decoded);
  if (decoded->size() != kSeedSize)
    return std::unexpected(KeyTextError{.kind = KeyTextError::Kind::kWrongSize});
  std::array<std::byte, kSeedSize> seed;
  std::memcpy(seed.data(), decoded->data(), kSeedSize);
  std::expected<SigningKey, KeyTextError> key(std::in_place, seed);
  sodium_memzero(seed.data(), seed.size());
  return key;
}

std::expected<SigningKey, std::string> signing_key_from_value(const char* value) {
  const std::string variable(kSigningKeyVariable);
  if (value == nullptr || !is_valid_utf8(value))
    return std::unexpected("environment variable " + variable + " is not set");
  auto key = signing_key_from_text(value);
  if (key) return std::move(*key);
  if (key.error().kind == KeyTextError::Kind::kNotBase64)
    return std::unexpected(variable + " is not valid base64: " + to_text(key.error().base64));
  return std::unexpected(variable + " must decode to exactly 32 bytes");
}

std::expected<SigningKey, std::string> signing_key_from_environment() {
  return signing_key_from_value(std::getenv(std::string(kSigningKeyVariable).c_str()));
}

}  // namespace plugin_sign
