// utf8.hpp — UTF-8 validation and lossy decoding, shared by every unit that takes text.
#pragma once

#include <string>
#include <string_view>

namespace plugin_sign {

/// True when `bytes` is well-formed UTF-8 (no surrogates, no overlong forms, at most U+10FFFF).
[[nodiscard]] bool is_valid_utf8(std::string_view bytes);

/// `bytes` with every ill-formed sequence replaced by U+FFFD, one replacement per maximal
/// subpart of an ill-formed sequence (the Unicode Standard's recommended practice).
[[nodiscard]] std::string to_utf8_lossy(std::string_view bytes);

}  // namespace plugin_sign
