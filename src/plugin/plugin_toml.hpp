// plugin_toml.hpp — plugin.toml bytes to the package name and version, or an error report.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace plugin_sign {

/// The `package` table of plugin.toml.
struct PackageNameVersion {
  std::string name;
  std::string version;
};

/// Byte offsets into the document text, end exclusive.
struct ByteRange {
  std::size_t start = 0;
  std::size_t end = 0;
};

/// Decodes `bytes` (ill-formed UTF-8 replaced by U+FFFD), parses them as TOML 1.1.0 and
/// takes package.name and package.version. The error is the report that follows
/// "invalid plugin.toml: ": five lines with line, column and carets, or the message alone.
[[nodiscard]] std::expected<PackageNameVersion, std::string> read_package_name_version(
    std::span<const std::byte> bytes);

/// The report for `message` at `range` of `text`; the message and a line feed without one.
[[nodiscard]] std::string render_error_report(std::string_view text, std::string_view message,
                                              std::optional<ByteRange> range);

/// "{name}-v{version}.zip", nothing escaped.
[[nodiscard]] std::string default_archive_name(const PackageNameVersion& package);

/// A failure in a TOML document: the message and the bytes of the text it points at.
struct TomlError {
  std::string message;
  ByteRange range;
};

}  // namespace plugin_sign
