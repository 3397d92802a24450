// The TOML reading against the toml-test corpus for TOML 1.1.0, file by file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "io/utf8.hpp"
#include "json_value.hpp"
#include "plugin/plugin_toml.hpp"
#include "support/toml_scalars.hpp"

namespace plugin_sign {
namespace {

using testing::check_toml_document;
using testing::TomlPathStep;
using testing::TomlScalar;

namespace fs = std::filesystem;

const std::string kReplacement = "\xEF\xBF\xBD";

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::span<const std::byte> as_bytes(std::string_view text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

// The corpus files whose only fault is ill-formed UTF-8, which this tool replaces before
// parsing; what the replaced text gives is pinned here instead.
struct ReplacedCase {
  const char* file;
  bool accepted;
  const char* bad;  // the value of key "bad", when the file has one
};
constexpr ReplacedCase kReplacedCases[] = {
    {"invalid/encoding/bad-codepoint.toml", true, nullptr},
    {"invalid/encoding/bad-utf8-at-end.toml", false, nullptr},
    {"invalid/encoding/bad-utf8-in-array.toml", false, nullptr},
    {"invalid/encoding/bad-utf8-in-comment.toml", true, nullptr},
    {"invalid/encoding/bad-utf8-in-multiline.toml", true, "\xEF\xBF\xBD"},
    {"invalid/encoding/bad-utf8-in-multiline-literal.toml", true, "\xEF\xBF\xBD"},
    {"invalid/encoding/bad-utf8-in-string.toml", true, "\xEF\xBF\xBD"},
    {"invalid/encoding/bad-utf8-in-string-literal.toml", true, "\xEF\xBF\xBD"},
    {"invalid/encoding/utf16-bom.toml", false, nullptr},
};

bool is_replaced_case(const std::string& file) {
  return std::ranges::any_of(kReplacedCases, [&](const ReplacedCase& c) { return file == c.file; });
}

// A toml-test leaf is {"type": ..., "value": ...} with two strings.
bool is_leaf(const JsonValue& value) {
  return value.kind == JsonValue::Kind::kObject && value.members.size() == 2 &&
         std::ranges::all_of(value.members, [](const auto& member) {
           return (member.first == "type" || member.first == "value") &&
                  member.second.kind == JsonValue::Kind::kString;
         });
}

void collect_expected(const JsonValue& value, std::vector<TomlPathStep>& path,
                      std::vector<TomlScalar>& out) {
  if (is_leaf(value)) {
    TomlScalar scalar{path, {}, {}};
    for (const auto& [name, text] : value.members)
      (name == "type" ? scalar.type : scalar.value) = text.text;
    out.push_back(std::move(scalar));
  } else if (value.kind == JsonValue::Kind::kObject) {
    for (const auto& [key, child] : value.members) {
      path.emplace_back(key);
      collect_expected(child, path, out);
      path.pop_back();
    }
  } else if (value.kind == JsonValue::Kind::kArray) {
    for (std::size_t i = 0; i < value.items.size(); ++i) {
      path.emplace_back(i);
      collect_expected(value.items[i], path, out);
      path.pop_back();
    }
  }
}

std::string path_text(const std::vector<TomlPathStep>& path) {
  std::string text;
  for (const TomlPathStep& step : path) {
    if (const auto* key = std::get_if<std::string>(&step)) {
      text += '.';
      text += *key;
    } else {
      text += '[';
      text += std::to_string(std::get<std::size_t>(step));
      text += ']';
    }
  }
  return text;
}

bool same_value(const TomlScalar& got, const TomlScalar& want) {
  if (want.type == "float") {
    const double a = std::strtod(got.value.c_str(), nullptr);
    const double b = std::strtod(want.value.c_str(), nullptr);
    return (std::isnan(a) && std::isnan(b)) || a == b;
  }
  // Dates and times are compared by kind only: toml-test keeps their source spelling.
  if (want.type != "string" && want.type != "integer" && want.type != "bool") return true;
  return got.value == want.value;
}

// Why the scalars differ, or empty when they match.
std::string scalar_mismatch(std::vector<TomlScalar> got, std::vector<TomlScalar> want) {
  const auto by_path = [](const TomlScalar& a, const TomlScalar& b) { return a.path < b.path; };
  std::ranges::sort(got, by_path);
  std::ranges::sort(want, by_path);
  if (got.size() != want.size())
    return std::to_string(got.size()) + " scalars, expected " + std::to_string(want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i].path != want[i].path || got[i].type != want[i].type || !same_value(got[i], want[i]))
      return path_text(got[i].path) + " = " + got[i].type + " \"" + got[i].value + "\", expected " +
             path_text(want[i].path) + " = " + want[i].type + " \"" + want[i].value + "\"";
  }
  return {};
}

class TomlConformance : public ::testing::Test {
 protected:
  void SetUp() override {
    corpus_ = fs::path(PLUGIN_SIGN_SHARED_DIR) / "toml-test";
    std::ifstream list(corpus_ / "files-toml-1.1.0");
    // CI asks for the corpus, so that a missing one cannot pass as a skipped test there.
    const char* required = std::getenv("PLUGIN_SIGN_REQUIRE_CORPUS");
    if (!list && required != nullptr && std::string_view(required) == "1")
      FAIL() << "no conformance corpus at " << corpus_ << ", and PLUGIN_SIGN_REQUIRE_CORPUS=1";
    if (!list)
      GTEST_SKIP() << "no conformance corpus at " << corpus_ << " (shared directory absent)";
    for (std::string line; std::getline(list, line);)
      if (line.ends_with(".toml")) files_.push_back(line);
    ASSERT_FALSE(files_.empty()) << "the corpus lists no files";
  }

