#include "plugin/semver.hpp"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace plugin_sign {
namespace {

// Every version here ranks below the next: the order of the Semantic Versioning 2.0.0
// examples, with the cases that simple comparisons get wrong.
TEST(SemverTest, PrecedenceFollowsTheChain) {
  const std::vector<std::string_view> ascending = {"0.0.0",
                                                   "0.0.1",
                                                   "0.1.0",
                                                   "0.9.0",
                                                   "0.10.0",
                                                   "1.0.0-0",
                                                   "1.0.0-2",
                                                   "1.0.0-10",
                                                   "1.0.0-123456",
                                                   "1.0.0--",
                                                   "1.0.0-Z",
                                                   "1.0.0-alpha",
                                                   "1.0.0-alpha.1",
                                                   "1.0.0-alpha.beta",
                                                   "1.0.0-beta",
                                                   "1.0.0-beta.2",
                                                   "1.0.0-beta.11",
                                                   "1.0.0-rc.1",
                                                   "1.0.0",
                                                   "1.0.1",
                                                   "1.9.0",
                                                   "1.10.0",
                                                   "1.11.0",
                                                   "2.0.0-x-y",
                                                   "2.0.0",
                                                   "10.0.0",
                                                   "18446744073709551616.0.0",
                                                   "99999999999999999999999.0.0"};
  for (std::size_t i = 0; i < ascending.size(); ++i)
    for (std::size_t j = 0; j < ascending.size(); ++j) {
      const auto order = compare_semver(ascending[i], ascending[j]);
      ASSERT_TRUE(order.has_value()) << ascending[i] << " vs " << ascending[j];
      EXPECT_EQ(*order, i < j ? -1 : i > j ? 1 : 0) << ascending[i] << " vs " << ascending[j];
    }
}

TEST(SemverTest, BuildMetadataDoesNotOrder) {
  struct Case {
    std::string_view a, b;
    int order;
  };
  const Case cases[] = {
      {"1.0.0+build.1", "1.0.0+build.2", 0}, {"1.0.0+zzz", "1.0.0", 0},
      {"1.0.0-alpha+001", "1.0.0-alpha", 0}, {"1.0.0-alpha+999", "1.0.0-beta+001", -1},
      {"1.0.0+0123", "1.0.1", -1},  // leading zeros are allowed in build metadata
  };
  for (const Case& c : cases) {
    EXPECT_EQ(compare_semver(c.a, c.b), c.order) << c.a << " vs " << c.b;
    EXPECT_EQ(compare_semver(c.b, c.a), -c.order) << c.b << " vs " << c.a;
  }
}

TEST(SemverTest, OnlyVersionsAsWrittenAreOrdered) {
  const std::string_view invalid[] = {
      "",          "1",          "1.0",    "1.0.0.0",       "01.0.0",         "1.02.0",
      "1.0.00",    "v1.0.0",     "1.0.0-", "1.0.0+",        "1.0.0-a..b",     "1.0.0-01",
      "1.0.0-a_b", "1.0.0+a+b",  "1.0.0 ", " 1.0.0",        "1.0.0-\xc3\xa9", "-1.0.0",
      "1..0",      "1.0.0+a..b", "1.0.x",  "1.0.0-alpha.01"};
  for (const std::string_view text : invalid) {
    EXPECT_FALSE(is_semver(text)) << '"' << text << '"';
    EXPECT_EQ(compare_semver(text, "1.0.0"), std::nullopt) << text;
    EXPECT_EQ(compare_semver("1.0.0", text), std::nullopt) << text;
  }
  const std::string_view valid[] = {"0.0.0",         "1.0.0-0A",  "1.0.0-alpha-1.2",
                                    "1.0.0+001.a-b", "1.0.0-00a", "1.0.0---"};
  for (const std::string_view text : valid) EXPECT_TRUE(is_semver(text)) << text;
}

}  // namespace
}  // namespace plugin_sign
