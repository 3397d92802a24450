// plugin_key generate | public | revoke | id — makes signing keys, shows public keys and key
// IDs, and makes revocation statements.
#include <unistd.h>

#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common/process.hpp"
#include "tools/plugin_key/commands.hpp"

namespace plugin_sign {
namespace {

constexpr int kFailure = 1;
constexpr int kUsageError = 2;

constexpr std::string_view kUsage =
    "usage: plugin_key generate [--force] SECRET_FILE\n"
    "       plugin_key public [--pem] [SECRET_FILE]\n"
    "       plugin_key revoke [SECRET_FILE]\n"
    "       plugin_key id PUBLIC_KEY\n"
    "       plugin_key --help | --version\n";

constexpr std::string_view kHelp =
    "\n"
    "  generate  make a new signing key: SECRET_FILE (mode 0600) holds the secret key as\n"
    "            KAVENTA_PLUGIN_SIGNING_KEY takes it, SECRET_FILE.pub the public key;\n"
    "            --force replaces existing files\n"
    "  public    print the public key of SECRET_FILE (\"-\": standard input), or else of\n"
    "            KAVENTA_PLUGIN_SIGNING_KEY; --pem prints a PEM PUBLIC KEY block\n"
    "  revoke    print the statement that revokes the key of SECRET_FILE (\"-\": standard\n"
    "            input), or else of KAVENTA_PLUGIN_SIGNING_KEY, for plugin_verify -r\n"
    "  id        print the key ID of PUBLIC_KEY, a Base64 public key or a key file\n"
    "\n"
    "  --help, -h  print this text\n"
    "  --version   print the version\n"
    "  --          end a command's options, for a file name that begins with -\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 usage error. See plugin_key(1).\n";

[[noreturn]] void finish(int fd, std::string_view text, int status) {
  std::exit(write_text(fd, text) ? status : kFailure);
}

[[noreturn]] void fail(const std::string& message) {
  finish(STDERR_FILENO, "plugin_key: " + message + "\n", kFailure);
}

[[noreturn]] void usage_error(const std::string& message) {
  finish(STDERR_FILENO, "plugin_key: " + message + "\n" + std::string(kUsage), kUsageError);
}

// A command's words after its name: the options it knows, set in `flags` by name, and the
// operands; "--" ends the options.
struct CommandLine {
  std::vector<std::string> operands;
  std::vector<std::string> flags;
};

CommandLine split_command_line(std::string_view command, int argc, char** argv,
                               std::initializer_list<std::string_view> known) {
  CommandLine line;
  bool options_end = false;
  for (int i = 2; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (!options_end && (word == "--help" || word == "-h")) {
      finish(STDOUT_FILENO, std::string(kUsage) + std::string(kHelp), 0);
    } else if (!options_end && word == "--") {
      options_end = true;
    } else if (!options_end && word.size() > 1 && word[0] == '-') {
      bool found = false;
      for (std::string_view option : known) found = found || option == word;
      if (!found)
        usage_error("unknown option " + std::string(word) + " for " + std::string(command));
      line.flags.emplace_back(word);
    } else {
      line.operands.emplace_back(word);
    }
  }
  return line;
}

bool has_flag(const CommandLine& line, std::string_view flag) {
  for (const std::string& f : line.flags)
    if (f == flag) return true;
  return false;
}

std::expected<std::string, std::string> run(int argc, char** argv) {
  const std::string_view command = argv[1];
  if (command == "generate") {
    const CommandLine line = split_command_line(command, argc, argv, {"--force"});
    if (line.operands.size() != 1) usage_error("generate takes one SECRET_FILE");
    if (line.operands[0] == "-") usage_error("generate writes files, not standard output");
    return generate_key(line.operands[0], has_flag(line, "--force"));
  }
  if (command == "public") {
    const CommandLine line = split_command_line(command, argc, argv, {"--pem"});
    if (line.operands.size() > 1) usage_error("public takes at most one SECRET_FILE");
    std::optional<std::string_view> file;
    if (!line.operands.empty()) file = line.operands[0];
    return show_public_key(file, has_flag(line, "--pem"));
  }
  if (command == "revoke") {
    const CommandLine line = split_command_line(command, argc, argv, {});
    if (line.operands.size() > 1) usage_error("revoke takes at most one SECRET_FILE");
    std::optional<std::string_view> file;
    if (!line.operands.empty()) file = line.operands[0];
    return revoke_key(file);
  }
  if (command == "id") {
    const CommandLine line = split_command_line(command, argc, argv, {});
    if (line.operands.size() != 1) usage_error("id takes one PUBLIC_KEY");
    return show_key_id(line.operands[0]);
  }
  usage_error("unknown command " + std::string(command));
}

}  // namespace
}  // namespace plugin_sign

int main(int argc, char** argv) {
  using namespace plugin_sign;
  try {
    if (!prepare_process()) fail("the crypto library could not start");
    if (argc < 2) usage_error("no command given");
    const std::string_view first = argv[1];
    if (first == "--help" || first == "-h")
      finish(STDOUT_FILENO, std::string(kUsage) + std::string(kHelp), 0);
    if (first == "--version") {
      if (argc > 2) usage_error("--version takes no arguments");
      finish(STDOUT_FILENO, "plugin_key " PLUGIN_SIGN_VERSION "\n", 0);
    }
    auto output = run(argc, argv);
    if (!output) fail(output.error());
    if (!write_text(STDOUT_FILENO, *output)) fail("failed to write to standard output");
    return 0;
  } catch (const std::bad_alloc&) {
    fail("out of memory");
  }
}
