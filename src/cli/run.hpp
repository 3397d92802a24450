// run.hpp — one run of the tool: read, digest, sign, describe, pack.
#pragma once

#include <expected>
#include <optional>
#include <string>

namespace plugin_sign {

/// The command line after the arguments were found to be valid UTF-8.
struct Arguments {
  std::string plugin_dir;
  std::optional<std::string> output_path;
};

/// Why a run stopped. `message` goes after "plugin_sign: "; `preamble`, when not empty, is
/// written to standard error first, on the same line.
struct Failure {
  std::string message;
  std::string preamble;
};

/// Does the whole job and returns the output path the archive was written to. Prints
/// nothing and never exits: the first failing step gives the Failure.
[[nodiscard]] std::expected<std::string, Failure> run(const Arguments& arguments);

}  // namespace plugin_sign
