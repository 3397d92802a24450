// arguments.hpp — plugin_verify's command line, parsed without touching any file.
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "plugin_sign/verify.hpp"

namespace plugin_sign {

/// Where a trusted key comes from, in command-line order.
struct KeySource {
  enum class Kind { kFile, kBase64 };
  Kind kind = Kind::kFile;
  std::string text;  ///< the key file's path, or the key itself
};

enum class OutputMode { kText, kJson, kQuiet };

/// A command line that asks for verification.
struct VerifyArguments {
  std::vector<KeySource> keys;
  std::vector<std::string> revocation_files;  ///< -r, in command-line order
  std::optional<std::string> expected_name;   ///< --name
  std::optional<std::string> record;          ///< --record, the version record's path
  std::optional<std::string> extract_dir;
  OutputMode output = OutputMode::kText;
  VerifyLimits limits;  ///< --max-wasm-size and --max-toml-size, the library's defaults otherwise
  std::vector<std::string> packages;
};

/// What the command line asks for: --help, --version, or a verification.
struct Command {
  enum class Kind { kHelp, kVersion, kVerify };
  Kind kind = Kind::kVerify;
  VerifyArguments verify;
};

/// The one-line synopsis, without "usage: ".
inline constexpr const char* kSynopsis =
    "plugin_verify [-p KEYFILE]... [-P PUBLICKEY]... [-r FILE]... [--name NAME] [-x DIR] "
    "[--record FILE] [--max-wasm-size BYTES] [--max-toml-size BYTES] [--json] [-q] PACKAGE...";

/// Parses `args` (without the program name). Options may come before, between or after the
/// packages; "--" ends them; "-pFILE" and "-PKEY" work as "-p FILE" and "-P KEY". The error
/// says what is wrong, e.g. "no trusted key: give -p KEYFILE or -P PUBLICKEY".
[[nodiscard]] std::expected<Command, std::string> parse_arguments(
    std::span<const std::string> args);

}  // namespace plugin_sign
