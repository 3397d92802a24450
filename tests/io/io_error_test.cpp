#include "io/io_error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace plugin_sign {
namespace {

TEST(IoErrorText, OsErrorShowsDescriptionAndNumber) {
  EXPECT_EQ(io_error_text(IoError{.os_error = ENOENT, .fixed = {}}),
            "No such file or directory (os error 2)");
  EXPECT_EQ(io_error_text(IoError{.os_error = EISDIR, .fixed = {}}),
            "Is a directory (os error 21)");
  EXPECT_EQ(io_error_text(IoError{.os_error = ESPIPE, .fixed = {}}), "Illegal seek (os error 29)");
}

TEST(IoErrorText, FixedMessageStandsAlone) {
  EXPECT_EQ(io_error_text(IoError{.os_error = 0, .fixed = "failed to write whole buffer"}),
            "failed to write whole buffer");
}

TEST(IoErrorText, UnknownNumberStillRenders) {
  EXPECT_EQ(io_error_text(IoError{.os_error = 9999, .fixed = {}}),
            "Unknown error 9999 (os error 9999)");
}

}  // namespace
}  // namespace plugin_sign
