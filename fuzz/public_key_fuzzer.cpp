// Key files, public keys, signature texts and name patterns, all from hostile input: every
// accepted text must come back from the encoders exactly (a key file as the same keys and
// names), and allows_name must agree with a plain table-filling matcher.
#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_check.hpp"
#include "plugin_sign/keys.hpp"
#include "signing/signature.hpp"

namespace plugin_sign::fuzzing {
namespace {

// Names longer than this are cut, so that the reference matcher stays quick; the matcher
// under test gets the same texts.
constexpr std::size_t kMaxMatchLength = 256;

// Whether `pattern` matches all of `name`, "*" any run, filled in one pattern byte at a time:
// row[j] says whether the pattern bytes so far match the first j name bytes. Any pattern
// length: only one row of the name's length is kept.
bool reference_matches(std::string_view pattern, std::string_view name) {
  std::vector<bool> row(name.size() + 1, false);
  row[0] = true;
  for (const char c : pattern) {
    std::vector<bool> next(name.size() + 1, false);
    for (std::size_t j = 0; j <= name.size(); ++j) {
      if (c == '*')
        next[j] = row[j] || (j > 0 && next[j - 1]);
      else
        next[j] = j > 0 && row[j - 1] && c == name[j - 1];
    }
    row = std::move(next);
  }
  return row[name.size()];
}

std::string without_stars(std::string_view pattern, std::string_view filler) {
  std::string out;
  for (const char c : pattern) {
    if (c == '*')
      out += filler;
    else
      out += c;
  }
  return out;
}

// The key file that says the same: one line a key, its names after " names=".
std::string serialise(const std::vector<TrustedKey>& keys) {
  std::string text;
  for (const TrustedKey& trusted : keys) {
    text += public_key_base64(trusted.key);
    for (std::size_t i = 0; i < trusted.names.size(); ++i)
      text += (i == 0 ? " names=" : ",") + trusted.names[i];
    text += "\n";
  }
  return text;
}

void check_key_file(std::string_view text, std::string_view name) {
  const auto keys = parse_trusted_keys(text);
  if (!keys) {
    require(!keys.error().empty(), "a refusal says why");
    return;
  }
  require(!keys->empty(), "an accepted key file holds a key");
  const auto again = parse_trusted_keys(serialise(*keys));
  require(again.has_value(), "the serialised key file parses", again ? "" : again.error(),
          serialise(*keys));
  require(again->size() == keys->size(), "the same number of keys");
  for (std::size_t k = 0; k < keys->size(); ++k) {
    const TrustedKey& trusted = (*keys)[k];
    require((*again)[k].key == trusted.key, "the same key");
    require((*again)[k].names == trusted.names, "the same names");
    const auto pem = parse_trusted_keys(public_key_pem(trusted.key));
    require(pem && pem->size() == 1 && (*pem)[0].key == trusted.key, "the PEM form parses back");
    for (const std::string& pattern : trusted.names) {
      require(!pattern.empty(), "no empty pattern");
      const TrustedKey only{trusted.key, {pattern}};
      require(allows_name(only, without_stars(pattern, "")), "stars match the empty run", pattern);
      require(allows_name(only, without_stars(pattern, name.substr(0, 16))), "stars match any run",
              pattern);
    }
    if (name.size() <= kMaxMatchLength) {
      bool expected = trusted.names.empty();
      for (const std::string& pattern : trusted.names)
        expected = expected || reference_matches(pattern, name);
      require(allows_name(trusted, name) == expected, "any pattern of the key may match", name);
    }
  }
}

void check_single_texts(std::string_view text) {
  if (const auto key = parse_public_key(text)) {
    require(public_key_base64(*key) == text, "a public key's text is canonical", text);
    require(crypto_core_ed25519_is_valid_point(
                reinterpret_cast<const unsigned char*>(key->data())) == 1,
            "an accepted key is in the prime-order subgroup", text);
  }
  if (const auto signature = decode_signature_text(text))
    require(encode_base64(*signature) == text, "a signature's text is canonical", text);
}

void check_matcher(std::string_view pattern, std::string_view name) {
  name = name.substr(0, kMaxMatchLength);
  const TrustedKey trusted{PublicKey{}, {std::string(pattern)}};
  require(allows_name(trusted, name) == reference_matches(pattern, name),
          "allows_name agrees with the reference", name, pattern);
}

}  // namespace
}  // namespace plugin_sign::fuzzing

// The input is taken whole as each kind of text, and, split at its first NUL byte, as a
// pattern and a package name.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = text.find('\0');
  const std::string_view head = text.substr(0, nul);
  const std::string_view tail = nul == std::string_view::npos ? "" : text.substr(nul + 1);
  plugin_sign::fuzzing::check_key_file(text, tail);
  plugin_sign::fuzzing::check_key_file(head, tail);
  plugin_sign::fuzzing::check_single_texts(text);
  plugin_sign::fuzzing::check_matcher(head, tail);
  return 0;
}
