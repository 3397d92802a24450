#include "io/file_io.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// Who may write to a file that is read: anyone, or only its user and root (a file that
// decides trust).
enum class Writers : bool { kAnyone, kOnlyTheUser };

// Whether `gid` is the effective user's own group: their primary group, with no other member
// (a user-private group), so that its write bit lets nobody else in. Looked up only for a
// group-writable path, so that the usual case needs no user database.
bool is_private_group(gid_t gid) {
  std::vector<char> buffer(16384);
  passwd account{};
  passwd* found_account = nullptr;
  if (::getpwuid_r(::geteuid(), &account, buffer.data(), buffer.size(), &found_account) != 0 ||
      found_account == nullptr || account.pw_gid != gid)
    return false;
  const std::string name = account.pw_name;
  std::vector<char> group_buffer(65536);
  group group_entry{};
  group* found_group = nullptr;
  if (::getgrgid_r(gid, &group_entry, group_buffer.data(), group_buffer.size(), &found_group) !=
          0 ||
      found_group == nullptr)
    return false;
  for (char** member = group_entry.gr_mem; member != nullptr && *member != nullptr; ++member)
    if (name != *member) return false;
  return true;
}

struct TrustingUser {
  uid_t uid = 0;
};

IoError untrusted(std::string reason) {
  return IoError{.os_error = 0, .fixed = std::move(reason), .kind = IoErrorKind::kWorldWritable};
}

// Why someone other than the user or root could change `path` (`status` its own), or nothing.
// A directory with the sticky bit is safe whoever may write to it: nobody else can remove or
// rename what the user owns in it.
std::optional<IoError> untrusted_entry(const std::string& path, const struct stat& status,
                                       bool is_file, const TrustingUser& user) {
  const std::string what = is_file ? "it" : "directory " + path;
  if (status.st_uid != user.uid && status.st_uid != 0)
    return untrusted(what + " is owned by user " + std::to_string(status.st_uid) +
                     ", neither you nor root (chown " + std::to_string(user.uid) + " " + path +
                     ")");
  if (!is_file && (status.st_mode & S_ISVTX) != 0) return std::nullopt;
  if ((status.st_mode & S_IWOTH) != 0)
    return untrusted(is_file ? "every user can write to it (chmod o-w " + path + ")"
                             : "every user can write to " + what + " (chmod go-w " + path + ")");
  if ((status.st_mode & S_IWGRP) != 0 && !is_private_group(status.st_gid))
    return untrusted("group " + std::to_string(status.st_gid) + " can write to " + what +
                     " (chmod go-w " + path + ")");
  return std::nullopt;
}

// Each directory above `path` (absolute) up to the root, links in it followed.
std::expected<void, IoError> check_directories_above(std::string path, const TrustingUser& user) {
  while (path.size() > 1) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t slash = path.rfind('/');
    path.resize(slash == 0 ? 1 : slash);
    struct stat directory {};
    if (::stat(path.c_str(), &directory) != 0) return std::unexpected(last_os_error());
    if (auto unsafe = untrusted_entry(path, directory, false, user))
      return std::unexpected(std::move(*unsafe));
  }
  return {};
}

std::expected<std::string, IoError> absolute(const std::string& path) {
  if (path.starts_with('/')) return path;
  char* cwd = ::getcwd(nullptr, 0);
  if (cwd == nullptr) return std::unexpected(last_os_error());
  std::string joined = std::string(cwd) + "/" + path;
  std::free(cwd);
  return joined;
}

// `file` (the status of what is read) and each directory above it to the root: above the
// path as named, where someone who could write there could swap a link or a directory, and
// above the path it resolves to, where the file really is.
std::expected<void, IoError> check_trust_file(const std::string& path, const struct stat& file) {
  const TrustingUser user{.uid = ::geteuid()};
  if (auto unsafe = untrusted_entry(path, file, !S_ISDIR(file.st_mode), user))
    return std::unexpected(std::move(*unsafe));
  auto named = absolute(path);
  if (!named) return std::unexpected(named.error());
  if (auto above = check_directories_above(*named, user); !above) return above;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::unexpected(last_os_error());
  std::string real(resolved);
  std::free(resolved);
  // The resolved path must still name the file checked: otherwise it was just replaced.
  struct stat now {};
  if (::stat(real.c_str(), &now) != 0) return std::unexpected(last_os_error());
  if (now.st_dev != file.st_dev || now.st_ino != file.st_ino)
    return std::unexpected(untrusted("it was replaced while it was read"));
  return check_directories_above(real, user);
}

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
  if (writers == Writers::kOnlyTheUser) {
    if (auto safe = check_trust_file(path, *status); !safe) return std::unexpected(safe.error());
  }
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
  return read_regular_file(std::string(path), max_size, Writers::kOnlyTheUser);
}

std::expected<void, IoError> check_trust_path(std::string_view path) {
  const std::string name(path);
  if (name.find('\0') != std::string::npos)
    return std::unexpected(IoError{.os_error = EINVAL, .fixed = {}});
  struct stat status {};
  if (::stat(name.c_str(), &status) != 0) return std::unexpected(last_os_error());
  return check_trust_file(name, status);
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