  std::vector<std::string> files_with_prefix(std::string_view prefix) const {
    std::vector<std::string> out;
    std::ranges::copy_if(files_, std::back_inserter(out),
                         [&](const std::string& f) { return f.starts_with(prefix); });
    return out;
  }

  fs::path corpus_;
  std::vector<std::string> files_;
};

TEST_F(TomlConformance, AcceptsEveryValidDocumentWithItsValues) {
  const std::vector<std::string> valid = files_with_prefix("valid/");
  ASSERT_FALSE(valid.empty());
  std::size_t matched = 0;
  for (const std::string& file : valid) {
    SCOPED_TRACE(file);
    const std::string text = read_file(corpus_ / file);
    ASSERT_TRUE(is_valid_utf8(text));
    const auto got = check_toml_document(text);
    if (!got) {
      ADD_FAILURE() << "refused: " << got.error().message;
      continue;
    }
    std::string json_file = file;
    json_file.replace(json_file.size() - 5, 5, ".json");
    const std::optional<JsonValue> json = parse_json(read_file(corpus_ / json_file));
    ASSERT_TRUE(json.has_value()) << json_file;
    std::vector<TomlScalar> want;
    std::vector<TomlPathStep> path;
    collect_expected(*json, path, want);
    const std::string mismatch = scalar_mismatch(*got, want);
    EXPECT_EQ("", mismatch);
    if (mismatch.empty()) ++matched;
  }
  std::cout << "[ corpus   ] " << matched << " of " << valid.size()
            << " valid documents accepted with matching values\n";
}

TEST_F(TomlConformance, RefusesEveryInvalidDocumentWithASyntaxError) {
  std::vector<std::string> invalid = files_with_prefix("invalid/");
  std::erase_if(invalid, is_replaced_case);
  ASSERT_FALSE(invalid.empty());
  std::size_t refused = 0;
  for (const std::string& file : invalid) {
    SCOPED_TRACE(file);
    const std::string bytes = read_file(corpus_ / file);
    const std::string text = to_utf8_lossy(bytes);
    const auto got = check_toml_document(text);
    if (got) {
      ADD_FAILURE() << "accepted";
      continue;
    }
    ++refused;
    const ByteRange range = got.error().range;
    EXPECT_LE(range.start, range.end);
    EXPECT_LE(range.end, text.size());
    EXPECT_FALSE(got.error().message.empty());
    // The whole reading reports that same error, not a missing package.
    const auto package = read_package_name_version(as_bytes(bytes));
    ASSERT_FALSE(package.has_value());
    EXPECT_EQ(render_error_report(text, got.error().message, range), package.error());
  }
  std::cout << "[ corpus   ] " << refused << " of " << invalid.size()
            << " invalid documents refused\n";
}

TEST_F(TomlConformance, IllFormedUtf8IsReadAsTheReplacedText) {
  for (const ReplacedCase& c : kReplacedCases) {
    SCOPED_TRACE(c.file);
    ASSERT_TRUE(std::ranges::find(files_, c.file) != files_.end());
    const std::string bytes = read_file(corpus_ / c.file);
    ASSERT_FALSE(is_valid_utf8(bytes));
    const std::string text = to_utf8_lossy(bytes);
    const auto got = check_toml_document(text);
    ASSERT_EQ(c.accepted, got.has_value()) << (got ? "" : got.error().message);
    const auto package = read_package_name_version(as_bytes(bytes));
    ASSERT_FALSE(package.has_value());
    if (!got) {
      EXPECT_LE(got.error().range.end, text.size());
      EXPECT_EQ(render_error_report(text, got.error().message, got.error().range), package.error());
      continue;
    }
    EXPECT_EQ(render_error_report(text, "missing field `package`", ByteRange{0, 0}),
              package.error());
    if (c.bad != nullptr) {
      ASSERT_EQ(1u, got->size());
      EXPECT_EQ(std::vector<TomlPathStep>{std::string("bad")}, got->front().path);
      EXPECT_EQ(c.bad, got->front().value);
    }
  }
}

}  // namespace
}  // namespace plugin_sign
