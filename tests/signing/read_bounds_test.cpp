// Key files read into a buffer of exactly their size: nothing may be read after the last byte
// of the text, nor after the last of the lines and words cut from it. A binary of its own,
// since it replaces operator new (support/guarded_heap.cpp).
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "plugin_sign/keys.hpp"
#include "support/guard_page.hpp"
#include "support/guarded_heap.hpp"

namespace plugin_sign {
namespace {

const std::string kKey1 = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";
const std::string kKey2 = "PUAXw+hDiVqStwqnTRt+vJyYLM8uxJaMwM1V8Sr0Zgw=";
const std::string kPemBegin = "-----BEGIN PUBLIC KEY-----\n";
const std::string kPemBody = "MCowBQYDK2VwAyEA11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";

// In the child both the text and every allocation end at an unreadable page.
TEST(ParseTrustedKeys, ReadsNothingPastTheTextOrItsLines) {
  const std::string texts[] = {
      kKey1,
      kKey1 + " names=a,b*",
      "# c\n" + kKey2 + "\t names=*",
      kPemBegin + kPemBody,
      kPemBegin + kPemBody + "\n-----END PUBLIC KEY-----",
  };
  for (const std::string& text : texts)
    testing::expect_no_read_past_end(text, [](std::string_view guarded) {
      testing::guard_every_allocation();
      (void)parse_trusted_keys(guarded);
    });
}

}  // namespace
}  // namespace plugin_sign
