#include "signing/signing_key.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "signing/signature.hpp"
#include "signing/signing_key_cases.hpp"

// Allocations made while a test counts them (from 0; -1: not counting).
namespace {
thread_local int counted_allocations = -1;
}  // namespace

void* operator new(std::size_t size) {
  if (counted_allocations >= 0) ++counted_allocations;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void operator delete(void* memory) noexcept {
  std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}

namespace plugin_sign {
namespace {

using namespace signing_key_cases;

// The RFC 8032 TEST 1 seed in bytes; kKey is its Base64.
constexpr unsigned char kSeed[32] = {
    0x9d, 0x61, 0xb1, 0x9d, 0xef, 0xfd, 0x5a, 0x60, 0xba, 0x84, 0x4a, 0xf4, 0x92, 0xec, 0x2c, 0xc4,
    0x44, 0x49, 0xc5, 0x69, 0x7b, 0x32, 0x69, 0x19, 0x70, 0x3b, 0xac, 0x03, 0x1c, 0xae, 0x7f, 0x60};

bool holds_seed(const SigningKey& key, const unsigned char (&expected)[32]) {
  return std::memcmp(key.seed().data(), expected, 32) == 0;
}

bool is_zero(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

TEST(SigningKeyFromValue, RefusesWithTheCompleteMessage) {
  for (const RefusedValue& c : refused_values()) {
    SCOPED_TRACE(c.name);
    auto key = signing_key_from_value(c.value ? c.value->c_str() : nullptr);
    ASSERT_FALSE(key.has_value());
    EXPECT_EQ(c.message, key.error());
  }
}

TEST(SigningKeyFromValue, AcceptsTheCanonicalKeyWithWhiteSpaceAround) {
  const struct {
    const char* name;
    std::string value;
  } cases[] = {
      {"bare", kKey},
      {"line feed", kKey + "\n"},
      {"carriage return and line feed", kKey + "\r\n"},
      {"tabs and spaces", "\t  " + kKey + " \t"},
      {"no-break space", "\xC2\xA0" + kKey + "\xC2\xA0"},
      {"ideographic space", "\xE3\x80\x80" + kKey + "\xE3\x80\x80"},
      {"several kinds", "\xC2\x85\xE2\x80\xA8\v" + kKey + "\f\xE2\x81\x9F\xE1\x9A\x80"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto key = signing_key_from_value(c.value.c_str());
    ASSERT_TRUE(key.has_value()) << key.error();
    EXPECT_TRUE(holds_seed(*key, kSeed));
  }
}

struct DecodeFailure {
  const char* name;
  std::string text;
  const char* detail;
};

TEST(DecodeBase64Strict, RefusesWithTheFirstFault) {
  const DecodeFailure cases[] = {
      {"lone symbol", "A", "Invalid input length: 1"},
      {"lone =", "=", "Invalid symbol 61, offset 0."},
      {"= starting the final group", "AAAA=", "Invalid symbol 61, offset 4."},
      {"all padding", "AAAA====", "Invalid symbol 61, offset 4."},
      {"= inside an inner group", "AA==AAAA", "Invalid symbol 61, offset 2."},
      {"= overflowing into a lone last byte", "AAA==", "Invalid symbol 61, offset 3."},
      {"any byte after = names the =", "AA=!", "Invalid symbol 61, offset 2."},
      {"two symbols unpadded", "AB", "Invalid padding"},
      {"two symbols, one =", "AB=", "Invalid padding"},
      {"three symbols unpadded", "AAAAABC", "Invalid padding"},
      {"stray bits after two symbols", "AB==", "Invalid last symbol 66, offset 1."},
      {"stray bits after three symbols", "AAAAAAB=", "Invalid last symbol 66, offset 6."},
      {"stray bit 3 after two symbols", "AI==", "Invalid last symbol 73, offset 1."},
      {"stray bit 1 after three symbols", "AAC=", "Invalid last symbol 67, offset 2."},
      {"non-ASCII inside: its first byte", "A\xC3\xA9", "Invalid symbol 195, offset 1."},
      {"non-ASCII lone last character: its last byte", "AAA\xC3\xA9",
       "Invalid symbol 169, offset 4."},
      {"DEL", "AAA\x7F", "Invalid symbol 127, offset 3."},
      {"NUL", std::string("AA\0A", 4), "Invalid symbol 0, offset 2."},
  };
  for (const DecodeFailure& c : cases) {
    SCOPED_TRACE(c.name);
    auto got = decode_base64_strict(c.text);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(c.detail, to_text(got.error()));
  }
}

TEST(DecodeBase64Strict, DecodesCanonicalText) {
  const struct {
    const char* text;
    std::string bytes;
  } cases[] = {
      {"", ""},
      {"Zg==", "f"},
      {"Zm8=", "fo"},
      {"Zm9v", "foo"},
      {"Zm9vYg==", "foob"},
      {"Zm9vYmE=", "fooba"},
      {"Zm9vYmFy", "foobar"},
      {"+/8=", "\xFB\xFF"},
      {"AA==", std::string(1, '\0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto got = decode_base64_strict(c.text);
    ASSERT_TRUE(got.has_value()) << to_text(got.error());
    EXPECT_EQ(c.bytes, *got);
  }
}

// Growing the decoded bytes would leave their first part, a secret key's, in freed memory.
TEST(DecodeBase64Strict, DecodesAKeyIntoOneAllocation) {
  counted_allocations = 0;
  auto got = decode_base64_strict(kKey);
  const int allocations = counted_allocations;
  counted_allocations = -1;
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(32u, got->size());
  EXPECT_EQ(1, allocations);
}

TEST(DecodeBase64Strict, InvertsTheEncoderForEveryLengthAndByte) {
  std::string all_bytes;
  for (int b = 0; b < 256; ++b) all_bytes += static_cast<char>(b);
  for (std::size_t length = 0; length <= all_bytes.size(); ++length) {
    SCOPED_TRACE(length);
    const std::string bytes = all_bytes.substr(all_bytes.size() - length);
    auto got = decode_base64_strict(encode_base64(std::as_bytes(std::span(bytes))));
    ASSERT_TRUE(got.has_value()) << to_text(got.error());
    EXPECT_EQ(bytes, *got);
  }
}

struct CodePoint {
  const char* name;
  const char* utf8;
};

constexpr CodePoint kWhiteSpace[] = {
    {"U+0009", "\t"},           {"U+000A", "\n"},           {"U+000B", "\v"},
    {"U+000C", "\f"},           {"U+000D", "\r"},           {"U+0020", " "},
    {"U+0085", "\xC2\x85"},     {"U+00A0", "\xC2\xA0"},     {"U+1680", "\xE1\x9A\x80"},
    {"U+2000", "\xE2\x80\x80"}, {"U+2001", "\xE2\x80\x81"}, {"U+2002", "\xE2\x80\x82"},
    {"U+2003", "\xE2\x80\x83"}, {"U+2004", "\xE2\x80\x84"}, {"U+2005", "\xE2\x80\x85"},
    {"U+2006", "\xE2\x80\x86"}, {"U+2007", "\xE2\x80\x87"}, {"U+2008", "\xE2\x80\x88"},
    {"U+2009", "\xE2\x80\x89"}, {"U+200A", "\xE2\x80\x8A"}, {"U+2028", "\xE2\x80\xA8"},
    {"U+2029", "\xE2\x80\xA9"}, {"U+202F", "\xE2\x80\xAF"}, {"U+205F", "\xE2\x81\x9F"},
    {"U+3000", "\xE3\x80\x80"},
};

// Neighbours of the white space code points, and the look-alikes without the property: U+2080
// and U+4000 end in U+2000's last two bytes, and E2 80 7F has DEL where U+2000's last byte goes.
constexpr CodePoint kNotWhiteSpace[] = {
    {"U+0008", "\b"},           {"U+000E", "\x0E"},         {"U+001C", "\x1C"},
    {"U+001F", "\x1F"},         {"U+007F", "\x7F"},         {"U+0084", "\xC2\x84"},
    {"U+00A1", "\xC2\xA1"},     {"U+1681", "\xE1\x9A\x81"}, {"U+180E", "\xE1\xA0\x8E"},
    {"U+200B", "\xE2\x80\x8B"}, {"U+2027", "\xE2\x80\xA7"}, {"U+202A", "\xE2\x80\xAA"},
    {"U+2030", "\xE2\x80\xB0"}, {"U+205E", "\xE2\x81\x9E"}, {"U+2060", "\xE2\x81\xA0"},
    {"U+3001", "\xE3\x80\x81"}, {"U+FEFF", "\xEF\xBB\xBF"}, {"U+3000 prefix only", "\xE3\x80"},
    {"U+2080", "\xE2\x82\x80"}, {"U+4000", "\xE4\x80\x80"}, {"E2 80 7F", "\xE2\x80\x7F"},
};

TEST(TrimWhiteSpace, RemovesEachWhiteSpaceCodePointAtBothEnds) {
  for (const CodePoint& c : kWhiteSpace) {
    SCOPED_TRACE(c.name);
    const std::string ws = c.utf8;
    EXPECT_EQ("A " + ws + "B", trim_white_space(ws + ws + "A " + ws + "B" + ws + ws));
    EXPECT_EQ("", trim_white_space(ws));
  }
}

// A view that ends inside a code point, or right after white space, is followed in memory by
// the rest of it: none of that may be read as part of the view.
TEST(TrimWhiteSpace, ReadsNothingBeyondTheView) {
  for (const CodePoint& c : kWhiteSpace) {
    SCOPED_TRACE(c.name);
    const std::string ws = c.utf8;
    const std::string memory = ws + ws + "A";
    for (std::size_t cut = 0; cut < ws.size(); ++cut) {
      SCOPED_TRACE(cut);
      EXPECT_EQ(ws.substr(0, cut),
                trim_white_space(std::string_view(memory).substr(0, ws.size() + cut)));
    }
  }
}

TEST(TrimWhiteSpace, KeepsEveryOtherCharacter) {
  for (const CodePoint& c : kNotWhiteSpace) {
    SCOPED_TRACE(c.name);
    const std::string text = std::string(c.utf8) + "A" + c.utf8;
    EXPECT_EQ(text, trim_white_space(" " + text + "\n"));
  }
}

// Sets KAVENTA_PLUGIN_SIGNING_KEY for one test and puts the previous state back.
class SigningKeyFromEnvironment : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* value = std::getenv(kName)) saved_ = value;
  }
  void TearDown() override {
    if (saved_)
      ::setenv(kName, saved_->c_str(), 1);
    else
      ::unsetenv(kName);
  }

  static constexpr const char* kName = "KAVENTA_PLUGIN_SIGNING_KEY";
  std::optional<std::string> saved_;
};

TEST_F(SigningKeyFromEnvironment, ReadsTheVariable) {
  ASSERT_EQ(0, ::setenv(kName, (" " + kKey + "\n").c_str(), 1));
  auto key = signing_key_from_environment();
  ASSERT_TRUE(key.has_value()) << key.error();
  EXPECT_TRUE(holds_seed(*key, kSeed));

  ASSERT_EQ(0, ::setenv(kName, "", 1));
  auto empty = signing_key_from_environment();
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(kWrongSize, empty.error());

  ASSERT_EQ(0, ::unsetenv(kName));
  auto unset = signing_key_from_environment();
  ASSERT_FALSE(unset.has_value());
  EXPECT_EQ(kNotSet, unset.error());
}

std::array<std::byte, 32> seed_array() {
  std::array<std::byte, 32> seed;
  std::memcpy(seed.data(), kSeed, 32);
  return seed;
}

TEST(SigningKey, MovingLeavesTheSourceZeroed) {
  SigningKey source(seed_array());
  SigningKey constructed(std::move(source));
  EXPECT_TRUE(holds_seed(constructed, kSeed));
  EXPECT_TRUE(is_zero(source.seed().data(), 32));  // NOLINT(bugprone-use-after-move)

  SigningKey assigned(std::array<std::byte, 32>{});
  assigned = std::move(constructed);
  EXPECT_TRUE(holds_seed(assigned, kSeed));
  EXPECT_TRUE(is_zero(constructed.seed().data(), 32));  // NOLINT(bugprone-use-after-move)

  // Assigned to itself, a key keeps its seed instead of wiping it.
  SigningKey& same = assigned;
  assigned = std::move(same);
  EXPECT_TRUE(holds_seed(assigned, kSeed));
}

TEST(SigningKey, DestructorZeroesTheSeed) {
  alignas(SigningKey) unsigned char storage[sizeof(SigningKey)];
  auto* key = new (storage) SigningKey(seed_array());
  ASSERT_TRUE(holds_seed(*key, kSeed));
  key->~SigningKey();
  EXPECT_TRUE(is_zero(storage, sizeof storage));
}

}  // namespace
}  // namespace plugin_sign
