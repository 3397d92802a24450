// plugin_sign <plugin_dir> [output.zip] — signs a plugin directory into a ZIP package.
#include <unistd.h>

#include <new>
#include <span>
#include <string>

#include "io/file_io.hpp"
#include "io/utf8.hpp"
#include "tools/common/process.hpp"
#include "tools/plugin_sign/error_exit.hpp"
#include "tools/plugin_sign/run.hpp"

namespace plugin_sign {
namespace {

Arguments collect_arguments(int argc, char** argv) {
  for (int i = 0; i < argc; ++i) {
    if (!is_valid_utf8(argv[i]))
      exit_with_internal_error("command-line argument " + std::to_string(i) +
                               " is not valid UTF-8");
  }
  if (argc < 2)
    exit_with(ErrorExit{.message = "usage: plugin_sign <plugin_dir> [output.zip]", .preamble = {}});
  Arguments arguments{.plugin_dir = argv[1], .output_path = {}};
  if (argc >= 3) arguments.output_path = argv[2];
  return arguments;
}

void print_success(const std::string& output_path) {
  const std::string line = "署名済みZIPを作成しました: " + output_path + "\n";
  auto written = write_all(STDOUT_FILENO, std::as_bytes(std::span(line.data(), line.size())));
  if (!written)
    exit_with_internal_error("failed to write to standard output: " +
                             io_error_text(written.error()));
}

int sign(int argc, char** argv) {
  if (!prepare_process()) exit_with_internal_error("the crypto library could not start");

  const Arguments arguments = collect_arguments(argc, argv);
  auto output_path = run(arguments);
  if (!output_path) exit_with(output_path.error());
  print_success(*output_path);
  return 0;
}

}  // namespace
}  // namespace plugin_sign

int main(int argc, char** argv) {
  // Memory can run out beyond the input buffers, which report it themselves: in the encoder,
  // the TOML parser, any string. Caught here, the exception unwinds the run, which wipes a
  // key still alive, and the process ends with one line instead of an abort.
  try {
    return plugin_sign::sign(argc, argv);
  } catch (const std::bad_alloc&) {
    plugin_sign::exit_with_internal_error("out of memory");
  }
}
