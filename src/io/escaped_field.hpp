// escaped_field.hpp — any text as one word of a line: the fields of the version record and of
// a revocation file's "below" entries, which hold package names and versions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace plugin_sign {

/// `text` as one word: printable ASCII other than "%" stays as it is; a space, "%", control
/// characters and every byte from 0x80 on become "%HH" (uppercase hexadecimal). The empty text
/// is "-", and the text "-" itself "%2D". Each text has exactly one escaped form.
[[nodiscard]] std::string escape_field(std::string_view text);

/// Whether `field` is the escaped form of some text (escape_field's output, and only that).
[[nodiscard]] bool is_escaped_field(std::string_view field);

/// The text whose escaped form `field` is; empty when it is not one.
[[nodiscard]] std::optional<std::string> unescape_field(std::string_view field);

}  // namespace plugin_sign
