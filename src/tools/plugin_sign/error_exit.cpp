#include "tools/plugin_sign/error_exit.hpp"

#include <unistd.h>

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
  // Deliberately not in the "plugin_sign: " form: this is no failure of the job itself.
  (void)write_to_standard_error("plugin_sign (internal error): " + std::string(what) + "\n");
  std::exit(kInternalErrorStatus);
}

}  // namespace plugin_sign
