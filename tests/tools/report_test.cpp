// plugin_verify's lines: escaping, JSON objects and exit statuses per kind of failure.
#include "tools/plugin_verify/report.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "io/utf8.hpp"
#include "plugin/json_value.hpp"

namespace plugin_sign {
namespace {

using namespace std::string_literals;

struct EscapeCase {
  const char* name;
  std::string bytes;
  std::string text;
};

const EscapeCase kEscapes[] = {
    {"plain path", "dir/hello-v0.1.0.zip", "dir/hello-v0.1.0.zip"},
    {"multibyte characters stay", "プラグイン.zip", "プラグイン.zip"},
    {"line feed, tab, carriage return", "a\nb\tc\rd", "a\\nb\\tc\\rd"},
    {"backslash doubled, so an escape is never ambiguous", "a\\nb", "a\\\\nb"},
    {"NUL, escape and DEL", "\0\x1b[31m\x7f"s, "\\x00\\x1b[31m\\x7f"},
    {"C1 control, byte by byte",
     "a\xC2\x9B"
     "b",
     "a\\xc2\\x9bb"},
    {"line separator U+2028",
     "a\xE2\x80\xA8"
     "b",
     "a\\xe2\\x80\\xa8b"},
    {"right-to-left override that would show hello\\u202Egnp.exe as helloexe.png",
     "hello\xE2\x80\xAEgnp.exe", "hello\\xe2\\x80\\xaegnp.exe"},
    {"bidirectional marks, embeddings and isolates",
     "\xE2\x80\x8E\xE2\x80\x8F\xE2\x80\xAA\xE2\x81\xA6\xE2\x81\xA9",
     "\\xe2\\x80\\x8e\\xe2\\x80\\x8f\\xe2\\x80\\xaa\\xe2\\x81\\xa6\\xe2\\x81\\xa9"},
    {"zero-width space, joiner and byte order mark",
     "a\xE2\x80\x8B\xE2\x80\x8D\xEF\xBB\xBF"
     "b",
     "a\\xe2\\x80\\x8b\\xe2\\x80\\x8d\\xef\\xbb\\xbfb"},
    {"neighbours of the escaped ranges stay", "\xE2\x80\x8A\xE2\x80\x90\xE2\x81\xA5\xE2\x81\xAA",
     "\xE2\x80\x8A\xE2\x80\x90\xE2\x81\xA5\xE2\x81\xAA"},
    {"stray continuation byte",
     "a\x80"
     "b",
     "a\\x80b"},
    {"truncated sequence, then ASCII",
     "\xE3\x83"
     "x",
     "\\xe3\\x83x"},
    {"truncated sequence at the end", "a\xE3\x83", "a\\xe3\\x83"},
    // Each byte of an ill-formed one is escaped on its own and then left behind: the four bytes
    // after it would read as a backslash if they were taken for one character.
    {"ill-formed byte, then ASCII", "\xFF@@A\\", "\\xff@@A\\\\"},
    {"overlong slash", "\xC0\xAF", "\\xc0\\xaf"},
    {"surrogate", "\xED\xA0\x80", "\\xed\\xa0\\x80"},
    {"space kept", "a b", "a b"},
};

TEST(EscapeText, KeepsALineOneLineAndEveryByteRecoverable) {
  for (const EscapeCase& c : kEscapes) {
    SCOPED_TRACE(c.name);
    const std::string got = escape_text(c.bytes);
    EXPECT_EQ(got, c.text);
    EXPECT_TRUE(is_valid_utf8(got));
  }
}

// The characters escaped, as ranges of code points.
constexpr std::pair<std::uint32_t, std::uint32_t> kEscapedRanges[] = {
    {0x00, 0x1F},     {0x7F, 0x9F},     {0x200B, 0x200F}, {0x2028, 0x2029},
    {0x202A, 0x202E}, {0x2066, 0x2069}, {0xFEFF, 0xFEFF},
};

bool escaped(std::uint32_t c) {
  for (const auto& [first, last] : kEscapedRanges)
    if (c >= first && c <= last) return true;
  return false;
}

std::string utf8(std::uint32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

std::string byte_escapes(std::string_view bytes) {
  std::string out;
  for (const char byte : bytes) {
    constexpr char kHexDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kHexDigits[static_cast<unsigned char>(byte) >> 4];
    out += kHexDigits[byte & 0xF];
  }
  return out;
}

std::string code_point_name(std::uint32_t c) {
  char name[16];
  std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(c));
  return name;
}

// Every character of every encoded length, decoded right: escaped exactly when it is one a
// terminal or line reader acts on or that shows nothing, kept as it is otherwise.
TEST(EscapeText, EveryCharacterEscapedExactlyWhenItCouldHideOrBreakALine) {
  std::vector<std::string> wrong;
  for (std::uint32_t c = 0; c <= 0x10FFFF && wrong.size() < 10; ++c) {
    if ((c >= 0xD800 && c <= 0xDFFF) || c == '\\' || c == '\t' || c == '\n' || c == '\r') continue;
    const std::string bytes = utf8(c);
    if (escape_text(bytes) != (escaped(c) ? byte_escapes(bytes) : bytes))
      wrong.push_back("text " + code_point_name(c));
    std::string json = "\"";
    if (c == '"') {
      json += "\\\"";
    } else if (escaped(c)) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned>(c));
      json += hex;
    } else {
      json += bytes;
    }
    if (json_string(bytes) != json + "\"") wrong.push_back("JSON " + code_point_name(c));
  }
  EXPECT_EQ(wrong, std::vector<std::string>{});
}

