// The strict Base64 decoder against a second, deliberately plain one written straight from
// the rules: both must accept the same texts with the same bytes, and refuse the others with
// the same message. The whole key path (trim, decode, size) is compared the same way.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "io/utf8.hpp"
#include "signing/signing_key.hpp"

namespace plugin_sign::fuzzing {
namespace {

bool is_symbol(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

unsigned value_of(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  return c == '+' ? 62 : 63;
}

std::string invalid_symbol(unsigned char c, std::size_t offset) {
  return "Invalid symbol " + std::to_string(c) + ", offset " + std::to_string(offset) + ".";
}

// The decoded bytes, or the detail message; `ok` tells which.
struct Decoded {
  bool ok = false;
  std::string bytes_or_message;
};

Decoded refuse(std::string message) {
  return Decoded{false, std::move(message)};
}

Decoded reference_decode(std::string_view text) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const std::size_t n = text.size();
  if (n == 0) return Decoded{true, ""};
  const std::size_t final_start = n % 4 == 0 ? n - 4 : n - n % 4;

  // 1. A lone final byte is looked at before anything else.
  if (n % 4 == 1 && at(n - 1) != '=' && !is_symbol(at(n - 1)))
    return refuse(invalid_symbol(at(n - 1), n - 1));
  // 2. Inner groups hold symbols only; "=" too is refused there.
  for (std::size_t i = 0; i < final_start; ++i)
    if (!is_symbol(at(i))) return refuse(invalid_symbol(at(i), i));
  // 3. The final group, left to right.
  std::size_t first_pad = n;
  for (std::size_t i = final_start; i < n; ++i) {
    if (at(i) == '=' && first_pad < n) continue;
    // Anything but more padding after an "=" is blamed on the first "=".
    if (first_pad < n) return refuse(invalid_symbol('=', first_pad));
    if (at(i) == '=') {
      if (i - final_start < 2) return refuse(invalid_symbol('=', i));
      first_pad = i;
    } else if (!is_symbol(at(i))) {
      return refuse(invalid_symbol(at(i), i));
    }
  }
  const std::size_t symbols = first_pad - final_start;
  const std::size_t pads = n - first_pad;
  // 4. One symbol cannot make a byte.
  if (symbols == 1) return refuse("Invalid input length: " + std::to_string(n));
  // 5. Symbols and padding fill the group.
  if (symbols + pads != 4) return refuse("Invalid padding");
  // 6. Bits that carry nothing are zero.
  const std::size_t last = final_start + symbols - 1;
  const unsigned unused = symbols == 2 ? 0xF : symbols == 3 ? 0x3 : 0;
  if ((value_of(at(last)) & unused) != 0)
    return refuse("Invalid last symbol " + std::to_string(at(last)) + ", offset " +
                  std::to_string(last) + ".");

  std::string out;
  for (std::size_t group = 0; group < n; group += 4) {
    std::uint32_t bits = 0;
    std::size_t count = 0;
    for (std::size_t i = group; i < group + 4 && i < first_pad; ++i, ++count)
      bits = bits << 6 | value_of(at(i));
    bits <<= 6 * (4 - count);
    for (std::size_t k = 0; k + 1 < count; ++k)
      out += static_cast<char>(bits >> (16 - 8 * k) & 0xFF);
  }
  return Decoded{true, out};
}

// The 25 code points with the White_Space property, and nothing else.
bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// The code point starting at byte `i` of valid UTF-8, and its length.
std::pair<char32_t, std::size_t> code_point_at(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  if (b(i) < 0x80) return {b(i), 1};
  if (b(i) < 0xE0) return {(b(i) & 0x1Fu) << 6 | (b(i + 1) & 0x3Fu), 2};
  if (b(i) < 0xF0) return {(b(i) & 0x0Fu) << 12 | (b(i + 1) & 0x3Fu) << 6 | (b(i + 2) & 0x3Fu), 3};
  return {(b(i) & 0x07u) << 18 | (b(i + 1) & 0x3Fu) << 12 | (b(i + 2) & 0x3Fu) << 6 |
              (b(i + 3) & 0x3Fu),
          4};
}

std::string_view reference_trim(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    const auto [c, length] = code_point_at(s, begin);
    if (!is_white_space(c)) break;
    begin += length;
  }
  std::size_t end = s.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while ((static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    if (!is_white_space(code_point_at(s, start).first)) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

// The run's message for a key value, or "" for a key accepted with the given seed.
std::string reference_key_message(const std::string& value, std::string* seed) {
  const std::string variable = "KAVENTA_PLUGIN_SIGNING_KEY";
  if (!is_valid_utf8(value)) return "environment variable " + variable + " is not set";
  const Decoded decoded = reference_decode(reference_trim(value));
  if (!decoded.ok) return variable + " is not valid base64: " + decoded.bytes_or_message;
  if (decoded.bytes_or_message.size() != 32) return variable + " must decode to exactly 32 bytes";
  *seed = decoded.bytes_or_message;
  return "";
}

void compare_decoder(std::string_view text) {
  const Decoded expected = reference_decode(text);
  const auto got = decode_base64_strict(text);
  if (expected.ok) {
    require(got.has_value(), "the decoder accepts", got ? "" : to_text(got.error()));
    require(*got == expected.bytes_or_message, "the decoded bytes", *got,
            expected.bytes_or_message);
  } else {
    require(!got.has_value(), "the decoder refuses", expected.bytes_or_message);
    require(to_text(got.error()) == expected.bytes_or_message, "the detail message",
            to_text(got.error()), expected.bytes_or_message);
  }
}

void compare_key(const std::string& value) {
  std::string seed;
  const std::string expected = reference_key_message(value, &seed);
  const auto got = signing_key_from_value(value.c_str());
  if (expected.empty()) {
    require(got.has_value(), "the key is accepted", got ? "" : got.error());
    const auto& bytes = got->seed();
    require(std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()) == seed,
            "the seed bytes");
  } else {
    require(!got.has_value(), "the key is refused", expected);
    require(got.error() == expected, "the key message", got.error(), expected);
  }
}

}  // namespace
}  // namespace plugin_sign::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  plugin_sign::fuzzing::compare_decoder(text);
  // An environment value ends at its first NUL byte.
  plugin_sign::fuzzing::compare_key(text.substr(0, text.find('\0')));
  return 0;
}
