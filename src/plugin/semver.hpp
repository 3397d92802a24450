// semver.hpp — package versions ordered by Semantic Versioning 2.0.0 precedence.
#pragma once

#include <optional>
#include <string_view>

namespace plugin_sign {

/// Whether `text` is a version as Semantic Versioning 2.0.0 writes it: MAJOR.MINOR.PATCH
/// without leading zeros, then optionally "-" and dot-separated pre-release identifiers
/// (numeric ones without leading zeros) and "+" and build metadata identifiers.
[[nodiscard]] bool is_semver(std::string_view text);

/// How `a` stands to `b` by precedence: negative, zero or positive, as strcmp does; build
/// metadata counts for nothing. Empty when either is not a version as is_semver checks it:
/// such versions have no order.
[[nodiscard]] std::optional<int> compare_semver(std::string_view a, std::string_view b);

}  // namespace plugin_sign
