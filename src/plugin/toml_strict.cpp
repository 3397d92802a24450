#include "plugin/toml_strict.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "io/utf8.hpp"

namespace plugin_sign {
namespace {

bool is_bare_key_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

bool ends_key_token(char c) {
  return std::string_view(" \t\r\n.=[]{},#\"'").find(c) != std::string_view::npos;
}

bool ends_value_token(char c) {
  return std::string_view(" \t\r\n,]}#").find(c) != std::string_view::npos;
}

std::size_t code_point_length(std::string_view text, std::size_t at) {
  return std::min(utf8_sequence_length(text[at]), text.size() - at);
}

// Walks a document that is already known to be well formed for the parser, telling keys
// from values by the brackets, "=" and "," around them; strings and comments are skipped
// whole, so their contents never look like keys or numbers.
class StrictScanner {
 public:
  explicit StrictScanner(std::string_view text) : text_(text) {}

  std::optional<TomlError> run() {
    if (text_.starts_with("\xEF\xBB\xBF")) pos_ = 3;
    while (pos_ < text_.size()) {
      if (std::optional<TomlError> error = step()) return error;
    }
    return std::nullopt;
  }

 private:
  enum class Bracket { kTableHeader, kArrayTableHeader, kArray, kInlineTable };

  std::optional<TomlError> step() {
    const char c = text_[pos_];
    switch (c) {
      case '\n':
        if (open_.empty()) expect_key_ = true;
        ++pos_;
        return std::nullopt;
      case '#':
        pos_ = std::min(text_.size(), text_.find('\n', pos_));
        return std::nullopt;
      case '"':
      case '\'':
        skip_string(c);
        return std::nullopt;
      case '[':
        open_square();
        return std::nullopt;
      case ']':
        close_square();
        return std::nullopt;
      case '{':
        open_.push_back(Bracket::kInlineTable);
        expect_key_ = true;
        ++pos_;
        return std::nullopt;
      case '}':
        if (!open_.empty()) open_.pop_back();
        expect_key_ = false;
        ++pos_;
        return std::nullopt;
      case ',':
        expect_key_ = !open_.empty() && open_.back() == Bracket::kInlineTable;
        ++pos_;
        return std::nullopt;
      case '=':
        expect_key_ = false;
        ++pos_;
        return std::nullopt;
      case ' ':
      case '\t':
      case '\r':
      case '.':
        ++pos_;
        return std::nullopt;
      default:
        return expect_key_ ? check_bare_key() : check_value();
    }
  }

  void open_square() {
    if (expect_key_ && open_.empty()) {
      const bool array_table = text_.substr(pos_, 2) == "[[";
      open_.push_back(array_table ? Bracket::kArrayTableHeader : Bracket::kTableHeader);
      pos_ += array_table ? 2 : 1;
      return;
    }
    open_.push_back(Bracket::kArray);
    expect_key_ = false;
    ++pos_;
  }

  void close_square() {
    const bool array_table = !open_.empty() && open_.back() == Bracket::kArrayTableHeader;
    if (!open_.empty()) open_.pop_back();
    pos_ += array_table && text_.substr(pos_, 2) == "]]" ? 2 : 1;
    expect_key_ = false;
  }

  // Past the closing delimiter; a multi-line string may end in up to two extra quotes.
  void skip_string(char quote) {
    const std::string triple(3, quote);
    const bool multi_line = text_.substr(pos_, 3) == triple;
    pos_ += multi_line ? 3 : 1;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '\\' && quote == '"') {
        pos_ += 2;
      } else if (multi_line && text_.substr(pos_, 3) == triple) {
        pos_ += 3;
        for (int extra = 0; extra < 2 && pos_ < text_.size() && text_[pos_] == quote; ++extra)
          ++pos_;
        return;
      } else if (!multi_line && (c == quote || c == '\n')) {
        pos_ += c == quote ? 1 : 0;
        return;
      } else {
        ++pos_;
      }
    }
    pos_ = std::min(pos_, text_.size());
  }

  std::optional<TomlError> check_bare_key() {
    for (; pos_ < text_.size() && !ends_key_token(text_[pos_]); ++pos_) {
      if (is_bare_key_char(text_[pos_])) continue;
      const std::size_t length = code_point_length(text_, pos_);
      return TomlError{
          "Error while parsing key: bare keys may contain only ASCII letters, "
          "ASCII digits, '_' and '-', saw '" +
              std::string(text_.substr(pos_, length)) + "'",
          ByteRange{pos_, pos_ + length}};
    }
    return std::nullopt;
  }

  std::optional<TomlError> check_value() {
    const std::size_t start = pos_;
    while (pos_ < text_.size() && !ends_value_token(text_[pos_])) ++pos_;
    std::string_view token = text_.substr(start, pos_ - start);
    if (token.starts_with('+') || token.starts_with('-')) token.remove_prefix(1);
    const bool hexadecimal = token.starts_with("0x") || token.starts_with("0X");
    if (!hexadecimal || token.find_first_of(".pP") == std::string_view::npos) return std::nullopt;
    return TomlError{
        "Error while parsing floating-point: hexadecimal floating-point values are "
        "not supported in TOML 1.1.0",
        ByteRange{start, pos_}};
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::vector<Bracket> open_;
  bool expect_key_ = true;
};

}  // namespace

std::optional<TomlError> find_syntax_beyond_toml_1_1(std::string_view text) {
  return StrictScanner(text).run();
}

}  // namespace plugin_sign