TEST(EscapeText, SpaceEscapedOnlyWhenAsked) {
  EXPECT_EQ(escape_text("evil 1.0, key 0123", true), "evil\\x201.0,\\x20key\\x200123");
  EXPECT_EQ(escape_text("evil 1.0", false), "evil 1.0");
}

struct JsonCase {
  const char* name;
  std::string text;
  std::string json;
};

const JsonCase kJsonStrings[] = {
    {"plain", "hello", "\"hello\""},
    {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
    {"short escapes", "\n\t\r", "\"\\n\\t\\r\""},
    {"other controls as \\u", "\0\x01\x1f\x7f"s, "\"\\u0000\\u0001\\u001f\\u007f\""},
    {"C1 control NEL", "\xC2\x85", "\"\\u0085\""},
    {"line and paragraph separators", "\xE2\x80\xA8\xE2\x80\xA9", "\"\\u2028\\u2029\""},
    {"bidirectional controls and zero-width characters as \\u",
     "hello\xE2\x80\xAEgnp\xE2\x80\x8F\xE2\x81\xA6\xE2\x80\x8B\xEF\xBB\xBF",
     "\"hello\\u202egnp\\u200f\\u2066\\u200b\\ufeff\""},
    {"multibyte kept", "é€𝄞", "\"é€𝄞\""},
    {"ill-formed UTF-8 replaced",
     "a\xFF"
     "b",
     "\"a\xEF\xBF\xBD"
     "b\""},
    {"slash not escaped", "a/b", "\"a/b\""},
};

TEST(JsonString, EscapesWhatJsonAndLineReadersNeed) {
  for (const JsonCase& c : kJsonStrings) {
    SCOPED_TRACE(c.name);
    const std::string got = json_string(c.text);
    EXPECT_EQ(got, c.json);
    // Strict JSON: no raw control character inside a string, and valid UTF-8 throughout.
    for (char byte : got) EXPECT_GE(static_cast<unsigned char>(byte), 0x20);
    EXPECT_TRUE(is_valid_utf8(got));
    const auto parsed = parse_json(got);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->text, to_utf8_lossy(c.text));
  }
}

TEST(JsonString, EveryByteValueRoundTrips) {
  std::string all;
  for (int b = 0; b < 0x80; ++b) all += static_cast<char>(b);
  const auto parsed = parse_json(json_string(all));
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->text, all);
}

const JsonValue* member(const JsonValue& object, std::string_view key) {
  for (const auto& [name, value] : object.members)
    if (name == key) return &value;
  return nullptr;
}

VerifiedFacts sample_facts() {
  return VerifiedFacts{.name = "hello",
                       .version = "0.1.0",
                       .key_id = "0123456789abcdef",
                       .plugin_toml_sha256 = std::string(64, 'a'),
                       .main_wasm_sha256 = std::string(64, 'b'),
                       .manifest_sha256 = std::string(64, 'c')};
}

TEST(PackageLines, VerifiedPackage) {
  const PackageReport report{.package = "hello.zip", .verified = sample_facts(), .failure = {}};
  EXPECT_EQ(exit_status(report), 0);
  EXPECT_EQ(text_line(report), "hello.zip: verified hello 0.1.0, key 0123456789abcdef\n");
  EXPECT_EQ(json_line(report),
            "{\"schema\":1,\"package\":\"hello.zip\",\"status\":\"verified\",\"exit_status\":0,"
            "\"name\":\"hello\",\"version\":\"0.1.0\",\"key_id\":\"0123456789abcdef\","
            "\"plugin_toml_sha256\":\"" +
                std::string(64, 'a') + "\",\"main_wasm_sha256\":\"" + std::string(64, 'b') +
                "\",\"manifest_sha256\":\"" + std::string(64, 'c') + "\",\"error\":null}\n");
}

TEST(PackageLines, HostileNameAndPathStayOnOneLine) {
  VerifiedFacts facts = sample_facts();
  facts.name = "good 9.9, key ffffffffffffffff\nevil.zip: verified x";
  facts.version = "1\r\x1b[2K";
  const PackageReport report{.package = "a\nb.zip", .verified = facts, .failure = {}};
  const std::string line = text_line(report);
  EXPECT_EQ(line,
            "a\\nb.zip: verified good\\x209.9,\\x20key\\x20ffffffffffffffff\\nevil.zip:\\x20"
            "verified\\x20x 1\\r\\x1b[2K, key 0123456789abcdef\n");
  const std::string json = json_line(report);
  EXPECT_EQ(json.find('\n'), json.size() - 1);
  const auto parsed = parse_json(json);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(member(*parsed, "name")->text, facts.name);
  EXPECT_EQ(member(*parsed, "package")->text, "a\nb.zip");
}

