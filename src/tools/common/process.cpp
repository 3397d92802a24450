#include "tools/common/process.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <span>

#include "io/file_io.hpp"
#include "signing/signature.hpp"

namespace plugin_sign {
namespace {

// A closed standard descriptor would let the next open file take its number, and a line
// meant for the terminal would land in that file; /dev/null takes the place instead.
void open_closed_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (::open("/dev/null", O_RDWR) != fd) std::abort();
  }
}

}  // namespace

bool prepare_process() {
  open_closed_standard_descriptors();
  std::signal(SIGPIPE, SIG_IGN);
  // Not dumpable: no core file, and no debugger of the same user, can read a key from memory.
  (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  return initialise_crypto();
}

bool write_text(int fd, std::string_view text) {
  return write_all(fd, std::as_bytes(std::span(text.data(), text.size()))).has_value();
}

}  // namespace plugin_sign
