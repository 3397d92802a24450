#include "io/file_io.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace plugin_sign {
namespace {

IoError out_of_memory() {
  return IoError{.os_error = 0, .fixed = "out of memory", .kind = IoErrorKind::kOutOfMemory};
}

IoError too_large(std::uint64_t max_size) {
  return IoError{.os_error = 0,
                 .fixed = "larger than " + std::to_string(max_size) + " bytes",
                 .kind = IoErrorKind::kTooLarge};
}

// Growth step once the buffer is full: double, but at least this much.
constexpr std::size_t kMinimumGrowth = 8192;

// From this size on the buffer is mapped directly, as the C library would map it anyway.
constexpr std::size_t kMappedMinimum = std::size_t{128} << 10;

// The huge page size of x86-64 and arm64 with 4 KiB pages; smaller mappings cannot hold one.
constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

std::size_t mapping_length(std::size_t capacity) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return (capacity + page - 1) / page * page;
}

// Anonymous memory for `capacity` bytes; null when none can be had. Large buffers ask for huge
// pages: inflating a module writes all over its buffer, and with 4 KiB pages a virtual machine
// spends much of that time in TLB misses (64 MiB module: 1.9x faster, bench/RESULTS.md).
// Pages populated up front cost less than the page fault on the first write to each would; a
// kernel that cannot populate (before 5.14) or has no huge pages to give only makes it slower.
std::byte* map_storage(std::size_t capacity, Prefault prefault) {
  const std::size_t length = mapping_length(capacity);
  void* mapped =
      ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  if (length >= kHugePageSize) ::madvise(mapped, length, MADV_HUGEPAGE);
  if (prefault == Prefault::kYes) ::madvise(mapped, length, MADV_POPULATE_WRITE);
  return static_cast<std::byte*>(mapped);
}

std::expected<FileDescriptor, IoError> open_with_retry(const std::string& path, int flags) {
  for (;;) {
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd >= 0) return FileDescriptor(fd);
    if (errno != EINTR) return std::unexpected(last_os_error());
  }
}

