// new_file.hpp — new files that appear complete or not at all.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <expected>
#include <span>
#include <string>

#include "io/io_error.hpp"

namespace plugin_sign {

/// One file to create: its final path, its content and its permission bits, from which the
/// umask is taken away as open(2) does (0600 for a secret, 0644 for what others may read).
struct NewFile {
  std::string path;
  std::span<const std::byte> content;
  mode_t mode = 0644;
};

/// What happens to a path that exists already, also as a symbolic link (dangling or not).
enum class ExistingFile : bool {
  kRefuse,   ///< the call fails with EEXIST and the existing file is left alone
  kReplace,  ///< replaced by the new file; a symbolic link is replaced, never followed
};

/// The final path of the file that failed, and why.
struct NewFileError {
  std::string path;
  IoError error;
};

/// Writes each file under a temporary name in its final directory, flushes it to stable
/// storage, and only when every file is complete puts them in place in the order given, then
/// flushes the directories. On failure no temporary file is left and no file of this call
/// that was already in place remains (a file it replaced is gone with it).
[[nodiscard]] std::expected<void, NewFileError> write_new_files(std::span<const NewFile> files,
                                                                ExistingFile existing);

}  // namespace plugin_sign
