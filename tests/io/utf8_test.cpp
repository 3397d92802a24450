#include "io/utf8.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
    // Each bound of the lead and second bytes, from both sides: an overlong form would let a
    // second spelling of a character through.
    {"overlong two-byte form from C1", "\xC1\xBF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"lowest two-byte code point", "\xC2\x80", "\xC2\x80"},
    {"overlong three-byte form just below U+0800", "\xE0\x9F\xBF",
     "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"lowest three-byte code point", "\xE0\xA0\x80", "\xE0\xA0\x80"},
    {"overlong four-byte form just below U+10000", "\xF0\x8F\xBF\xBF",
     "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"lowest four-byte code point", "\xF0\x90\x80\x80", "\xF0\x90\x80\x80"},
    {"lead F5, only above U+10FFFF", "\xF5\x80\x80\x80",
     "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"DEL where a second byte belongs", "\xC3\x7F", "\xEF\xBF\xBD\x7F"},
    {"a lead byte where a second byte belongs", "\xC3\xC0", "\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"highest two-byte code point", "\xDF\xBF", "\xDF\xBF"},
    {"DEL where a third byte belongs", "\xE3\x81\x7F", "\xEF\xBF\xBD\x7F"},
    {"a lead byte where a third byte belongs", "\xE3\x81\xC0", "\xEF\xBF\xBD\xEF\xBF\xBD"},
    // The subpart replaced ends where the form broke off: the byte after it is kept.
    {"truncated three-byte form before ASCII", "a\xE3\x81z", "a\xEF\xBF\xBDz"},
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
}

// A byte that cannot stand alone becomes exactly one U+FFFD, whatever its kind.
TEST(Utf8, EachLoneNonAsciiByteBecomesOneReplacement) {
  for (int byte = 0x80; byte <= 0xFF; ++byte) {
    SCOPED_TRACE(byte);
    const std::string lone(1, static_cast<char>(byte));
    EXPECT_FALSE(is_valid_utf8(lone));
    EXPECT_EQ(to_utf8_lossy(lone), kR);
  }
}

TEST(Utf8SequenceLength, FollowsTheLeadBytesBitPattern) {
  struct Row {
    const char* name;
    unsigned char lead;
    std::size_t length;
  };
  constexpr Row kRows[] = {
      {"ASCII", 'a', 1},
      {"DEL", 0x7F, 1},
      {"continuation", 0x80, 1},
      {"last continuation", 0xBF, 1},
      {"overlong two-byte", 0xC0, 2},
      {"two-byte", 0xDF, 2},
      {"three-byte", 0xE0, 3},
      {"last three-byte", 0xEF, 3},
      {"four-byte", 0xF0, 4},
      {"beyond U+10FFFF", 0xF7, 4},
      {"five-byte pattern", 0xF8, 1},
      {"never occurs", 0xFF, 1},
  };
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(utf8_sequence_length(static_cast<char>(r.lead)), r.length);
  }
}

// Stepping through well-formed text by the lengths lands on every character's start and on
// the end exactly.
TEST(Utf8SequenceLength, StepsThroughWellFormedText) {
  const std::string_view text = "a\xC3\xA9\xE3\x81\x82\xF0\x9F\x98\x80z";
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at < text.size(); at += utf8_sequence_length(text[at]))
    starts.push_back(at);
  EXPECT_EQ(starts, (std::vector<std::size_t>{0, 1, 3, 6, 10}));
}

TEST(Utf8, EmbeddedNulIsValid) {
  EXPECT_TRUE(is_valid_utf8(std::string_view("a\0b", 3)));
}

}  // namespace
}  // namespace plugin_sign
