#include "json_value.hpp"

#include <cstdint>

namespace plugin_sign {
namespace {

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  std::optional<JsonValue> document() {
    std::optional<JsonValue> value = read_value();
    skip_space();
    if (!value || pos_ != text_.size()) return std::nullopt;
    return value;
  }

 private:
  void skip_space() {
    while (pos_ < text_.size() &&
           std::string_view(" \t\r\n").find(text_[pos_]) != std::string_view::npos)
      ++pos_;
  }

  bool eat(char c) {
    skip_space();
    if (pos_ >= text_.size() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }

  std::optional<JsonValue> read_value() {
    skip_space();
    if (pos_ >= text_.size()) return std::nullopt;
    const char c = text_[pos_];
    if (c == '{') return read_object();
    if (c == '[') return read_array();
    if (c == '"') {
      std::optional<std::string> text = read_string();
      if (!text) return std::nullopt;
      return JsonValue{JsonValue::Kind::kString, std::move(*text), {}, {}};
    }
    return read_literal();
  }

  std::optional<JsonValue> read_literal() {
    const std::size_t start = pos_;
    while (pos_ < text_.size() &&
           std::string_view(",]} \t\r\n").find(text_[pos_]) == std::string_view::npos)
      ++pos_;
    const std::string word(text_.substr(start, pos_ - start));
    if (word.empty()) return std::nullopt;
    if (word == "null") return JsonValue{};
    if (word == "true" || word == "false") return JsonValue{JsonValue::Kind::kBool, word, {}, {}};
    return JsonValue{JsonValue::Kind::kNumber, word, {}, {}};
  }

  std::optional<std::uint32_t> read_hex4() {
    if (pos_ + 4 > text_.size()) return std::nullopt;
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      value <<= 4;
      if (c >= '0' && c <= '9')
        value |= static_cast<std::uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f')
        value |= static_cast<std::uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        value |= static_cast<std::uint32_t>(c - 'A' + 10);
      else
        return std::nullopt;
    }
    return value;
  }

  std::optional<std::uint32_t> read_unicode_escape() {
    std::optional<std::uint32_t> high = read_hex4();
    if (!high || *high < 0xD800 || *high > 0xDBFF) return high;
    if (text_.substr(pos_, 2) != "\\u") return std::nullopt;
    pos_ += 2;
    std::optional<std::uint32_t> low = read_hex4();
    if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
    return 0x10000 + ((*high - 0xD800) << 10) + (*low - 0xDC00);
  }

  std::optional<std::string> read_string() {
    ++pos_;  // the opening quote
    std::string out;
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) return std::nullopt;
      const char escape = text_[pos_++];
      const std::string_view simple = "\"\\/bfnrt";
      const std::string_view meaning = "\"\\/\b\f\n\r\t";
      if (const std::size_t at = simple.find(escape); at != std::string_view::npos) {
        out += meaning[at];
      } else if (escape == 'u') {
        std::optional<std::uint32_t> cp = read_unicode_escape();
        if (!cp) return std::nullopt;
        append_utf8(out, *cp);
      } else {
        return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::optional<JsonValue> read_array() {
    ++pos_;
    JsonValue array{JsonValue::Kind::kArray, {}, {}, {}};
    if (eat(']')) return array;
    do {
      std::optional<JsonValue> item = read_value();
      if (!item) return std::nullopt;
      array.items.push_back(std::move(*item));
    } while (eat(','));
    if (!eat(']')) return std::nullopt;
    return array;
  }

  std::optional<JsonValue> read_object() {
    ++pos_;
    JsonValue object{JsonValue::Kind::kObject, {}, {}, {}};
    if (eat('}')) return object;
    do {
      skip_space();
      if (pos_ >= text_.size() || text_[pos_] != '"') return std::nullopt;
      std::optional<std::string> key = read_string();
      if (!key || !eat(':')) return std::nullopt;
      std::optional<JsonValue> value = read_value();
      if (!value) return std::nullopt;
      object.members.emplace_back(std::move(*key), std::move(*value));
    } while (eat(','));
    if (!eat('}')) return std::nullopt;
    return object;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

std::optional<JsonValue> parse_json(std::string_view text) {
  return JsonReader(text).document();
}

}  // namespace plugin_sign
