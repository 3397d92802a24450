#include "io/utf8.hpp"

#include <cstddef>

namespace plugin_sign {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The length of a well-formed sequence starting at `pos`, or 0 when it is ill-formed; in
// that case `subpart` is the length of the maximal subpart to replace (at least 1).
std::size_t sequence_length(std::string_view s, std::size_t pos, std::size_t& subpart) {
  const auto lead = static_cast<unsigned char>(s[pos]);
  subpart = 1;
  const std::size_t length = utf8_sequence_length(s[pos]);
  if (length == 1) return lead < 0x80 ? 1 : 0;
  // C0 and C1 could only start overlong forms, F5 to F7 only forms above U+10FFFF.
  if (lead < 0xC2 || lead > 0xF4) return 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead == 0xE0) low = 0xA0;           // overlong
  if (lead == 0xED) high = 0x9F;          // surrogates
  if (lead == 0xF0) low = 0x90;           // overlong
  if (lead == 0xF4) high = 0x8F;          // above U+10FFFF
  for (std::size_t i = 1; i < length; ++i) {
    if (pos + i >= s.size()) return 0;
    const auto c = static_cast<unsigned char>(s[pos + i]);
    const bool fits = i == 1 ? (c >= low && c <= high) : (c >= 0x80 && c <= 0xBF);
    if (!fits) return 0;
    subpart = i + 1;
  }
  return length;
}

}  // namespace

std::size_t utf8_sequence_length(char lead) {
  const auto byte = static_cast<unsigned char>(lead);
  if ((byte & 0xE0) == 0xC0) return 2;
  if ((byte & 0xF0) == 0xE0) return 3;
  if ((byte & 0xF8) == 0xF0) return 4;
  return 1;
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t subpart = 0;
  for (std::size_t pos = 0; pos < bytes.size();) {
    const std::size_t length = sequence_length(bytes, pos, subpart);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

std::string to_utf8_lossy(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string text;
  text.reserve(bytes.size() + 16);
  std::size_t subpart = 0;
  for (std::size_t pos = 0; pos < bytes.size();) {
    const std::size_t length = sequence_length(bytes, pos, subpart);
    if (length == 0) {
      text += kReplacement;
      pos += subpart;
    } else {
      text.append(bytes.substr(pos, length));
      pos += length;
    }
  }
  return text;
}

}  // namespace plugin_sign
