// error_exit.hpp — the one failure path of a run, and the process's internal errors.
#pragma once

#include <string>
#include <string_view>

namespace plugin_sign {

/// Why a run stopped. `message` is written after "plugin_sign: "; `preamble`, when not
/// empty, is written to standard error first, on the same line.
struct ErrorExit {
  std::string message;
  std::string preamble;
};

/// Writes the preamble and "plugin_sign: {message}\n" to standard error and exits with
/// status 1, or with status 101 when standard error cannot take the line.
[[noreturn]] void exit_with(const ErrorExit& failure);

/// Writes "plugin_sign (internal error): {what}" as one line to standard error and exits
/// with 101. Allocates nothing, so it serves when memory has run out; `what` is cut short
/// beyond about a kilobyte.
[[noreturn]] void exit_with_internal_error(std::string_view what);

}  // namespace plugin_sign