// One read into `out`, retried after EINTR; the number of bytes read, 0 at end of file.
std::expected<std::size_t, IoError> read_some(int fd, std::span<std::byte> out) {
  for (;;) {
    const ssize_t n = ::read(fd, out.data(), out.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return std::unexpected(last_os_error());
  }
}

std::expected<struct stat, IoError> file_status(int fd) {
  for (;;) {
    struct stat status {};
    if (::fstat(fd, &status) == 0) return status;
    if (errno != EINTR) return std::unexpected(last_os_error());
  }
}

std::expected<void, IoError> truncate_with_retry(int fd) {
  for (;;) {
    if (::ftruncate(fd, 0) == 0) return {};
    if (errno != EINTR) return std::unexpected(last_os_error());
  }
}

IoError not_a_regular_file() {
  return IoError{.os_error = 0, .fixed = "not a regular file"};
}

// An output file, write-only, created with 0666 less the umask; a path with a NUL byte is
// refused before any system call.
std::expected<FileDescriptor, IoError> open_output(std::string_view path, int flags) {
  if (path.find('\0') != std::string_view::npos)
    return std::unexpected(
        IoError{.os_error = 0, .fixed = "file name contained an unexpected NUL byte"});
  return open_with_retry(std::string(path), O_WRONLY | O_CREAT | O_CLOEXEC | flags);
}

// Who may write to a file that is read: anyone, or not every user (a file that decides trust).
enum class Writers : bool { kAnyone, kNotEveryone };

// The whole content of the regular file at `path`, never more than `max_size` bytes: the
// buffer holds at most `max_size`, and one small probe tells a file that goes on past it.
std::expected<ByteBuffer, IoError> read_regular_file(const std::string& path,
                                                     std::uint64_t max_size, Writers writers) {
  // Without blocking: opening a FIFO for reading would otherwise wait for a writer. The type
  // is checked on the open descriptor, so the file read is the file checked.
  auto file = open_with_retry(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (!file) return std::unexpected(file.error());
  auto status = file_status(file->get());
  if (!status) return std::unexpected(status.error());
  // A directory fails as reading one always has; every other kind of file is refused here.
  if (S_ISDIR(status->st_mode)) return std::unexpected(IoError{.os_error = EISDIR, .fixed = {}});
  if (!S_ISREG(status->st_mode)) return std::unexpected(not_a_regular_file());
  if (writers == Writers::kNotEveryone && (status->st_mode & S_IWOTH) != 0)
    return std::unexpected(IoError{
        .os_error = 0, .fixed = "every user can write to it", .kind = IoErrorKind::kWorldWritable});
  // The reported size is only a hint: a file in /proc reports 0, and a file may grow.
  const auto reported = static_cast<std::uint64_t>(status->st_size);
  if (reported > max_size) return std::unexpected(too_large(max_size));

  ByteBuffer buffer;
  if (reported > 0 && !buffer.reserve(static_cast<std::size_t>(reported), Prefault::kYes))
    return std::unexpected(out_of_memory());
  for (;;) {
    if (buffer.spare().empty()) {
      // Probe before growing, so that a file of the reported size never grows the buffer.
      std::byte probe[64];
      auto got = read_some(file->get(), probe);
      if (!got) return std::unexpected(got.error());
      if (*got == 0) return buffer;
      if (buffer.size() + *got > max_size) return std::unexpected(too_large(max_size));
      // Never past the limit: the bytes read so far plus the probe fit within it.
      const std::uint64_t doubled = buffer.capacity() + std::max(buffer.capacity(), kMinimumGrowth);
      if (!buffer.reserve(static_cast<std::size_t>(std::min(doubled, max_size))))
        return std::unexpected(out_of_memory());
      std::copy_n(probe, *got, buffer.spare().begin());
      buffer.commit(*got);
      continue;
    }
    auto got = read_some(file->get(), buffer.spare());
    if (!got) return std::unexpected(got.error());
    if (*got == 0) return buffer;
    buffer.commit(*got);
  }
}

// Positioning is retried after EINTR like every other call on the output file.
std::expected<std::uint64_t, IoError> seek_with_retry(int fd, off_t offset, int whence) {
  for (;;) {
    const off_t at = ::lseek(fd, offset, whence);
    if (at >= 0) return static_cast<std::uint64_t>(at);
    if (errno != EINTR) return std::unexpected(last_os_error());
  }
}

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

int FileDescriptor::release() {
  return std::exchange(fd_, -1);
}

// Not retried after EINTR: Linux releases the descriptor whatever close returns, and a
// second close could close a descriptor that another thread has opened since.
std::expected<void, IoError> FileDescriptor::close() {
  if (::close(release()) != 0 && errno != EINTR) return std::unexpected(last_os_error());
  return {};
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    release_storage();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

ByteBuffer::~ByteBuffer() {
  release_storage();
}

bool ByteBuffer::is_mapped(std::size_t capacity) {
  return capacity >= kMappedMinimum;
}

void ByteBuffer::release_storage() {
  if (is_mapped(capacity_))
    ::munmap(data_, mapping_length(capacity_));
  else
    std::free(data_);
}

bool ByteBuffer::reserve(std::size_t capacity, Prefault prefault) {
  if (capacity <= capacity_) return true;
  if (!is_mapped(capacity)) {
    void* grown = std::realloc(data_, capacity);
    if (grown == nullptr) return false;
    data_ = static_cast<std::byte*>(grown);
    capacity_ = capacity;
    return true;
  }
  std::byte* mapped = map_storage(capacity, prefault);
  if (mapped == nullptr) return false;
  if (size_ > 0) std::memcpy(mapped, data_, size_);
  release_storage();
  data_ = mapped;
  capacity_ = capacity;
  return true;
}

std::string join_plugin_path(std::string_view dir, std::string_view file_name) {
  std::string path(dir);
  if (!path.empty() && path.back() != '/') path += '/';
  path += file_name;
  return path;
}

std::expected<ByteBuffer, IoError> read_plugin_file(std::string_view dir,
                                                    std::string_view file_name,
                                                    std::uint64_t max_size) {
  return read_regular_file(join_plugin_path(dir, file_name), max_size, Writers::kAnyone);
}

std::expected<ByteBuffer, IoError> read_trust_file(std::string_view path, std::uint64_t max_size) {
  return read_regular_file(std::string(path), max_size, Writers::kNotEveryone);
}

std::expected<FileDescriptor, IoError> create_output_file(std::string_view path) {
  return open_output(path, O_TRUNC);
}

std::expected<FileDescriptor, IoError> create_regular_output_file(std::string_view path) {
  // Truncated only after the type check: a link is refused by the open itself, and a FIFO or
  // a device on the open descriptor, so nothing but a regular file loses its content.
  auto file = open_output(path, O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (!file) return std::unexpected(file.error());
  auto status = file_status(file->get());
  if (!status) return std::unexpected(status.error());
  if (!S_ISREG(status->st_mode)) return std::unexpected(not_a_regular_file());
  if (auto truncated = truncate_with_retry(file->get()); !truncated)
    return std::unexpected(truncated.error());
  return file;
}

std::expected<void, IoError> write_all(int fd, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(last_os_error());
    }
    if (n == 0)
      return std::unexpected(IoError{.os_error = 0, .fixed = "failed to write whole buffer"});
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

std::expected<std::uint64_t, IoError> seek_to(int fd, std::uint64_t offset) {
  return seek_with_retry(fd, static_cast<off_t>(offset), SEEK_SET);
}

std::expected<std::uint64_t, IoError> current_position(int fd) {
  return seek_with_retry(fd, 0, SEEK_CUR);
}

}  // namespace plugin_sign
