// package_builder.hpp — packages put together from their parts with the writer's own record
// code, so that a test can change any one part, and the table of hostile archives built that
// way. Free of the test framework: the fuzz seeds come from the same table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "archive/zip_reader.hpp"

namespace plugin_sign::testing {

/// An entry as the archive will hold it: its name, its compressed data and the values its
/// headers declare.
struct RawEntry {
  std::string name;
  std::vector<std::byte> data;
  std::uint32_t crc32 = 0;
  std::uint64_t size = 0;
};

/// `content` as the writer stores it: a raw DEFLATE stream at level 6, its CRC-32 and size.
[[nodiscard]] RawEntry deflated_entry(std::string_view name, std::span<const std::byte> content);

/// A raw DEFLATE stream of `content` at level 6.
[[nodiscard]] std::vector<std::byte> deflate_raw(std::span<const std::byte> content);

/// Local headers and data back to back from offset 0, then the directory and end records,
/// each encoded by the writer's record code.
[[nodiscard]] std::vector<std::byte> build_archive(std::span<const RawEntry> entries);

/// Where the records of `build_archive(entries)` start.
struct ArchiveLayout {
  std::vector<std::uint64_t> local;
  std::vector<std::uint64_t> central;
  std::uint64_t directory = 0;
  std::uint64_t end = 0;
};
[[nodiscard]] ArchiveLayout layout_of(std::span<const RawEntry> entries);

/// Overwrites `width` bytes at `offset` with `value`, little-endian.
void put_le(std::vector<std::byte>& bytes, std::uint64_t offset, int width, std::uint64_t value);

/// The package the tests start from: a sample plugin.toml, a small module and a signature
/// text, each deflated as the writer does.
[[nodiscard]] std::vector<RawEntry> sample_entries();

/// One crafted archive and what the reader must say about it.
struct HostileArchive {
  std::string name;
  std::vector<std::byte> bytes;
  ZipReadError::Kind kind = ZipReadError::Kind::kMalformed;
  std::string message;
};

/// Every hostile archive, each refused by the reader with default limits
/// (plugin.toml 1 MiB, main.wasm 4 GiB) for a reason of its own.
[[nodiscard]] std::vector<HostileArchive> hostile_archives();

/// The limits the package format defaults to.
[[nodiscard]] PackageSizeLimits default_size_limits();

}  // namespace plugin_sign::testing
