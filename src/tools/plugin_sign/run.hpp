// run.hpp — one run of the tool: read, digest, sign, describe, pack.
#pragma once

#include <expected>
#include <optional>
#include <string>

#include "tools/plugin_sign/error_exit.hpp"

namespace plugin_sign {

/// The command line after the arguments were found to be valid UTF-8.
struct Arguments {
  std::string plugin_dir;
  std::optional<std::string> output_path;
};

/// Does the whole job and returns the output path the archive was written to. Prints
/// nothing and never exits: the first failing step gives the ErrorExit.
[[nodiscard]] std::expected<std::string, ErrorExit> run(const Arguments& arguments);

}  // namespace plugin_sign
