#include "io/escaped_field.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace plugin_sign {
namespace {

TEST(EscapedFieldTest, EveryTextRoundTripsThroughOneWord) {
  struct Case {
    std::string_view text, field;
  };
  const Case cases[] = {
      {"hello", "hello"},
      {"my plugin", "my%20plugin"},
      {"100%", "100%25"},
      {"", "-"},
      {"-", "%2D"},
      {"--", "--"},
      {"a-b", "a-b"},
      {"caf\xc3\xa9", "caf%C3%A9"},
      {std::string_view("\0\t\x7f", 3), "%00%09%7F"},
      {"!\"#$&'()*+,./:;<=>?@[\\]^_`{|}~", "!\"#$&'()*+,./:;<=>?@[\\]^_`{|}~"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(escape_field(c.text), c.field);
    EXPECT_TRUE(is_escaped_field(c.field)) << c.field;
    EXPECT_EQ(unescape_field(c.field), std::string(c.text)) << c.field;
  }
  for (int byte = 0; byte < 256; ++byte) {
    const std::string text = "x" + std::string(1, static_cast<char>(byte)) + "y";
    const std::string field = escape_field(text);
    EXPECT_EQ(field.find_first_of(" \t\r\n"), std::string::npos) << byte;
    EXPECT_EQ(unescape_field(field), text) << byte;
  }
}

// Only escape_field's own output is taken, so that one text never has two records.
TEST(EscapedFieldTest, OtherSpellingsAreRefused) {
  const std::string_view refused[] = {"",     "a b",  "%41",  "%2d",  "%c3%a9",  "%2",
                                      "%",    "a%",   "%G0",  "a%2D", "%2D%2D",  "\xc3\xa9",
                                      "a\tb", "%2Da", "\x7f", "%20 ", "a%20\x01"};
  for (const std::string_view field : refused) {
    EXPECT_FALSE(is_escaped_field(field)) << field;
    EXPECT_EQ(unescape_field(field), std::nullopt) << field;
  }
  // A field cut from a longer line ends where the view ends, not at the bytes after it.
  const std::string_view line = "a%20";
  for (const std::string_view cut : {line.substr(0, 2), line.substr(0, 3)}) {
    EXPECT_FALSE(is_escaped_field(cut)) << cut;
    EXPECT_EQ(unescape_field(cut), std::nullopt) << cut;
  }
}

}  // namespace
}  // namespace plugin_sign
