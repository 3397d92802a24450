#include "io/io_error.hpp"

#include <cerrno>
#include <cstring>

#include "io/utf8.hpp"

namespace plugin_sign {
namespace {

// strerror_r comes in two flavours; overloads pick whichever the C library declares.
[[maybe_unused]] const char* description(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* description(const char* result, const char*) {
  return result;
}

}  // namespace

IoError last_os_error() {
  return IoError{.os_error = errno, .fixed = {}};
}

std::string io_error_text(const IoError& error) {
  if (error.os_error == 0) return error.fixed;
  char buffer[128] = {};
  const char* text = description(strerror_r(error.os_error, buffer, sizeof buffer), buffer);
  return to_utf8_lossy(text) + " (os error " + std::to_string(error.os_error) + ")";
}

}  // namespace plugin_sign
