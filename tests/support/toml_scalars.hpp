// toml_scalars.hpp — whole TOML documents parsed as plugin.toml is, for the conformance and
// syntax tests and the plugin.toml fuzzer: every scalar with its path, or the syntax error.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "plugin/plugin_toml.hpp"

namespace plugin_sign::testing {

/// One step from a table to a value: a key, or an index into an array.
using TomlPathStep = std::variant<std::string, std::size_t>;

/// A scalar value of a document: its path from the root, its kind as "string", "integer",
/// "float", "bool", "datetime", "datetime-local", "date-local" or "time-local", and for
/// strings, integers, floats and booleans its value as text (a string's own characters).
struct TomlScalar {
  std::vector<TomlPathStep> path;
  std::string type;
  std::string value;
};

/// Parses decoded `text` with the parser and configuration that read plugin.toml, whatever
/// its keys; the scalars in document order, or the first syntax error with the code point it
/// points at.
[[nodiscard]] std::expected<std::vector<TomlScalar>, TomlError> check_toml_document(
    std::string_view text);

}  // namespace plugin_sign::testing
