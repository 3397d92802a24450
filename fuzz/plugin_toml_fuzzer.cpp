// Arbitrary bytes as plugin.toml: either a name and version, or an error report whose line
// and column point into the text and whose shape is the five lines (or the message alone);
// a syntax error is the one that the whole-document parse finds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "io/utf8.hpp"
#include "plugin/plugin_toml.hpp"
#include "support/toml_scalars.hpp"

namespace plugin_sign::fuzzing {
namespace {

constexpr std::string_view kHeader = "TOML parse error at line ";

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  for (;;) {
    const std::size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) return lines;
    text.remove_prefix(end + 1);
  }
}

// Reads the decimal number at the front of `text` and drops it; 0 when there is none.
std::size_t take_number(std::string_view& text) {
  std::size_t value = 0, digits = 0;
  while (digits < text.size() && digits < 12 && text[digits] >= '0' && text[digits] <= '9')
    value = value * 10 + static_cast<std::size_t>(text[digits++] - '0');
  require(digits > 0 && (digits == 1 || text[0] != '0'), "a decimal number", text);
  text.remove_prefix(digits);
  return value;
}

void check_ranged_report(std::string_view document, std::string_view report) {
  // The message on line five may hold line feeds of its own; the first four lines may not.
  std::vector<std::string_view> lines;
  for (int i = 0; i < 4; ++i) {
    const std::size_t end = report.find('\n');
    require(end != std::string_view::npos, "four lines before the message", report);
    lines.push_back(report.substr(0, end));
    report.remove_prefix(end + 1);
  }
  require(!report.empty() && report.back() == '\n', "the message ends with a line feed", report);

  std::string_view first = lines[0].substr(kHeader.size());
  const std::size_t line = take_number(first);
  require(first.starts_with(", column "), "\", column \" after the line number", lines[0]);
  first.remove_prefix(9);
  const std::size_t column = take_number(first);
  require(first.empty(), "nothing after the column number", lines[0]);

  const std::vector<std::string_view> text_lines = split_lines(document);
  require(line >= 1 && line <= text_lines.size(), "the line lies inside the text", lines[0]);
  const std::string_view shown = text_lines[line - 1];
  // Columns count characters, or bytes when the error starts inside a character's bytes; at
  // most one past the line's end and its line feed.
  require(column >= 1 && column <= shown.size() + 2, "the column lies on the line", lines[0],
          shown);

  const std::string number = std::to_string(line);
  const std::string gutter(number.size() + 1, ' ');
  require(lines[1] == gutter + "|", "second line: the gutter", lines[1], gutter + "|");
  const std::string quoted = number + " | " + std::string(shown);
  require(lines[2] == quoted, "third line: the line of the text", lines[2], quoted);
  const std::string marker = gutter + "|" + std::string(column, ' ');
  require(lines[3].starts_with(marker), "fourth line: spaces up to the column", lines[3], marker);
  const std::string_view carets = std::string_view(lines[3]).substr(marker.size());
  require(!carets.empty() && carets.find_first_not_of('^') == std::string_view::npos,
          "fourth line: at least one caret and nothing else", lines[3]);
  const std::size_t room = shown.size() + 1 > column ? shown.size() + 1 - column : 0;
  require(carets.size() <= std::max<std::size_t>(room, 1), "carets stay on the line", lines[3],
          shown);
}

}  // namespace
}  // namespace plugin_sign::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace plugin_sign;
  using namespace plugin_sign::fuzzing;
  const auto bytes = std::as_bytes(std::span(data, size));
  const auto result = read_package_name_version(bytes);
  const std::string document =
      to_utf8_lossy(std::string_view(reinterpret_cast<const char*>(data), size));
  // The whole-document parse that the tests use must agree: a syntax error it finds is the
  // one the read reports.
  if (const auto checked = plugin_sign::testing::check_toml_document(document); !checked) {
    const std::string want =
        render_error_report(document, checked.error().message, checked.error().range);
    require(!result && result.error() == want, "the read reports the syntax error",
            result ? "" : result.error(), want);
  }
  if (result) {
    // Name and version come from the decoded text, so they are always valid UTF-8.
    require(is_valid_utf8(result->name), "the name is valid UTF-8", result->name);
    require(is_valid_utf8(result->version), "the version is valid UTF-8", result->version);
    return 0;
  }
  const std::string& report = result.error();
  require(!report.empty() && report.back() == '\n', "the report ends with a line feed", report);
  require(is_valid_utf8(report), "the report is valid UTF-8", report);
  if (report.starts_with(kHeader)) check_ranged_report(document, report);
  return 0;
}
