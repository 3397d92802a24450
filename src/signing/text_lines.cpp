#include "signing/text_lines.hpp"

namespace plugin_sign {

std::string line_error(std::size_t line, std::string_view what) {
  return "line " + std::to_string(line) + ": " + std::string(what);
}

// A file saved with CRLF line ends reads as the same file.
std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::vector<std::string_view> split_words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size()) {
    std::size_t end = i;
    while (end < line.size() && !is_blank(line[end])) ++end;
    words.push_back(line.substr(i, end - i));
    i = end;
    while (i < line.size() && is_blank(line[i])) ++i;
  }
  return words;
}

std::string short_prefix(std::string_view word) {
  constexpr std::size_t kShown = 32;
  if (word.size() <= kShown) return std::string(word);
  std::size_t end = kShown;
  while (end > 0 && (static_cast<unsigned char>(word[end]) & 0xC0) == 0x80) --end;
  return std::string(word.substr(0, end)) + "...";
}

}  // namespace plugin_sign
