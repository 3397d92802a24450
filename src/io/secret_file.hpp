// secret_file.hpp — a small secret read from a file into memory that is wiped.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <expected>
#include <span>
#include <string_view>

#include "io/io_error.hpp"

namespace plugin_sign {

/// Up to kCapacity secret bytes in a fixed buffer, followed by a NUL; wiped when destroyed,
/// never copied or moved, so that no copy of the secret is left in freed memory.
class SecretBuffer {
 public:
  static constexpr std::size_t kCapacity = 4096;

  SecretBuffer() = default;
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;
  ~SecretBuffer();

  [[nodiscard]] std::string_view text() const { return {bytes_.data(), size_}; }
  /// The content as a C string; it ends at the first NUL if the content holds one.
  [[nodiscard]] const char* c_str() const { return bytes_.data(); }
  /// The room after the content, for a read or an encoder to fill; `commit` counts it in.
  [[nodiscard]] std::span<char> spare() { return {bytes_.data() + size_, kCapacity - size_}; }
  /// The room and the terminator's place after it: a read that reaches that place has found
  /// more than kCapacity bytes, without a byte of them ever leaving the buffer.
  [[nodiscard]] std::span<char> spare_to_terminator() {
    return {bytes_.data() + size_, kCapacity + 1 - size_};
  }
  /// Counts in `count` bytes of spare(), and puts the terminator after them.
  void commit(std::size_t count);
  /// Wipes every byte, read or only put in the room, and leaves the buffer empty.
  void clear();

 private:
  std::array<char, kCapacity + 1> bytes_{};
  std::size_t size_ = 0;
};

/// Reads the regular file at `path`, or standard input for "-", into `out`; a file of more
/// than SecretBuffer::kCapacity bytes fails with "larger than 4096 bytes". Returns the
/// file's permission bits (those of standard input when it is read).
[[nodiscard]] std::expected<mode_t, IoError> read_secret_file(std::string_view path,
                                                              SecretBuffer& out);

}  // namespace plugin_sign
