// toml_strict.hpp — the syntax that the parser's next-version mode accepts beyond TOML 1.1.0.
#pragma once

#include <optional>
#include <string_view>

#include "plugin/plugin_toml.hpp"

namespace plugin_sign {

/// In `text`, which the parser has accepted, the first bare key character other than
/// A-Z, a-z, 0-9, "_" and "-", or the first hexadecimal float; nothing when there is none.
[[nodiscard]] std::optional<TomlError> find_syntax_beyond_toml_1_1(std::string_view text);

}  // namespace plugin_sign
