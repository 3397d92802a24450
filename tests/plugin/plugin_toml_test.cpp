#include "plugin/plugin_toml.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "io/utf8.hpp"
#include "support/guard_page.hpp"
#include "support/toml_scalars.hpp"

namespace plugin_sign {
namespace {

using testing::check_toml_document;

const std::string kBom = "\xEF\xBB\xBF";
const std::string kSample = "[package]\nname = \"demo\"\nversion = \"1.2.0\"\n";

std::expected<PackageNameVersion, std::string> read(std::string_view text) {
  return read_package_name_version(std::as_bytes(std::span(text.data(), text.size())));
}

// The byte range of the first occurrence of `needle` in `text`.
ByteRange range_of(std::string_view text, std::string_view needle) {
  const std::size_t start = text.find(needle);
  EXPECT_NE(std::string_view::npos, start) << needle;
  return ByteRange{start, start + needle.size()};
}

TEST(ReadPackageNameVersion, WorkedExampleWithoutPackage) {
  const auto got = read("[plugin]\ntitle = \"demo\"\n");
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(
      "TOML parse error at line 1, column 1\n"
      "  |\n"
      "1 | [plugin]\n"
      "  | ^\n"
      "missing field `package`\n",
      got.error());
}

TEST(ReadPackageNameVersion, WorkedExampleWithAnIntegerName) {
  const auto got = read("[package]\nname = 5\nversion = \"1.0\"\n");
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(
      "TOML parse error at line 2, column 8\n"
      "  |\n"
      "2 | name = 5\n"
      "  |        ^\n"
      "invalid type: integer `5`, expected a string\n",
      got.error());
}

TEST(ReadPackageNameVersion, EmptyFileMissesThePackage) {
  const auto got = read("");
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ("TOML parse error at line 1, column 1\n  |\n1 | \n  | ^\nmissing field `package`\n",
            got.error());
}

struct AcceptedCase {
  const char* name;
  std::string text;
  const char* package_name;
  const char* version;
};

const AcceptedCase kAccepted[] = {
    {"table header", kSample, "demo", "1.2.0"},
    {"inline table", "package = { name = \"demo\", version = \"1.2.0\" }", "demo", "1.2.0"},
    {"dotted keys", "package.name = \"demo\"\npackage.version = \"1.2.0\"\n", "demo", "1.2.0"},
    {"array of name and version", "package = [\"demo\", \"1.2.0\"]", "demo", "1.2.0"},
    {"third array element ignored", "package = [\"demo\", \"1.2.0\", 7]", "demo", "1.2.0"},
    {"other keys and tables ignored",
     "title = 1\n[dependencies]\npackage = 3\n[package]\ndescription = 5\nversion = \"1.2.0\"\n"
     "name = \"demo\"\n[package.extra]\nx = []\n",
     "demo", "1.2.0"},
    {"byte order mark", kBom + kSample, "demo", "1.2.0"},
    {"CRLF line ends", "[package]\r\nname = \"demo\"\r\nversion = \"1.2.0\"\r\n", "demo", "1.2.0"},
    {"empty texts", "[package]\nname = ''\nversion = \"\"", "", ""},
    {"any text as version", "[package]\nname = \"a/b\"\nversion = 'not a version'", "a/b",
     "not a version"},
    {"TOML 1.1 syntax", "package = {\n  name = \"\\x64emo\",\n  version = \"\\e1\",\n}\n", "demo",
     "\x1b"
     "1"},
    // toml++ 3.3 consults a broken Unicode table for these characters.
    {"non-ASCII after a line-ending backslash",
     "[package]\nname = \"\"\"\\\n  \xC3\xA9\"\"\"\nversion = \"\"\"\\\n\xE3\x81\x93\"\"\"\n",
     "\xC3\xA9", "\xE3\x81\x93"},
};

TEST(ReadPackageNameVersion, TakesNameAndVersionFromEveryShape) {
  for (const AcceptedCase& c : kAccepted) {
    SCOPED_TRACE(c.name);
    const auto got = read(c.text);
    ASSERT_TRUE(got.has_value()) << got.error();
    EXPECT_EQ(c.package_name, got->name);
    EXPECT_EQ(c.version, got->version);
  }
}

TEST(ReadPackageNameVersion, ReplacesIllFormedUtf8InTheName) {
  const auto got = read("[package]\nname = \"de\xFFmo\"\nversion = \"1\"\n");
  ASSERT_TRUE(got.has_value()) << got.error();
  EXPECT_EQ("de\xEF\xBF\xBDmo", got->name);
  EXPECT_EQ("de\xEF\xBF\xBDmo-v1.zip", default_archive_name(*got));
}

struct FailureCase {
  const char* name;
  std::string text;
  std::string message;
  std::string_view at;  // the text that the error points at; empty: the start of the text
};

const FailureCase kFailures[] = {
    {"no package", "[plugin]\ntitle = \"demo\"\n", "missing field `package`", ""},
    {"package as a string", "package = \"demo\"",
     "invalid type: string \"demo\", expected struct PackageNameVersion", "\"demo\""},
    {"package as an integer", "package = 5",
     "invalid type: integer `5`, expected struct PackageNameVersion", "5"},
    {"package as a float", "package = 2.5",
     "invalid type: floating point `2.5`, expected struct PackageNameVersion", "2.5"},
    {"package as a boolean", "package = false",
     "invalid type: boolean `false`, expected struct PackageNameVersion", "false"},
    {"package as a date-time", "package = 1979-05-27T07:32:00Z", "missing field `name`",
     "1979-05-27T07:32:00Z"},
    {"package as a local date", "package = 1979-05-27", "missing field `name`", "1979-05-27"},
    {"package as an empty array", "package = [ ]",
     "invalid length 0, expected struct PackageNameVersion with 2 elements", "[ ]"},
    {"package as an array with the name only", "package = [\"demo\"]",
     "invalid length 1, expected struct PackageNameVersion with 2 elements", "[\"demo\"]"},
    {"array with an integer name", "package = [5, 6]",
     "invalid type: integer `5`, expected a string", "5"},
    {"array with a float version", "package = [\"demo\", 1.0]",
     "invalid type: floating point `1.0`, expected a string", "1.0"},
    {"version as an integer", "[package]\nname = \"demo\"\nversion = 1\n",
     "invalid type: integer `1`, expected a string", "1"},
    {"version as a float", "[package]\nname = \"demo\"\nversion = 1.0\n",
     "invalid type: floating point `1.0`, expected a string", "1.0"},
    {"version as a boolean", "[package]\nname = \"demo\"\nversion = true\n",
     "invalid type: boolean `true`, expected a string", "true"},
    {"version as an array", "[package]\nname = \"demo\"\nversion = [\"1\"]\n",
     "invalid type: sequence, expected a string", "[\"1\"]"},
    {"version as an inline table", "[package]\nname = \"demo\"\nversion = { major = 1 }\n",
     "invalid type: map, expected a string", "{ major = 1 }"},
    {"version as a sub-table", "[package]\nname = \"demo\"\n[package.version]\nmajor = 1\n",
     "invalid type: map, expected a string", "[package.version]"},
    {"version as a local time", "[package]\nname = \"demo\"\nversion = 07:32\n",
     "invalid type: map, expected a string", "07:32"},
    {"no version", "[package]\nname = \"demo\"\n", "missing field `version`", "[package]"},
    {"no name", "[package]\nversion = \"1\"\n", "missing field `name`", "[package]"},
    {"neither", "[package]\ndescription = \"x\"\n", "missing field `name`", "[package]"},
    {"no version in an inline table", "package = { name = \"demo\" }", "missing field `version`",
     "{ name = \"demo\" }"},
    {"no version under dotted keys", "package.name = \"demo\"", "missing field `version`",
     "package"},
    {"version written first is reported first", "[package]\nversion = 1\nname = 2\n",
     "invalid type: integer `1`, expected a string", "1"},
    {"name written first is reported first", "[package]\nname = 2\nversion = 1\n",
     "invalid type: integer `2`, expected a string", "2"},
    {"value after an empty first line", "\n[package]\nname = 2\nversion = \"1\"\n",
     "invalid type: integer `2`, expected a string", "2"},
    {"value after multi-byte text, CRLF and a BOM",
     kBom + "[package]\r\nname = \"\xC3\xBC\xE3\x81\x93\"\r\nversion = 7\r\n",
     "invalid type: integer `7`, expected a string", "7"},
    {"value on the line of a BOM", kBom + "package = 7",
     "invalid type: integer `7`, expected struct PackageNameVersion", "7"},
};

TEST(ReadPackageNameVersion, ReportsEachShapeWithItsMessageAndRange) {
  for (const FailureCase& c : kFailures) {
    SCOPED_TRACE(c.name);
    const auto got = read(c.text);
    ASSERT_FALSE(got.has_value());
    const ByteRange range = c.at.empty() ? ByteRange{0, 0} : range_of(c.text, c.at);
    EXPECT_EQ(render_error_report(c.text, c.message, range), got.error());
  }
}

struct DescriptionCase {
  const char* value;
  const char* description;
};

const DescriptionCase kDescriptions[] = {
    {R"("a\"b\\c")", R"(string "a\"b\\c")"},
    {R"("tab\tline\nreturn\rnul\u0000esc\u001bdel\u007fc1\u0085")",
     R"(string "tab\tline\nreturn\rnul\0esc\u{1b}del\u{7f}c1\u{85}")"},
    {"'\xC3\xA9'", "string \"\xC3\xA9\""},
    // The ends of the C0 and C1 ranges are escaped; a space and U+00A0 next to them are not.
    {R"("a b\u001f\u0080\u009f\u00a0x")", "string \"a b\\u{1f}\\u{80}\\u{9f}\xC2\xA0x\""},
    {"-9223372036854775808", "integer `-9223372036854775808`"},
    {"0xff", "integer `255`"},
    {"100.0", "floating point `100.0`"},
    {"-0.0", "floating point `-0.0`"},
    {"0.1", "floating point `0.1`"},
    {"1e-7", "floating point `0.0000001`"},
    {"9.9e-8", "floating point `9.9e-8`"},
    {"1e21", "floating point `1e21`"},
    {"9.5e20", "floating point `950000000000000000000.0`"},
    {"1e300", "floating point `1e300`"},
    {"5e-324", "floating point `5e-324`"},
    {"-inf", "floating point `-inf`"},
    {"nan", "floating point `nan`"},
};

TEST(ReadPackageNameVersion, DescribesValuesOfTheWrongType) {
  for (const DescriptionCase& c : kDescriptions) {
    SCOPED_TRACE(c.value);
    const auto got = read(std::string("package = ") + c.value);
    ASSERT_FALSE(got.has_value());
    const std::string expected =
        std::string("invalid type: ") + c.description + ", expected struct PackageNameVersion\n";
    EXPECT_TRUE(got.error().ends_with(expected)) << got.error();
  }
}

TEST(ReadPackageNameVersion, SyntaxErrorPointsAtOneCodePoint) {
  const std::string text = "[package]\r\nname = \"x\"\xC3\xA9\r\nversion = \"1\"\r\n";
  const auto checked = check_toml_document(text);
  ASSERT_FALSE(checked.has_value());
  EXPECT_EQ(21u, checked.error().range.start);
  EXPECT_EQ(23u, checked.error().range.end);
  const auto got = read(text);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(render_error_report(text, checked.error().message, ByteRange{21, 23}), got.error());
}

TEST(ReadPackageNameVersion, SyntaxErrorAtTheEndIsAnEmptyRangeThere) {
  const std::string text = "a = 1\nb = ";
  const auto checked = check_toml_document(text);
  ASSERT_FALSE(checked.has_value());
  EXPECT_EQ(text.size(), checked.error().range.start);
  EXPECT_EQ(text.size(), checked.error().range.end);
}

// A document read into a buffer of exactly its size has nothing after its last byte: errors
// located at the end and strings closed by the last byte must not look one byte further.
TEST(ParseToml, ReadsNothingPastTheText) {
  const char* const texts[] = {
      // Syntax errors reported at the end of the text.
      "a = 1\nb = ",
      "a = \"abc",
      "a = \"\"\"x",
      "a = [1,",
      "a = {b = 1",
      "[a",
      "a = 1\nb",
      // Strings whose closing quote is the last byte.
      "s = \"x\"",
      "s = \"\"\"x\"\"\"",
      "s = '''x'''''",
  };
  for (const char* text : texts)
    testing::expect_no_read_past_end(
        text, [](std::string_view guarded) { (void)check_toml_document(guarded); });
}

TEST(ReadPackageNameVersion, MalformedDocumentsFailWithoutAborting) {
  // Each of these trips an internal check of the parser.
  for (const char* text : {"[", "[\n", "[.]", "[!]", "\xCE\xBC = 1", "[a\xC3\xB6\nb=2\n"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(read(text).has_value());
  }
}

// The parser quotes a redefined key in its message, cut at a byte count that can fall inside
// a character: the report must stay valid UTF-8 all the same.
TEST(ReadPackageNameVersion, ALongKeyCutInsideACharacterLeavesTheReportValidUtf8) {
  std::string key;
  for (int i = 0; i < 300; ++i) key += "\xE2\x82\xAC";  // U+20AC, three bytes
  const std::string line = "\"" + key + "\" = 1\n";
  const auto got = read(line + line);
  ASSERT_FALSE(got.has_value());
  EXPECT_NE(got.error().find("cannot redefine"), std::string::npos) << got.error();
  EXPECT_TRUE(is_valid_utf8(got.error()));
}

struct ArchiveNameCase {
  const char* name;
  const char* version;
  const char* archive;
};

TEST(DefaultArchiveName, JoinsNameAndVersionUnchanged) {
  constexpr ArchiveNameCase kCases[] = {
      {"demo", "1.2.0", "demo-v1.2.0.zip"},
      {"", "", "-v.zip"},
      {"dir/demo", "1", "dir/demo-v1.zip"},
      {"d\xC3\xA9mo", "1 beta", "d\xC3\xA9mo-v1 beta.zip"},
  };
  for (const ArchiveNameCase& c : kCases) {
    SCOPED_TRACE(c.archive);
    EXPECT_EQ(c.archive, default_archive_name(PackageNameVersion{c.name, c.version}));
  }
}

}  // namespace
}  // namespace plugin_sign
