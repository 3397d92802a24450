#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "plugin/plugin_toml.hpp"

namespace plugin_sign {
namespace {

struct ReportCase {
  const char* name;
  std::string text;
  ByteRange range;
  std::string report;
};

const ReportCase kReportCases[] = {
    {"empty text", "", {0, 0}, "TOML parse error at line 1, column 1\n  |\n1 | \n  | ^\nboom\n"},
    {"empty text, past its end",
     "",
     {3, 3},
     "TOML parse error at line 1, column 4\n  |\n1 | \n  |    ^\nboom\n"},
    {"one byte on line 1",
     "a = 1",
     {4, 5},
     "TOML parse error at line 1, column 5\n  |\n1 | a = 1\n  |     ^\nboom\n"},
    {"multi-byte characters before the column",
     "[pkg]\nn\xC3\xA4me = 5\n",
     {14, 15},
     "TOML parse error at line 2, column 8\n  |\n2 | n\xC3\xA4me = 5\n  |        ^\nboom\n"},
    // Cut inside the character at the error, the prefix is counted in bytes.
    {"multi-byte character at the error",
     "\xC3\xA9 = \xC3\xA9",
     {5, 7},
     "TOML parse error at line 1, column 6\n  |\n1 | \xC3\xA9 = \xC3\xA9\n  |      ^^\nboom\n"},
    {"carriage return kept in the shown line",
     "a = 1\r\nb = x\r\n",
     {11, 12},
     "TOML parse error at line 2, column 5\n  |\n2 | b = x\r\n  |     ^\nboom\n"},
    {"error at the end of the text",
     "a = ",
     {4, 4},
     "TOML parse error at line 1, column 5\n  |\n1 | a = \n  |     ^\nboom\n"},
    {"error at the end, after the last line feed",
     "a = 1\n",
     {6, 6},
     "TOML parse error at line 1, column 7\n  |\n1 | a = 1\n  |       ^\nboom\n"},
    {"error on the last byte, the only one of its line",
     "a = 1\nb",
     {6, 7},
     "TOML parse error at line 2, column 1\n  |\n2 | b\n  | ^\nboom\n"},
    {"error on a line feed",
     "a\n\nb",
     {2, 3},
     "TOML parse error at line 2, column 1\n  |\n2 | \n  | ^\nboom\n"},
    {"range cut at the end of the shown line",
     "name = \"abc\"\nx",
     {7, 14},
     "TOML parse error at line 1, column 8\n  |\n1 | name = \"abc\"\n  |        ^^^^^\nboom\n"},
    {"empty range gets one caret",
     "name = 5",
     {7, 7},
     "TOML parse error at line 1, column 8\n  |\n1 | name = 5\n  |        ^\nboom\n"},
    {"two-digit line number widens the gutter",
     "\n\n\n\n\n\n\n\n\nx = y",
     {13, 14},
     "TOML parse error at line 10, column 5\n   |\n10 | x = y\n   |     ^\nboom\n"},
};

TEST(RenderErrorReport, LineColumnAndCaretsFollowTheRange) {
  for (const ReportCase& c : kReportCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.report, render_error_report(c.text, "boom", c.range));
  }
}

TEST(RenderErrorReport, WithoutARangeIsTheMessageAndALineFeed) {
  EXPECT_EQ("missing field `package`\n",
            render_error_report("a = 1\n", "missing field `package`", std::nullopt));
}

}  // namespace
}  // namespace plugin_sign
