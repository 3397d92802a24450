// json_value.hpp — a small JSON reader for the expected values of the TOML conformance corpus.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plugin_sign {

/// A parsed JSON value; numbers and literals keep their text.
struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  std::string text;
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;
};

/// The JSON document `text`, or nothing when it is not well formed.
[[nodiscard]] std::optional<JsonValue> parse_json(std::string_view text);

}  // namespace plugin_sign
