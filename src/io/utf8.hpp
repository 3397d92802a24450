// utf8.hpp — UTF-8 validation and lossy decoding, shared by every unit that takes text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace plugin_sign {

/// The length of the sequence that `lead` starts, from its bit pattern alone: 2, 3 or 4 for
/// the lead bytes 110xxxxx, 1110xxxx and 11110xxx, 1 for ASCII and for any other byte. In
/// well-formed text, the step from one character to the next.
[[nodiscard]] std::size_t utf8_sequence_length(char lead);

/// True when `bytes` is well-formed UTF-8 (no surrogates, no overlong forms, at most U+10FFFF).
[[nodiscard]] bool is_valid_utf8(std::string_view bytes);

/// `bytes` with every ill-formed sequence replaced by U+FFFD, one replacement per maximal
/// subpart of an ill-formed sequence (the Unicode Standard's recommended practice).
[[nodiscard]] std::string to_utf8_lossy(std::string_view bytes);

}  // namespace plugin_sign
