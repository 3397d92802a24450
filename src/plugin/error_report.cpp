// error_report.cpp — the line, column and caret report for a failure in plugin.toml.
#include <algorithm>
#include <cstdint>
#include <string>

#include "io/utf8.hpp"
#include "plugin/plugin_toml.hpp"

namespace plugin_sign {
namespace {

struct ReportPosition {
  std::size_t line = 1;
  std::size_t column = 1;
  std::string_view shown_line;
};

std::size_t character_count(std::string_view utf8) {
  std::size_t count = 0;
  for (std::size_t at = 0; at < utf8.size(); at += utf8_sequence_length(utf8[at])) ++count;
  return count;
}

ReportPosition locate(std::string_view text, std::size_t start) {
  if (text.empty()) return ReportPosition{1, start + 1, text};
  const std::size_t p = std::min(start, text.size() - 1);
  const std::size_t last_feed = p == 0 ? std::string_view::npos : text.rfind('\n', p - 1);
  const std::size_t line_start = last_feed == std::string_view::npos ? 0 : last_feed + 1;
  ReportPosition position;
  position.line =
      1 + static_cast<std::size_t>(std::ranges::count(text.substr(0, line_start), '\n'));
  // A prefix cut inside a multi-byte character counts in bytes.
  const std::string_view prefix = text.substr(line_start, p - line_start + 1);
  const std::size_t column_offset =
      (is_valid_utf8(prefix) ? character_count(prefix) : prefix.size()) - 1;
  position.column = column_offset + (start - p) + 1;
  const std::size_t line_end = text.find('\n', line_start);
  position.shown_line = text.substr(
      line_start, (line_end == std::string_view::npos ? text.size() : line_end) - line_start);
  return position;
}

}  // namespace

std::string render_error_report(std::string_view text, std::string_view message,
                                std::optional<ByteRange> range) {
  if (!range) return std::string(message) + "\n";
  const ReportPosition at = locate(text, range->start);
  const std::string line_number = std::to_string(at.line);
  const std::string gutter(line_number.size() + 1, ' ');
  const auto width =
      static_cast<std::int64_t>(range->end) - static_cast<std::int64_t>(range->start);
  const auto room =
      static_cast<std::int64_t>(at.shown_line.size()) - static_cast<std::int64_t>(at.column) + 1;
  const auto carets = static_cast<std::size_t>(std::max<std::int64_t>(1, std::min(width, room)));

  std::string report =
      "TOML parse error at line " + line_number + ", column " + std::to_string(at.column) + "\n";
  report += gutter + "|\n";
  report += line_number + " | ";
  report += at.shown_line;
  report += "\n" + gutter + "|" + std::string(at.column, ' ') + std::string(carets, '^') + "\n";
  report += message;
  report += "\n";
  return report;
}

}  // namespace plugin_sign
