#include "io/utf8.hpp"

#include <gtest/gtest.h>

namespace plugin_sign {
namespace {

struct Case {
  const char* name;
  std::string_view bytes;
  std::string_view lossy;  // what the decoder gives; equal to `bytes` when valid
};

constexpr std::string_view kR = "\xEF\xBF\xBD";  // U+FFFD

const Case kCases[] = {
    {"ascii", "plugin.toml", "plugin.toml"},
    {"empty", "", ""},
    {"two, three and four byte forms", "\xC3\xA9\xE3\x81\x82\xF0\x9F\x98\x80",
     "\xC3\xA9\xE3\x81\x82\xF0\x9F\x98\x80"},
    {"highest code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
    {"lone continuation byte", "a\x80z", "a\xEF\xBF\xBDz"},
    {"truncated three-byte form at the end", "a\xE3\x81", "a\xEF\xBF\xBD"},
    {"overlong two-byte form", "\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"overlong three-byte form", "\xE0\x80\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"surrogate", "\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"above U+10FFFF", "\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"bytes that never occur", "\xFE\xFF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
    // The Unicode Standard's own example of maximal subparts (chapter 3, U+FFFD substitution).
    {"maximal subparts",
     "a\xF1\x80\x80\xE1\x80\xC2"
     "b\x80"
     "c\x80\xBF"
     "d",
     "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
     "b\xEF\xBF\xBD"
     "c\xEF\xBF\xBD\xEF\xBF\xBD"
     "d"},
};

TEST(Utf8, ValidatesAndReplacesMaximalSubparts) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(is_valid_utf8(c.bytes), c.bytes == c.lossy);
    EXPECT_EQ(to_utf8_lossy(c.bytes), c.lossy);
  }
  EXPECT_EQ(kR.size(), 3u);
}

TEST(Utf8, EmbeddedNulIsValid) {
  EXPECT_TRUE(is_valid_utf8(std::string_view("a\0b", 3)));
}

}  // namespace
}  // namespace plugin_sign
