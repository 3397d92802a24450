// package_archive.hpp — the package: the three entries written into a ZIP file, with the
// failure messages of each step.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "archive/zip_writer.hpp"

namespace plugin_sign {

/// One archive entry: its name and its whole content, already in memory.
struct ArchiveEntry {
  std::string_view name;
  std::span<const std::byte> content;
};

/// Why writing the archive stopped. `message` is the failure line's text ("failed to add
/// main.wasm to zip: i/o error: ..."); `drop_report`, when not empty, is what the second
/// attempt to finish reported, to be written first on the same line.
struct ArchiveFailure {
  std::string message;
  std::string drop_report;
};

/// Creates `path` and writes `entries` into it in order; on success the file is complete
/// and closed. On failure the file stays as far as it was written; a failed close fails as
/// finishing does, "failed to finalize zip: i/o error: ...".
[[nodiscard]] std::expected<void, ArchiveFailure> write_package_archive(
    std::string_view path, std::span<const ArchiveEntry> entries);

/// Writes `entries` in order into `output` and finishes the archive. After a failed finish,
/// makes one more attempt whose failure becomes the `drop_report`.
[[nodiscard]] std::expected<void, ArchiveFailure> write_archive(
    ArchiveOutput& output, std::span<const ArchiveEntry> entries, ZipLimits limits = {});

}  // namespace plugin_sign
