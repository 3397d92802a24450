// plugin_sign <plugin_dir> [output.zip] — signs a plugin directory into a ZIP package.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <span>
#include <string>

#include "tools/plugin_sign/error_exit.hpp"
#include "io/file_io.hpp"
#include "tools/plugin_sign/run.hpp"
#include "io/utf8.hpp"

namespace plugin_sign {
namespace {

// A closed standard descriptor would let the next open file take its number, and the
// success or failure line would land in that file; /dev/null takes the place instead.
void open_closed_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (::open("/dev/null", O_RDWR) != fd) std::abort();
  }
}

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

}  // namespace
}  // namespace plugin_sign

int main(int argc, char** argv) {
  using namespace plugin_sign;
  open_closed_standard_descriptors();
  // A reader that went away makes the write fail with EPIPE instead of killing the process.
  std::signal(SIGPIPE, SIG_IGN);

  const Arguments arguments = collect_arguments(argc, argv);
  auto output_path = run(arguments);
  if (!output_path) exit_with(output_path.error());
  print_success(*output_path);
  return 0;
}
