// revocation.cpp — revocation statements and files (include/plugin_sign/revocations.hpp).
#include "signing/revocation.hpp"

#include <cstring>

#include "io/escaped_field.hpp"
#include "plugin/semver.hpp"
#include "plugin_sign/revocations.hpp"
#include "signing/text_lines.hpp"

namespace plugin_sign {
namespace {

// The domain of a revocation signature. A package signature covers a manifest, 161 bytes that
// begin with "{"; this message begins with "p" and is 62 bytes long, so neither signature can
// stand for the other.
constexpr std::string_view kRevocationPrefix = "plugin_sign key revocation v1\n";
constexpr std::size_t kKeyIdDigits = 16;
constexpr std::size_t kSha256Digits = 64;

bool is_lowercase_hex(std::string_view text) {
  for (const char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// The length is checked first, so that the quoted text is never longer than the digits asked for.
std::expected<std::string, std::string> parse_hex(std::string_view what, std::size_t digits,
                                                  std::string_view text) {
  if (text.size() != digits)
    return std::unexpected(std::string(what) + " must be " + std::to_string(digits) +
                           " hexadecimal digits, found " + std::to_string(text.size()) +
                           " characters");
  if (!is_lowercase_hex(text))
    return std::unexpected(std::string(what) + " must be lowercase hexadecimal digits, found \"" +
                           std::string(text) + "\"");
  return std::string(text);
}

std::expected<Signature, std::string> parse_statement_signature(std::string_view text) {
  constexpr std::size_t kTextSize = 88;
  if (text.size() != kTextSize)
    return std::unexpected("signature must be 88 characters of base64, found " +
                           std::to_string(text.size()));
  auto decoded = decode_base64_strict(text);
  if (!decoded)
    return std::unexpected("signature is not valid base64: " + to_text(decoded.error()));
  Signature signature;
  if (decoded->size() != signature.size())
    return std::unexpected("signature must decode to exactly 64 bytes, found " +
                           std::to_string(decoded->size()));
  std::memcpy(signature.data(), decoded->data(), signature.size());
  return signature;
}

// A statement is checked here, not when a package is verified: a file that holds a forged or
// damaged one is refused whole, so that nobody believes a key revoked that is not.
std::expected<PublicKey, std::string> parse_statement(const std::vector<std::string_view>& words) {
  if (words.size() != 3)
    return std::unexpected(
        "key takes a public key and a signature, as plugin_key revoke prints them");
  auto key = parse_public_key(words[1]);
  if (!key) return std::unexpected(key.error());
  auto signature = parse_statement_signature(words[2]);
  if (!signature) return std::unexpected(signature.error());
  if (!verify_revocation(*key, *signature))
    return std::unexpected("the signature is not this key's revocation statement");
  return *key;
}

// A floor for one name: written as the version record writes names, so that a name with a
// space is one word.
std::expected<VersionFloor, std::string> parse_floor(const std::vector<std::string_view>& words) {
  if (words.size() != 3)
    return std::unexpected("below takes a package name and a version, e.g. below hello 1.4.0");
  auto name = unescape_field(words[1]);
  if (!name)
    return std::unexpected(
        "below: the package name must be written with %HH escapes for a space, \"%\" and "
        "bytes outside printable ASCII (e.g. my%20plugin)");
  if (!is_semver(words[2]))
    return std::unexpected("below: the version must be a semantic version such as 1.4.0");
  return VersionFloor{.name = std::move(*name), .version = std::string(words[2])};
}

std::expected<void, std::string> parse_entry(std::string_view line, Revocations& out) {
  const std::vector<std::string_view> words = split_words(line);
  const std::string_view word = words[0];
  if (word == "key") {
    auto key = parse_statement(words);
    if (!key) return std::unexpected(key.error());
    out.keys.push_back(*key);
    return {};
  }
  if (word == "key-id" || word == "package") {
    const bool is_key_id = word == "key-id";
    if (words.size() != 2)
      return std::unexpected(is_key_id ? "key-id takes one key ID of 16 hexadecimal digits"
                                       : "package takes one manifest_sha256 of 64 hexadecimal "
                                         "digits");
    auto hex = parse_hex(word, is_key_id ? kKeyIdDigits : kSha256Digits, words[1]);
    if (!hex) return std::unexpected(hex.error());
    (is_key_id ? out.key_ids : out.packages).push_back(std::move(*hex));
    return {};
  }
  if (word == "below") {
    auto floor = parse_floor(words);
    if (!floor) return std::unexpected(floor.error());
    out.floors.push_back(std::move(*floor));
    return {};
  }
  return std::unexpected("unknown entry \"" + short_prefix(word) +
                         "\" (the entries are key, key-id, package and below)");
}

}  // namespace

std::string revocation_message(const PublicKey& key) {
  std::string message(kRevocationPrefix);
  message.append(reinterpret_cast<const char*>(key.data()), key.size());
  return message;
}

std::string revocation_statement(const SigningKey& key) {
  const PublicKey public_key = public_key_of(key);
  const std::string message = revocation_message(public_key);
  const Signature signature = sign_manifest(key, std::as_bytes(std::span(message)));
  return "key " + public_key_base64(public_key) + " " + encode_base64(signature) + "\n";
}

bool verify_revocation(const PublicKey& key, const Signature& signature) {
  const std::string message = revocation_message(key);
  return verify_signature(key, std::as_bytes(std::span(message)), signature);
}

std::expected<Revocations, std::string> parse_revocations(std::string_view text) {
  if (!initialise_crypto()) return std::unexpected("the crypto library could not start");
  const std::vector<std::string_view> lines = split_lines(text);
  Revocations revocations;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line.empty() || line[0] == '#') continue;
    if (is_blank(line[0]))
      return std::unexpected(line_error(i + 1, "white space before the entry"));
    if (is_blank(line.back())) return std::unexpected(line_error(i + 1, "trailing white space"));
    auto entry = parse_entry(line, revocations);
    if (!entry) return std::unexpected(line_error(i + 1, entry.error()));
  }
  return revocations;
}

}  // namespace plugin_sign
