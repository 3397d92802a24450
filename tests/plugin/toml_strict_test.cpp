// What the parser's next-version mode accepts but TOML 1.1.0 does not, and look-alikes that
// TOML 1.1.0 allows.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "plugin/plugin_toml.hpp"
#include "support/toml_scalars.hpp"

namespace plugin_sign {
namespace {

using testing::check_toml_document;

struct RefusedCase {
  const char* name;
  std::string text;
  std::string_view at;  // the text that the error points at, its last occurrence
};

const RefusedCase kRefused[] = {
    {"plus in a bare key", "a+b = 1", "+"},
    {"plus in a dotted key", "x.a+b = 1", "+"},
    {"non-ASCII bare key", "\xC3\xBC = 1", "\xC3\xBC"},
    {"non-ASCII bare key after a byte order mark", "\xEF\xBB\xBFk\xC3\xBC = 1", "\xC3\xBC"},
    {"non-ASCII key in a table header", "[tbl.\xE3\x81\x93]\nk = 1", "\xE3\x81\x93"},
    {"non-ASCII key in an array of tables", "[[tbl]]\n[[tbl.\xC3\xBC]]", "\xC3\xBC"},
    {"non-ASCII key in an inline table", "x = { a = 1, \xC3\xBC = 2 }", "\xC3\xBC"},
    {"non-ASCII first key of an inline table", "x = { \xC3\xBC = 2 }", "\xC3\xBC"},
    {"non-ASCII key after an inline table", "x = { a = 1 }\n\xC3\xBC = 2", "\xC3\xBC"},
    {"non-ASCII key after an array of arrays", "x = [[1]]\n\xC3\xBC = 2", "\xC3\xBC"},
    {"non-ASCII first key of an array of tables", "[[\xC3\xBC]]", "\xC3\xBC"},
    {"non-ASCII key on a later line of an inline table", "x = {\n  a = [1, 2],\n  \xC3\xBC = 2,\n}",
     "\xC3\xBC"},
    // The table already exists under its quoted name; only the text shows the bare key.
    {"bare key reopening a quoted one", "[\"a+b\"]\n[a+b.c]\n", "+"},
    {"bare key after a multi-line string with extra quotes", "s = \"\"\"x\"\"\"\"\"\n\xC3\xBC = 1",
     "\xC3\xBC"},
    // The same on one line, where a string that ends too early or too late swallows the key.
    {"key after a multi-line string with extra quotes",
     "t = { s = \"\"\"x\"\"\"\"\", \xC3\xBC = 1 }", "\xC3\xBC"},
    {"key after a multi-line string", "t = { s = \"\"\"x\"\"\", \xC3\xBC = 1 }", "\xC3\xBC"},
    {"key after a multi-line string that starts with two quotes",
     "t = { s = \"\"\"\"\"'\"\"\", \xC3\xBC = 1 }", "\xC3\xBC"},
    {"key after a string ending in an escape", "t = { s = \"\\\\\", \xC3\xBC = 1 }", "\xC3\xBC"},
    {"hexadecimal float", "x = 0x1.8p1", "0x1.8p1"},
    {"signed hexadecimal float", "x = -0x1.8p1", "-0x1.8p1"},
    {"hexadecimal float with an exponent only", "x = [1, 0X1P3]", "0X1P3"},
    {"hexadecimal float on a later line of an array of arrays", "x = [[1],\n  0x1p1]", "0x1p1"},
    {"hexadecimal float in an inline table", "t = { f = 0x1p-2 }", "0x1p-2"},
};

TEST(TomlStrictSyntax, RefusesWhatTomlOneOneDoesNotAllow) {
  for (const RefusedCase& c : kRefused) {
    SCOPED_TRACE(c.name);
    const auto got = check_toml_document(c.text);
    if (got.has_value()) {
      ADD_FAILURE() << "accepted";
      continue;
    }
    const std::size_t start = c.text.rfind(c.at);
    EXPECT_EQ(start, got.error().range.start) << got.error().message;
    EXPECT_EQ(start + c.at.size(), got.error().range.end);
  }
}

TEST(TomlStrictSyntax, ReportsTheBareKeyCharacter) {
  const auto got = check_toml_document("[package]\nn\xC3\xA4me = \"demo\"\n");
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(
      "Error while parsing key: bare keys may contain only ASCII letters, ASCII digits, '_' and "
      "'-', saw '\xC3\xA4'",
      got.error().message);
}

TEST(TomlStrictSyntax, AcceptsLookAlikesInStringsCommentsAndValues) {
  const std::string text =
      "\"a+b\" = 1\n"
      "'\xC3\xBC' = \"0x1.8p1\"\n"
      "# \xC3\xBC = 0x1.8p1 and a+b\n"
      "hex = 0xDEAD_beef\n"
      "when = 1979-05-27 07:32:00+07:00\n"
      "f = +1.5e+3\n"
      "esc = \"quote \\\" \xC3\xBC = 1\"\n"
      "ml = \"\"\"\n\xC3\xBC = 1 \"\" '\n\"\"\"\n"
      "lit = '''\n[\xC3\xBC]\n'''''\n"
      "t = {\n  a-b_9 = [1, {c = 2}], # \xC3\xBC\n  \"\xC3\xBC\" = 2,\n}\n"
      "[[x.y-z]]\n"
      "[Z]\nZ = 1\n"
      "[ x . \"\xC3\xBC\" . w ]\n"
      "k = [[1], ['+'], []]\n";
  const auto got = check_toml_document(text);
  ASSERT_TRUE(got.has_value()) << got.error().message << " at " << got.error().range.start;
  EXPECT_EQ(14u, got->size());
}

}  // namespace
}  // namespace plugin_sign
