#include "tools/plugin_verify/arguments.hpp"

#include <cstdint>
#include <string_view>

namespace plugin_sign {
namespace {

// The value of an option that takes one: attached ("-pFILE") or the next argument.
std::expected<std::string, std::string> option_value(std::span<const std::string> args,
                                                     std::size_t& i, std::string_view option) {
  const std::string& arg = args[i];
  if (arg.size() > option.size()) return arg.substr(option.size());
  if (i + 1 >= args.size())
    return std::unexpected("option " + std::string(option) + " needs " +
                           (option == "-x"                 ? "a directory"
                            : option == "-r"               ? "a revocation file"
                            : option == "--name"           ? "a package name"
                            : option == "--record"         ? "a version record file"
                            : option.starts_with("--max-") ? "a size in bytes"
                                                           : "a key"));
  return args[++i];
}

// The most a limit can be: no entry of a package reaches 4 GiB.
constexpr std::uint64_t kLargestLimit = std::uint64_t{1} << 32;

// A size as digits with an optional binary suffix K, M or G: "64M". Nothing else, so that a
// typing slip ("64MB", "1.5G", "-1") is an error rather than another limit than meant.
std::expected<std::uint64_t, std::string> parse_size(std::string_view option,
                                                     std::string_view text) {
  const std::string invalid = std::string(option) + ": invalid size \"" + std::string(text) +
                              "\": give digits, optionally followed by K, M or G";
  unsigned shift = 0;
  std::string_view digits = text;
  if (!digits.empty()) {
    switch (digits.back()) {
      case 'K':
        shift = 10;
        break;
      case 'M':
        shift = 20;
        break;
      case 'G':
        shift = 30;
        break;
      default:
        break;
    }
    if (shift != 0) digits.remove_suffix(1);
  }
  if (digits.empty()) return std::unexpected(invalid);
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::unexpected(invalid);
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    // Checked at every digit, so that the value never wraps.
    if (value > kLargestLimit) break;
  }
  if (value > (kLargestLimit >> shift))
    return std::unexpected(std::string(option) + ": " + std::string(text) +
                           " is more than a package entry can hold (4G at most)");
  return value << shift;
}

// --max-wasm-size and --max-toml-size: each at most once.
std::expected<void, std::string> set_limit(std::span<const std::string> args, std::size_t& i,
                                           std::optional<std::uint64_t>& limit) {
  const std::string option = args[i];
  auto value = option_value(args, i, option);
  if (!value) return std::unexpected(value.error());
  if (limit) return std::unexpected(option + " given more than once");
  auto size = parse_size(option, *value);
  if (!size) return std::unexpected(size.error());
  limit = *size;
  return {};
}

std::expected<void, std::string> check_combination(const Command& command, bool json, bool quiet) {
  const VerifyArguments& verify = command.verify;
  if (json && quiet) return std::unexpected("-q and --json exclude each other");
  if (verify.keys.empty())
    return std::unexpected("no trusted key: give -p KEYFILE or -P PUBLICKEY");
  if (verify.packages.empty()) return std::unexpected("no PACKAGE to verify");
  if (verify.extract_dir && verify.packages.size() != 1)
    return std::unexpected("-x takes exactly one PACKAGE, not " +
                           std::to_string(verify.packages.size()));
  return {};
}

}  // namespace

std::expected<Command, std::string> parse_arguments(std::span<const std::string> args) {
  Command command;
  VerifyArguments& verify = command.verify;
  bool json = false, quiet = false, options_ended = false;
  std::optional<std::uint64_t> max_wasm, max_toml;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_ended || arg == "-" || !arg.starts_with("-")) {
      verify.packages.push_back(arg);
    } else if (arg == "--") {
      options_ended = true;
    } else if (arg == "--help") {
      return Command{.kind = Command::Kind::kHelp, .verify = {}};
    } else if (arg == "--version") {
      return Command{.kind = Command::Kind::kVersion, .verify = {}};
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "-q") {
      quiet = true;
    } else if (arg == "--name") {
      auto value = option_value(args, i, arg);
      if (!value) return std::unexpected(value.error());
      if (verify.expected_name) return std::unexpected("--name given more than once");
      if (value->empty()) return std::unexpected("--name needs a package name, not an empty one");
      verify.expected_name = std::move(*value);
    } else if (arg == "--max-wasm-size" || arg == "--max-toml-size") {
      auto& limit = arg == "--max-wasm-size" ? max_wasm : max_toml;
      if (auto set = set_limit(args, i, limit); !set) return std::unexpected(set.error());
    } else if (arg == "--record") {
      auto value = option_value(args, i, arg);
      if (!value) return std::unexpected(value.error());
      if (verify.record) return std::unexpected("--record given more than once");
      if (value->empty()) return std::unexpected("--record needs a file, not an empty name");
      verify.record = std::move(*value);
    } else if (arg.starts_with("-r")) {
      auto value = option_value(args, i, "-r");
      if (!value) return std::unexpected(value.error());
      verify.revocation_files.push_back(std::move(*value));
    } else if (arg.starts_with("-p") || arg.starts_with("-P") || arg.starts_with("-x")) {
      const std::string option = arg.substr(0, 2);
      auto value = option_value(args, i, option);
      if (!value) return std::unexpected(value.error());
      if (option == "-x") {
        if (verify.extract_dir) return std::unexpected("-x given more than once");
        if (value->empty()) return std::unexpected("-x needs a directory, not an empty name");
        verify.extract_dir = std::move(*value);
      } else {
        const auto kind = option == "-p" ? KeySource::Kind::kFile : KeySource::Kind::kBase64;
        verify.keys.push_back(KeySource{.kind = kind, .text = std::move(*value)});
      }
    } else {
      return std::unexpected("unknown option " + arg);
    }
  }
  if (auto combined = check_combination(command, json, quiet); !combined)
    return std::unexpected(combined.error());
  if (max_wasm) verify.limits.main_wasm = *max_wasm;
  if (max_toml) verify.limits.plugin_toml = *max_toml;
  verify.output = json ? OutputMode::kJson : quiet ? OutputMode::kQuiet : OutputMode::kText;
  return command;
}

}  // namespace plugin_sign
