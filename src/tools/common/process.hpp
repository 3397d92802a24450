// process.hpp — what every tool does first, and the one way a tool writes a line.
#pragma once

#include <string_view>

namespace plugin_sign {

/// Makes the process fit to handle keys and untrusted input: closed standard descriptors are
/// taken by /dev/null, a closed pipe makes writes fail with EPIPE instead of killing the
/// process, no core file or same-user debugger can read its memory, and the crypto library is
/// ready. False when the crypto library cannot start.
[[nodiscard]] bool prepare_process();

/// Writes all of `text` to `fd` at once; false when it could not.
[[nodiscard]] bool write_text(int fd, std::string_view text);

}  // namespace plugin_sign