// A right-to-left override in a name would make the line read "verified helloexe.png"; in
// a path or a reason it could disguise which package failed and why.
TEST(PackageLines, BidirectionalOverrideCannotReorderALine) {
  const std::string rlo = "\xE2\x80\xAE";
  const std::string escaped = "\\xe2\\x80\\xae";
  VerifiedFacts facts = sample_facts();
  facts.name = "hello" + rlo + "gnp.exe";
  facts.version = "1.0" + rlo;
  const PackageReport verified{.package = "a" + rlo + "piz.zip", .verified = facts, .failure = {}};
  EXPECT_EQ(text_line(verified), "a" + escaped + "piz.zip: verified hello" + escaped +
                                     "gnp.exe 1.0" + escaped + ", key 0123456789abcdef\n");
  const PackageReport failed{
      .package = "x.zip",
      .verified = {},
      .failure = Failure{.kind = FailureKind::kNameNotAllowed,
                         .message = "name \"hello" + rlo + "gnp.exe\" is not allowed"}};
  EXPECT_EQ(text_line(failed),
            "plugin_verify: x.zip: name \"hello" + escaped + "gnp.exe\" is not allowed\n");
  const std::string json = json_line(verified);
  EXPECT_EQ(json.find(rlo), std::string::npos);
  EXPECT_NE(json.find("\"name\":\"hello\\u202egnp.exe\""), std::string::npos) << json;
  const auto parsed = parse_json(json);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(member(*parsed, "name")->text, facts.name);
}

struct FailureCase {
  FailureKind kind;
  const char* name;
  int status;
};

constexpr FailureCase kFailures[] = {
    {FailureKind::kBadSignature, "bad_signature", 1},
    {FailureKind::kNameNotAllowed, "name_not_allowed", 1},
    {FailureKind::kMalformed, "malformed", 2},
    {FailureKind::kTooLarge, "too_large", 2},
    {FailureKind::kUnreadable, "unreadable", 3},
    {FailureKind::kOutOfMemory, "out_of_memory", 3},
    {FailureKind::kExtractFailed, "extract_failed", 3},
    {FailureKind::kRevoked, "revoked", 1},
    {FailureKind::kNameMismatch, "name_mismatch", 1},
    {FailureKind::kRollback, "rollback", 1},
};

TEST(PackageLines, EachFailureKindHasItsStatusAndName) {
  for (const FailureCase& c : kFailures) {
    SCOPED_TRACE(c.name);
    const PackageReport report{.package = "p\xFF.zip",
                               .verified = {},
                               .failure = Failure{.kind = c.kind, .message = "why\nnot"}};
    EXPECT_EQ(exit_status(report), c.status);
    EXPECT_EQ(failure_kind_name(c.kind), c.name);
    EXPECT_EQ(text_line(report), "plugin_verify: p\\xff.zip: why\\nnot\n");
    const auto parsed = parse_json(json_line(report));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(member(*parsed, "status")->text, "failed");
    EXPECT_EQ(member(*parsed, "exit_status")->text, std::to_string(c.status));
    EXPECT_EQ(member(*parsed, "package")->text, "p\xEF\xBF\xBD.zip");
    for (const char* absent :
         {"name", "version", "key_id", "plugin_toml_sha256", "main_wasm_sha256", "manifest_sha256"})
      EXPECT_EQ(member(*parsed, absent)->kind, JsonValue::Kind::kNull) << absent;
    const JsonValue* error = member(*parsed, "error");
    ASSERT_EQ(error->kind, JsonValue::Kind::kObject);
    EXPECT_EQ(member(*error, "kind")->text, c.name);
    EXPECT_EQ(member(*error, "message")->text, "why\nnot");
  }
}

TEST(PackageLines, FailedExtractionKeepsWhatTheSignatureEstablished) {
  const PackageReport report{.package = "hello.zip",
                             .verified = sample_facts(),
                             .failure = Failure{.kind = FailureKind::kExtractFailed,
                                                .message = "out/main.wasm: File exists"}};
  EXPECT_EQ(exit_status(report), 3);
  EXPECT_EQ(text_line(report), "plugin_verify: hello.zip: out/main.wasm: File exists\n");
  const auto parsed = parse_json(json_line(report));
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(member(*parsed, "status")->text, "failed");
  EXPECT_EQ(member(*parsed, "name")->text, "hello");
  EXPECT_EQ(member(*parsed, "key_id")->text, "0123456789abcdef");
}

}  // namespace
}  // namespace plugin_sign
