#include "tools/plugin_sign/error_exit.hpp"

#include <gtest/gtest.h>

#include <string>

namespace plugin_sign {
namespace {

// The internal error's line is put together in a fixed buffer: a long explanation is cut so
// that the line, its line feed included, fills the buffer exactly and never runs past it.
TEST(InternalError, ALongExplanationIsCutToOneLineOfAKilobyte) {
  const std::string prefix = "plugin_sign \\(internal error\\): ";
  const std::size_t room = 1024 - std::string("plugin_sign (internal error): ").size() - 1;
  EXPECT_EXIT(exit_with_internal_error(std::string(room - 1, 'x')), ::testing::ExitedWithCode(101),
              "^" + prefix + "x{" + std::to_string(room - 1) + "}\n$");
  EXPECT_EXIT(exit_with_internal_error(std::string(room, 'x') + "y"),
              ::testing::ExitedWithCode(101), "^" + prefix + "x{" + std::to_string(room) + "}\n$");
}

}  // namespace
}  // namespace plugin_sign
