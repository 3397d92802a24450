// Trust files read while the crypto library cannot start: they fail closed. The test binary
// is linked with every call to sodium_init routed here, where it fails.
#include <gtest/gtest.h>

#include <string>

#include "plugin_sign/keys.hpp"
#include "plugin_sign/revocations.hpp"

extern "C" int __wrap_sodium_init() {
  return -1;
}

namespace plugin_sign {
namespace {

const std::string kKey = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";

// Without the library's start, no key is known to be a point of the prime-order subgroup, and
// a revocation file (whose statements need it) is not read as revoking nothing.
TEST(CryptoLibraryThatCannotStart, RefusesKeysAndRevocations) {
  const auto key = parse_public_key(kKey);
  ASSERT_FALSE(key.has_value());
  EXPECT_EQ("the crypto library could not start", key.error());
  const auto keys = parse_trusted_keys("# keys\n" + kKey + "\n");
  ASSERT_FALSE(keys.has_value());
  EXPECT_EQ("line 2: the crypto library could not start", keys.error());
  const auto revocations = parse_revocations("key-id 0123456789abcdef\n");
  ASSERT_FALSE(revocations.has_value());
  EXPECT_EQ("the crypto library could not start", revocations.error());
}

}  // namespace
}  // namespace plugin_sign
