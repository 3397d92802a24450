// escaped_field.cpp — one escaped form per text (io/escaped_field.hpp).
#include "io/escaped_field.hpp"

#include <array>

namespace plugin_sign {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// By table: a host reads every field of its version record on each verification.
constexpr std::array<bool, 256> kLiteral = [] {
  std::array<bool, 256> literal{};
  for (int byte = 0x21; byte < 0x7F; ++byte) literal[byte] = byte != '%';
  return literal;
}();

bool stays_literal(unsigned char byte) {
  return kLiteral[byte];
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lowercase too: one form per byte
}

// The byte of "%HH" at `field[i]`, or -1 when it is not an escape that escape_field writes.
int escaped_byte(std::string_view field, std::size_t i) {
  if (i + 2 >= field.size()) return -1;
  const int high = hex_value(field[i + 1]), low = hex_value(field[i + 2]);
  if (high < 0 || low < 0) return -1;
  const int byte = high * 16 + low;
  if (stays_literal(static_cast<unsigned char>(byte)) && !(byte == '-' && field == "%2D"))
    return -1;
  return byte;
}

}  // namespace

std::string escape_field(std::string_view text) {
  if (text.empty()) return "-";
  if (text == "-") return "%2D";
  std::string field;
  field.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (stays_literal(byte)) {
      field += c;
    } else {
      field += '%';
      field += kHexDigits[byte >> 4];
      field += kHexDigits[byte & 0xF];
    }
  }
  return field;
}

bool is_escaped_field(std::string_view field) {
  if (field == "-") return true;
  if (field.empty()) return false;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '%') {
      if (escaped_byte(field, i) < 0) return false;
      i += 2;
    } else if (!stays_literal(static_cast<unsigned char>(field[i]))) {
      return false;
    }
  }
  return true;
}

// Checked first, so that the loop below only decodes.
std::optional<std::string> unescape_field(std::string_view field) {
  if (!is_escaped_field(field)) return std::nullopt;
  if (field == "-") return std::string();
  std::string text;
  text.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '%') {
      text += static_cast<char>(escaped_byte(field, i));
      i += 2;
    } else {
      text += field[i];
    }
  }
  return text;
}

}  // namespace plugin_sign
