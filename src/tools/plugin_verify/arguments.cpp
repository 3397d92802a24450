#include "tools/plugin_verify/arguments.hpp"

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
                           (option == "-x"       ? "a directory"
                            : option == "-r"     ? "a revocation file"
                            : option == "--name" ? "a package name"
                            : option == "--record" ? "a version record file"
                                                 : "a key"));
  return args[++i];
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
  verify.output = json ? OutputMode::kJson : quiet ? OutputMode::kQuiet : OutputMode::kText;
  return command;
}

}  // namespace plugin_sign
