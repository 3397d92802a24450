#include "io/secret_file.hpp"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "io/file_io.hpp"

namespace plugin_sign {

SecretBuffer::~SecretBuffer() {
  clear();
}

void SecretBuffer::commit(std::size_t count) {
  size_ += count;
  bytes_[size_] = '\0';
}

void SecretBuffer::clear() {
  ::explicit_bzero(bytes_.data(), bytes_.size());
  size_ = 0;
}

std::expected<mode_t, IoError> read_secret_file(std::string_view path, SecretBuffer& out) {
  if (path.find('\0') != std::string_view::npos)
    return std::unexpected(IoError{0, "file name contained an unexpected NUL byte"});
  FileDescriptor owned;
  int fd = STDIN_FILENO;
  if (path != "-") {
    fd = ::open(std::string(path).c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::unexpected(last_os_error());
    owned = FileDescriptor(fd);
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0) return std::unexpected(last_os_error());
  // Standard input may be a pipe or a terminal; a named file must be a plain file, so that
  // neither a FIFO nor a device can stall or feed the read.
  if (path != "-" && !S_ISREG(status.st_mode))
    return std::unexpected(IoError{0, "not a regular file"});
  for (;;) {
    const std::span<char> room = out.spare_to_terminator();
    const ssize_t n = ::read(fd, room.data(), room.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(last_os_error());
    if (n == 0) break;
    const auto count = static_cast<std::size_t>(n);
    if (out.text().size() + count > SecretBuffer::kCapacity) {
      out.clear();  // nothing of a file refused is kept
      return std::unexpected(
          IoError{0, "larger than " + std::to_string(SecretBuffer::kCapacity) + " bytes"});
    }
    out.commit(count);
  }
  return status.st_mode & 07777;
}

}  // namespace plugin_sign
