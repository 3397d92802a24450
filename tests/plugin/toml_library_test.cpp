// toml++ as plugin.toml's parser configures it.
#include "plugin/toml_library.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace plugin_sign {
namespace {

// The parser scales a hexadecimal float by its binary exponent with the pow that
// toml_library.hpp puts in its place (the C library's ldexp, not libm's pow). A document with
// one is refused afterwards, but the value the parser makes must still be libm's.
TEST(TomlLibrary, ScalesHexadecimalFloatsAsLibmsPowDoes) {
  const struct {
    const char* text;
    double mantissa;
    double exponent;
  } kCases[] = {
      {"0x1.8p1", 1.5, 1},
      {"0x1p-2", 1, -2},
      {"0xAp+0", 10, 0},
      {"0x1p1023", 1, 1023},
      {"0x1p1024", 1, 1024},                // overflows to infinity
      {"0x1p-1074", 1, -1074},              // the least subnormal
      {"0x1p-1076", 1, -1076},              // underflows to zero
      {"0x1p4294967295", 1, 4294967295.0},  // the largest exponent the parser reads
      {"0x1p-4294967295", 1, -4294967295.0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    const toml::parse_result parsed = toml::parse("x = " + std::string(c.text));
    ASSERT_TRUE(parsed) << parsed.error().description();
    const toml::value<double>* value = parsed.table()["x"].as_floating_point();
    ASSERT_NE(nullptr, value);
    EXPECT_EQ(c.mantissa * std::pow(2.0, c.exponent), value->get());
  }
  EXPECT_EQ(std::numeric_limits<double>::infinity(), toml::impl::pow(2.0, 1024));
}

}  // namespace
}  // namespace plugin_sign
