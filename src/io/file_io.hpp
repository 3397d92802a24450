// file_io.hpp — descriptors, whole-file reads and in-place writes, with EINTR retried.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "io/io_error.hpp"

namespace plugin_sign {

/// Owns one open descriptor and closes it when destroyed, ignoring the result of close; a
/// file that was written is closed with `close` instead, whose result counts.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  [[nodiscard]] int get() const { return fd_; }
  int release();
  /// Closes the descriptor and reports what closing found: on NFS or under a quota, a write
  /// error may show only here. The descriptor is released whatever the result.
  [[nodiscard]] std::expected<void, IoError> close();

 private:
  int fd_ = -1;
};

/// Whether reserved storage is made resident at once: worth it for bytes about to be filled,
/// as it saves most of what the first write to each page would cost in a page fault.
enum class Prefault : bool { kNo, kYes };

/// A growable byte buffer that never initialises its reserved bytes itself, so that a large input
/// is written once, by the read that fills it. Allocation failure is a result, not an exception.
/// From 128 KiB on the storage is mapped directly.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer();

  /// Grows the capacity to at least `capacity` bytes; false when memory cannot be had.
  [[nodiscard]] bool reserve(std::size_t capacity, Prefault prefault = Prefault::kNo);
  [[nodiscard]] std::span<const std::byte> bytes() const { return {data_, size_}; }
  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] std::size_t capacity() const { return capacity_; }
  /// The reserved bytes after the content, for a read to fill; `commit` counts them in.
  [[nodiscard]] std::span<std::byte> spare() { return {data_ + size_, capacity_ - size_}; }
  void commit(std::size_t count) { size_ += count; }

 private:
  static bool is_mapped(std::size_t capacity);
  void release_storage();

  std::byte* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

/// `file_name` inside `dir`: the bare name for an empty `dir`, appended directly when `dir`
/// ends in "/", otherwise joined with one "/".
[[nodiscard]] std::string join_plugin_path(std::string_view dir, std::string_view file_name);

/// No limit on the size of a file read.
inline constexpr std::uint64_t kNoSizeLimit = UINT64_MAX;

/// The whole content of `file_name` in `dir`, which must be a regular file (a symbolic link to
/// one is followed); anything else fails at once with "not a regular file". The buffer is
/// reserved once from the size that fstat reports; a reservation or growth that fails gives
/// "out of memory" (kOutOfMemory), and a file found to exceed `max_size` gives "larger than
/// {max_size} bytes" (kTooLarge), whatever size it reported: the buffer never holds more than
/// `max_size` bytes.
[[nodiscard]] std::expected<ByteBuffer, IoError> read_plugin_file(
    std::string_view dir, std::string_view file_name, std::uint64_t max_size = kNoSizeLimit);

/// Reads a file that decides trust (keys, revocations, a version record) as read_plugin_file
/// reads, but only when check_trust_path's rule holds for the very file opened.
[[nodiscard]] std::expected<ByteBuffer, IoError> read_trust_file(
    std::string_view path, std::uint64_t max_size = kNoSizeLimit);

/// Whether nobody but the effective user and root could change `path` (a file or a
/// directory, symbolic links followed) or replace it: it and every directory above its
/// resolved path up to "/" must be owned by the user or root, and writable neither by others
/// nor by a group other than the user's own private group (their primary group, with no
/// other member). A directory with the sticky bit (as /tmp) passes whatever may write to it:
/// nobody else can remove or rename what the user owns in it. The error (kWorldWritable) is
/// the reason with its fix, naming the offending path: "every user can write to it (chmod o-w
/// PATH)", "every user can write to directory DIR (chmod go-w DIR)", "group 100 can write to
/// directory DIR (chmod go-w DIR)", "directory DIR is owned by user 1000, neither you nor root
/// (chown 0 DIR)"; a path that cannot be resolved gives the system's error (kOther). Write a
/// file next to a trust file only once this holds for its directory.
[[nodiscard]] std::expected<void, IoError> check_trust_path(std::string_view path);

/// Opens `path` write-only and close-on-exec, created with 0666 less the umask or truncated.
/// A path with a NUL byte is refused before any system call.
[[nodiscard]] std::expected<FileDescriptor, IoError> create_output_file(std::string_view path);

/// Opens `path` as create_output_file does, but refuses what is not a regular file before
/// anything is truncated: a symbolic link as the last component is not followed (ELOOP), a
/// FIFO without a reader fails at once (ENXIO), and a FIFO with one or a device gives "not a
/// regular file". A directory fails with EISDIR.
[[nodiscard]] std::expected<FileDescriptor, IoError> create_regular_output_file(
    std::string_view path);

/// Writes all of `bytes`, retrying after EINTR and after short writes. A write that accepts
/// no bytes fails with "failed to write whole buffer".
[[nodiscard]] std::expected<void, IoError> write_all(int fd, std::span<const std::byte> bytes);

/// Moves the file position of `fd` to `offset` from the start; returns the new position.
[[nodiscard]] std::expected<std::uint64_t, IoError> seek_to(int fd, std::uint64_t offset);

/// The current file position of `fd`; fails with ESPIPE on a pipe.
[[nodiscard]] std::expected<std::uint64_t, IoError> current_position(int fd);

}  // namespace plugin_sign
