// new_file.hpp — new files that appear complete or not at all.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <vector>

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

/// A file that a failed call had replaced and could not put back: it is kept under `kept_as`,
/// beside `path`.
struct DisplacedFile {
  std::string path;
  std::string kept_as;
};

/// The final path of the file that failed, and why; `displaced` is empty unless putting back
/// a replaced file failed as well.
struct NewFileError {
  std::string path;
  IoError error;
  std::vector<DisplacedFile> displaced;
};

/// Writes each file under a temporary name in its final directory, flushes it to stable
/// storage, and only when every file is complete puts them in place in the order given, then
/// flushes the directories. All or nothing: on failure no temporary file is left, no file of
/// this call remains in place, and each file it replaced is back under its own name (an
/// existing directory is never replaced: EISDIR).
[[nodiscard]] std::expected<void, NewFileError> write_new_files(std::span<const NewFile> files,
                                                                ExistingFile existing);

}  // namespace plugin_sign
