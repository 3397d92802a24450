#include "tools/plugin_sign/error_exit.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <span>

#include "io/file_io.hpp"

namespace plugin_sign {
namespace {

constexpr int kFailureStatus = 1;
constexpr int kInternalErrorStatus = 101;

bool write_to_standard_error(std::string_view text) {
  return write_all(STDERR_FILENO, std::as_bytes(std::span(text.data(), text.size()))).has_value();
}

}  // namespace

void exit_with(const ErrorExit& failure) {
  // One write, so that the line cannot interleave with anything else on the stream.
  const std::string line = failure.preamble + "plugin_sign: " + failure.message + "\n";
  std::exit(write_to_standard_error(line) ? kFailureStatus : kInternalErrorStatus);
}

void exit_with_internal_error(std::string_view what) {
  // Deliberately not in the "plugin_sign: " form: this is no failure of the job itself. Put
  // together in place, as this is also the way out when memory has run out.
  constexpr std::string_view kPrefix = "plugin_sign (internal error): ";
  std::array<char, 1024> line;
  const std::size_t length = std::min(what.size(), line.size() - kPrefix.size() - 1);
  char* end = std::copy(kPrefix.begin(), kPrefix.end(), line.begin());
  end = std::copy_n(what.begin(), length, end);
  *end++ = '\n';
  (void)write_to_standard_error(std::string_view(line.data(), end));
  std::exit(kInternalErrorStatus);
}

}  // namespace plugin_sign
