// public_key.cpp — public keys as texts, key IDs and key files (include/plugin_sign/keys.hpp).
#include <sodium.h>

#include <cstring>
#include <optional>

#include "plugin_sign/keys.hpp"
#include "signing/manifest.hpp"
#include "signing/signature.hpp"
#include "signing/signing_key.hpp"
#include "signing/text_lines.hpp"

namespace plugin_sign {
namespace {

// SubjectPublicKeyInfo of an Ed25519 key (RFC 8410) is this prefix and the 32 key bytes.
constexpr unsigned char kSpkiPrefix[] = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03,
                                         0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};
constexpr std::size_t kSpkiSize = sizeof kSpkiPrefix + 32;
constexpr std::string_view kPemBegin = "-----BEGIN PUBLIC KEY-----";
constexpr std::string_view kPemEnd = "-----END PUBLIC KEY-----";
constexpr std::string_view kNamesOption = "names=";

// The patterns of "names=a,b*": at least one, none empty.
std::expected<std::vector<std::string>, std::string> parse_names(std::string_view list) {
  if (list.empty()) return std::unexpected("names= needs at least one package name pattern");
  std::vector<std::string> names;
  while (true) {
    const std::size_t comma = list.find(',');
    const std::string_view pattern = list.substr(0, comma);
    if (pattern.empty()) return std::unexpected("empty pattern in names=");
    // A carriage return or another control character is invisible in an editor and would
    // make two files that look the same trust different names.
    for (const char c : pattern)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
        return std::unexpected("control character " + std::to_string(static_cast<int>(c)) +
                               " in names=");
    names.emplace_back(pattern);
    if (comma == std::string_view::npos) return names;
    list.remove_prefix(comma + 1);
  }
}

// One key line: the key, then options; only "names=" is known, and once.
std::expected<TrustedKey, std::string> parse_key_line(std::string_view line) {
  const std::vector<std::string_view> words = split_words(line);
  auto key = parse_public_key(words[0]);
  if (!key) return std::unexpected(key.error());
  TrustedKey trusted{*key, {}};
  bool names_seen = false;
  for (std::size_t i = 1; i < words.size(); ++i) {
    if (!words[i].starts_with(kNamesOption))
      return std::unexpected("unknown option \"" + short_prefix(words[i]) +
                             "\" (the one option is names=PATTERN,...)");
    if (names_seen) return std::unexpected("names= given twice");
    names_seen = true;
    auto names = parse_names(words[i].substr(kNamesOption.size()));
    if (!names) return std::unexpected(names.error());
    trusted.names = std::move(*names);
  }
  return trusted;
}

// A key that no key pair has: a point of small or mixed order, or one not canonically encoded.
// A mixed-order key (a real key plus a small-order point) verifies the real key's signatures
// under another key ID, so revoking the real key would not cover it.
std::optional<std::string> check_key_point(const PublicKey& key) {
  if (!initialise_crypto()) return "the crypto library could not start";
  if (crypto_core_ed25519_is_valid_point(reinterpret_cast<const unsigned char*>(key.data())) == 1)
    return std::nullopt;
  return "public key is not a point of Ed25519's prime-order subgroup, so no key pair has it "
         "(small or mixed order, or not canonically encoded)";
}

// A file that is one PEM block, as `openssl pkey -pubout` writes an Ed25519 key: the BEGIN
// line, the 60 Base64 characters of the SubjectPublicKeyInfo, the END line.
std::expected<PublicKey, std::string> parse_pem_lines(const std::vector<std::string_view>& lines) {
  if (lines[0] != kPemBegin)
    return std::unexpected(line_error(1, "expected " + std::string(kPemBegin)));
  if (lines.size() < 3 || lines[2] != kPemEnd)
    return std::unexpected(
        line_error(lines.size() < 3 ? lines.size() + 1 : 3,
                   "expected " + std::string(kPemEnd) + " after one line of base64"));
  for (std::size_t i = 3; i < lines.size(); ++i)
    if (!lines[i].empty()) return std::unexpected(line_error(i + 1, "text after the PEM block"));
  auto der = decode_base64_strict(lines[1]);
  if (!der) return std::unexpected(line_error(2, "not valid base64: " + to_text(der.error())));
  if (der->size() != kSpkiSize || std::memcmp(der->data(), kSpkiPrefix, sizeof kSpkiPrefix) != 0)
    return std::unexpected(line_error(2, "not an Ed25519 public key"));
  PublicKey key;
  std::memcpy(key.data(), der->data() + sizeof kSpkiPrefix, key.size());
  if (auto refused = check_key_point(key)) return std::unexpected(line_error(2, *refused));
  return key;
}

// Whether `pattern` matches all of `name`, "*" standing for any run of characters. Only the
// last "*" seen is a point to resume from, since a later "*" can take over whatever an earlier
// one could: the time is bounded by the product of the lengths, never exponential.
bool matches(std::string_view pattern, std::string_view name) {
  std::size_t p = 0;
  std::size_t n = 0;
  std::optional<std::size_t> star;
  std::size_t resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() && pattern[p] == name[n]) {
      ++p;
      ++n;
    } else if (star) {
      p = *star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

std::string key_id(const PublicKey& key) {
  constexpr std::size_t kIdBytes = 8;
  const std::array<std::byte, 32> digest = sha256(key);
  char hex[2 * kIdBytes + 1];
  sodium_bin2hex(hex, sizeof hex, reinterpret_cast<const unsigned char*>(digest.data()), kIdBytes);
  return std::string(hex, 2 * kIdBytes);
}

std::string public_key_base64(const PublicKey& key) {
  return encode_base64(key);
}

std::string public_key_pem(const PublicKey& key) {
  std::array<std::byte, kSpkiSize> der;
  std::memcpy(der.data(), kSpkiPrefix, sizeof kSpkiPrefix);
  std::memcpy(der.data() + sizeof kSpkiPrefix, key.data(), key.size());
  return std::string(kPemBegin) + "\n" + encode_base64(der) + "\n" + std::string(kPemEnd) + "\n";
}

// Not trimmed: a key that arrives with white space was cut from somewhere carelessly, and
// the key-file parser has already taken its line apart.
std::expected<PublicKey, std::string> parse_public_key(std::string_view base64) {
  auto decoded = decode_base64_strict(base64);
  if (!decoded)
    return std::unexpected("public key is not valid base64: " + to_text(decoded.error()));
  if (decoded->size() != 32)
    return std::unexpected("public key must decode to exactly 32 bytes, found " +
                           std::to_string(decoded->size()));
  PublicKey key;
  std::memcpy(key.data(), decoded->data(), key.size());
  if (auto refused = check_key_point(key)) return std::unexpected(*refused);
  return key;
}

std::expected<std::vector<TrustedKey>, std::string> parse_trusted_keys(std::string_view text) {
  const std::vector<std::string_view> lines = split_lines(text);
  if (!lines.empty() && lines[0].starts_with("-----")) {
    auto key = parse_pem_lines(lines);
    if (!key) return std::unexpected(key.error());
    return std::vector<TrustedKey>{TrustedKey{*key, {}}};
  }
  std::vector<TrustedKey> keys;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line.empty() || line[0] == '#') continue;
    if (is_blank(line[0])) return std::unexpected(line_error(i + 1, "white space before the key"));
    if (is_blank(line.back())) return std::unexpected(line_error(i + 1, "trailing white space"));
    if (line.starts_with("-----"))
      return std::unexpected(line_error(i + 1, "a PEM block must be the whole file"));
    auto key = parse_key_line(line);
    if (!key) return std::unexpected(line_error(i + 1, key.error()));
    keys.push_back(std::move(*key));
  }
  if (keys.empty()) return std::unexpected("no public key in the file");
  return keys;
}

bool allows_name(const TrustedKey& trusted, std::string_view name) {
  if (trusted.names.empty()) return true;
  for (const std::string& pattern : trusted.names)
    if (matches(pattern, name)) return true;
  return false;
}

}  // namespace plugin_sign
