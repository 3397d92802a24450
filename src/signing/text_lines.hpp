// text_lines.hpp — the line and word splitting that the key-file and revocation-file parsers
// share, so that both read white space, line ends and line numbers the same way.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace plugin_sign {

/// A space or a tab: the white space that separates the words of a line.
[[nodiscard]] inline bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

/// "line N: WHAT", N counted from 1.
[[nodiscard]] std::string line_error(std::size_t line, std::string_view what);

/// The lines of `text`: split at line feeds, one carriage return at the end of each line
/// dropped, no empty last line for a text ending in a line feed.
[[nodiscard]] std::vector<std::string_view> split_lines(std::string_view text);

/// `word` as an error quotes it: a file's word may be megabytes long, so at most its first 32
/// bytes (never a UTF-8 sequence cut in two) and "..." when there is more.
[[nodiscard]] std::string short_prefix(std::string_view word);

/// The words of `line`, separated by runs of spaces and tabs; `line` has no blank at either end.
[[nodiscard]] std::vector<std::string_view> split_words(std::string_view line);

}  // namespace plugin_sign
