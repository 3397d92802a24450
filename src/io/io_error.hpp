// io_error.hpp — an I/O failure, rendered the one way every message shows it.
#pragma once

#include <string>

namespace plugin_sign {

/// What a caller may decide on: the text is for people, the kind for code.
enum class IoErrorKind : unsigned char {
  kOther,          ///< an operating-system error, or a fixed text with nothing to decide on
  kOutOfMemory,    ///< memory for the bytes could not be had
  kTooLarge,       ///< the file is larger than the caller's limit
  kWorldWritable,  ///< someone other than the user or root could change the file or replace
                   ///< it, so it cannot decide trust
};

/// What an I/O operation failed with: an operating-system error number, or a fixed text
/// ("failed to write whole buffer", "out of memory", ...) when there is none.
struct IoError {
  int os_error = 0;
  std::string fixed;
  IoErrorKind kind = IoErrorKind::kOther;
};

/// The error of the call that just failed, taken from errno.
[[nodiscard]] IoError last_os_error();

/// "{description} (os error {n})" for an error number, with the description from strerror_r
/// made valid UTF-8; otherwise the fixed text. Never ends with a line feed.
[[nodiscard]] std::string io_error_text(const IoError& error);

}  // namespace plugin_sign
