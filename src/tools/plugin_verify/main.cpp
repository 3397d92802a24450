// plugin_verify [-p KEYFILE]... [-P PUBLICKEY]... [-r FILE]... [--name NAME] [-x DIR]
//               [--record FILE] [--max-wasm-size BYTES] [--max-toml-size BYTES] [--json] [-q]
//               PACKAGE...
// Verifies signed plugin packages against trusted public keys.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "tools/common/process.hpp"
#include "tools/plugin_verify/arguments.hpp"
#include "tools/plugin_verify/report.hpp"
#include "tools/plugin_verify/run.hpp"

namespace plugin_sign {
namespace {

constexpr int kUsageStatus = 3;

constexpr const char* kHelp =
    "usage: plugin_verify [-p KEYFILE]... [-P PUBLICKEY]... [-r FILE]... [--name NAME] [-x DIR]\n"
    "                     [--record FILE] [--max-wasm-size BYTES] [--max-toml-size BYTES]\n"
    "                     [--json] [-q] PACKAGE...\n"
    "\n"
    "Verifies each PACKAGE (a package ZIP or a plugin directory) against the trusted keys.\n"
    "\n"
    "  -p KEYFILE    trust the keys in KEYFILE: one Base64 key a line, optionally followed\n"
    "                by \" names=PATTERN,...\"; or one PEM PUBLIC KEY block\n"
    "  -P PUBLICKEY  trust this Base64 Ed25519 public key (44 characters)\n"
    "  -r FILE       refuse the keys and packages that the revocation file FILE revokes:\n"
    "                \"key PUBLICKEY SIGNATURE\" (from plugin_key revoke), \"key-id KEYID\"\n"
    "                and \"package MANIFEST_SHA256\" lines; \"below NAME VERSION\" refuses\n"
    "                every version of NAME lower than VERSION\n"
    "  --name NAME   verify only a package whose name is exactly NAME\n"
    "  -x DIR        with one PACKAGE: once it verified, write its plugin.toml, main.wasm\n"
    "                and signature.sig into DIR (created when missing)\n"
    "  --record FILE the version record: refuse a package older than the highest version\n"
    "                of its name accepted before (a rollback), record each one that\n"
    "                verifies; FILE is created when missing\n"
    "  --max-wasm-size BYTES\n"
    "                refuse a package whose main.wasm declares more than BYTES (suffixes\n"
    "                K, M, G; default and most 4G): before its signature is known, a\n"
    "                package costs up to about 1.3 s of CPU per declared GiB\n"
    "  --max-toml-size BYTES\n"
    "                the same for plugin.toml (default 1M)\n"
    "  --json        one JSON object a line on standard output for every package\n"
    "  -q            print nothing about the packages; the exit status tells\n"
    "  --help        print this text\n"
    "  --version     print the version\n"
    "\n"
    "Exit status: 0 every package verified; 1 a signature no trusted key allowed for the\n"
    "package verifies, a revoked key or package, another name than NAME, or a rollback; 2 a\n"
    "malformed or too large package; 3 a usage error, a bad key or revocation file, an\n"
    "unreadable package, a damaged or unwritable record, a failed extraction, memory that\n"
    "ran out, or a result line that could not be written. With several packages, the\n"
    "highest.\n";

// The one line on standard error for a failure that is not about one package.
[[noreturn]] void exit_with(std::string_view message, bool with_usage = false) {
  std::string text = "plugin_verify: " + escape_text(message) + "\n";
  if (with_usage) text += std::string("usage: ") + kSynopsis + "\n";
  (void)write_text(STDERR_FILENO, text);
  std::exit(kUsageStatus);
}

void print_or_exit(std::string_view text) {
  if (!write_text(STDOUT_FILENO, text)) exit_with("failed to write to standard output");
}

Command command_line(int argc, char** argv) {
  const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
  auto command = parse_arguments(args);
  if (!command) exit_with(command.error(), true);
  return std::move(*command);
}

// One line per package, as soon as it is known; a line that cannot be written changes the
// status, since whoever reads it would miss a result.
int report(const PackageReport& result, OutputMode mode) {
  const int status = exit_status(result);
  bool written = true;
  if (mode == OutputMode::kJson) {
    written = write_text(STDOUT_FILENO, json_line(result));
  } else if (mode == OutputMode::kText) {
    written = write_text(status == 0 ? STDOUT_FILENO : STDERR_FILENO, text_line(result));
  }
  if (!written) {
    (void)write_text(STDERR_FILENO, "plugin_verify: failed to write a package's result\n");
    return 3;
  }
  return status;
}

int run(const VerifyArguments& arguments) {
  auto keys = load_trusted_keys(arguments.keys);
  if (!keys) exit_with(keys.error());
  auto revocations = load_revocations(arguments.revocation_files);
  if (!revocations) exit_with(revocations.error());
  const PackageChecks checks{.revocations = &*revocations,
                             .expected_name = arguments.expected_name,
                             .limits = arguments.limits,
                             .record = arguments.record};
  int status = 0;
  for (const std::string& package : arguments.packages) {
    const PackageReport result = check_package(package, *keys, checks, arguments.extract_dir);
    status = std::max(status, report(result, arguments.output));
  }
  return status;
}

}  // namespace
}  // namespace plugin_sign

int main(int argc, char** argv) {
  using namespace plugin_sign;
  try {
    if (!prepare_process()) exit_with("the crypto library could not start");
    const Command command = command_line(argc, argv);
    switch (command.kind) {
      case Command::Kind::kHelp:
        print_or_exit(kHelp);
        return 0;
      case Command::Kind::kVersion:
        print_or_exit("plugin_verify " PLUGIN_SIGN_VERSION "\n");
        return 0;
      case Command::Kind::kVerify:
        return run(command.verify);
    }
  } catch (const std::bad_alloc&) {
    exit_with("out of memory");
  }
  return kUsageStatus;
}
