// signing_key_cases.hpp — key values the signer refuses, with its whole message for each:
// shared by the unit tests of the decoder and the end-to-end tests of every tool that reads
// a secret key, so that all of them refuse alike.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace plugin_sign::signing_key_cases {

// The RFC 8032 TEST 1 seed in Base64.
inline const std::string kKey = "nWGxne/9WmC6hEr0kuwsxERJxWl7MmkZcDusAxyuf2A=";

inline const std::string kNotSet = "environment variable KAVENTA_PLUGIN_SIGNING_KEY is not set";
inline const std::string kNotBase64 = "KAVENTA_PLUGIN_SIGNING_KEY is not valid base64: ";
inline const std::string kWrongSize = "KAVENTA_PLUGIN_SIGNING_KEY must decode to exactly 32 bytes";
inline const std::string kBom = "\xEF\xBB\xBF";

inline std::string with_char(std::string text, std::size_t offset, char c) {
  text.replace(offset, 1, 1, c);
  return text;
}

struct RefusedValue {
  const char* name;
  std::optional<std::string> value;  // nullopt: the variable is unset
  std::string message;
};

inline std::vector<RefusedValue> refused_values() {
  const std::string a40(40, 'A');
  return {
      {"unset", std::nullopt, kNotSet},
      {"invalid UTF-8 is treated as unset", kKey + "\xFF", kNotSet},
      {"lone continuation byte", "\x80", kNotSet},
      {"empty", "", kWrongSize},
      {"white space only", " \t\r\n\xC2\xA0\xE3\x80\x80", kWrongSize},
      {"24 bytes", std::string(32, 'A'), kWrongSize},
      {"31 bytes", std::string(42, 'A') + "==", kWrongSize},
      {"33 bytes", std::string(44, 'A'), kWrongSize},
      {"48 bytes: the seed as hex text",
       "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60", kWrongSize},
      {"byte order mark before the key", kBom + kKey, kNotBase64 + "Invalid symbol 239, offset 0."},
      {"byte order mark after the key puts its = in an inner group", kKey + kBom,
       kNotBase64 + "Invalid symbol 61, offset 43."},
      {"padding missing", kKey.substr(0, 43), kNotBase64 + "Invalid padding"},
      {"second = appended", kKey + "=", kNotBase64 + "Invalid symbol 61, offset 43."},
      {"stray bits in the last symbol", with_char(kKey, 42, '9'),
       kNotBase64 + "Invalid last symbol 57, offset 42."},
      {"space after the fourth symbol", kKey.substr(0, 4) + " " + kKey.substr(4),
       kNotBase64 + "Invalid symbol 32, offset 4."},
      {"offsets count from the trimmed text",
       " \t\xC2\xA0" + kKey.substr(0, 4) + " " + kKey.substr(4),
       kNotBase64 + "Invalid symbol 32, offset 4."},
      {"URL-safe -", with_char(kKey, 10, '-'), kNotBase64 + "Invalid symbol 45, offset 10."},
      {"URL-safe _ before -", with_char(with_char(kKey, 6, '_'), 20, '-'),
       kNotBase64 + "Invalid symbol 95, offset 6."},
      {"45 symbols", std::string(45, 'A'), kNotBase64 + "Invalid input length: 45"},
      {"one symbol and three =", a40 + "A===", kNotBase64 + "Invalid symbol 61, offset 41."},
      {"symbol after =", a40 + "AA=A", kNotBase64 + "Invalid symbol 61, offset 42."},
      {"exclamation mark in the final group", std::string(43, 'A') + "!",
       kNotBase64 + "Invalid symbol 33, offset 43."},
      {"lone last byte is checked before earlier faults", "AAA!" + a40 + "!",
       kNotBase64 + "Invalid symbol 33, offset 44."},
  };
}

}  // namespace plugin_sign::signing_key_cases
