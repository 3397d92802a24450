// zip_records.hpp — the byte layout of ZIP headers and end records, as the writer emits them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plugin_sign {

/// What the writer remembers of an entry for its central directory header.
struct ZipEntryRecord {
  std::string name;
  std::uint32_t crc32 = 0;
  std::uint64_t compressed_size = 0;
  std::uint64_t uncompressed_size = 0;
  std::uint64_t header_offset = 0;
};

/// Fixed length of a local header, without the name.
inline constexpr std::uint64_t kLocalHeaderSize = 30;
/// Where CRC-32, compressed and uncompressed size sit inside a local header.
inline constexpr std::uint64_t kLocalHeaderSizesOffset = 14;
/// A 32-bit field holding this value means "see the ZIP64 record".
inline constexpr std::uint64_t kZip64Marker = 0xFFFFFFFF;

/// The local header of `name` with CRC-32 and sizes zero, followed by the name.
[[nodiscard]] std::vector<std::byte> encode_local_header(std::string_view name);

/// CRC-32, compressed size and uncompressed size of `entry`, to be patched into its local
/// header at `kLocalHeaderSizesOffset`. Both sizes must be below 2^32.
[[nodiscard]] std::array<std::byte, 12> encode_local_sizes(const ZipEntryRecord& entry);

/// Whether a directory at `directory_offset`, of `directory_size` bytes and `count` entries,
/// needs the ZIP64 end record and locator: the end record holds each value only below its
/// marker (0xFFFFFFFF, and 0xFFFF for the count), which sends a reader to the ZIP64 record.
[[nodiscard]] bool needs_zip64_end(std::uint64_t directory_offset, std::uint64_t directory_size,
                                   std::uint64_t count);

/// The central directory of `entries`, starting at `directory_offset`, followed by the ZIP64
/// end record and locator when `needs_zip64_end`, and the end record.
[[nodiscard]] std::vector<std::byte> encode_directory(std::span<const ZipEntryRecord> entries,
                                                      std::uint64_t directory_offset);

}  // namespace plugin_sign
