// zip_layout_check.hpp — names the field in which archive bytes differ from the bytes the
// writer emits; shared by the parts of the strict reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace plugin_sign {

/// Record signatures and the size of the end record, as the writer emits them.
inline constexpr std::uint64_t kLocalSignature = 0x04034b50;
inline constexpr std::uint64_t kCentralSignature = 0x02014b50;
inline constexpr std::uint64_t kEndSignature = 0x06054b50;
inline constexpr std::uint64_t kZip64EndSignature = 0x06064b50;
inline constexpr std::uint64_t kEndSize = 22;
inline constexpr std::uint64_t kCentralHeaderSize = 46;
inline constexpr std::uint64_t kZip64ExtraSize = 12;
inline constexpr std::uint64_t kZip64EndSize = 56;
inline constexpr std::uint64_t kZip64LocatorSize = 20;

/// The little-endian number of `width` bytes at `offset`; the caller checks the bounds.
[[nodiscard]] std::uint64_t read_le(std::span<const std::byte> bytes, std::uint64_t offset,
                                    std::uint64_t width);

/// `bytes` as text for a message: printable ASCII as is, other bytes as \xNN, cut after 64.
[[nodiscard]] std::string shown_name(std::span<const std::byte> bytes);

/// Why `found` cannot be the entry at `position` (from 0) of `expected`: "duplicate entry X",
/// "entry X out of order, expected Y", "unexpected entry name X" or, past the last entry,
/// "unexpected fourth entry X".
[[nodiscard]] std::string entry_name_fault(std::span<const std::byte> found, std::size_t position,
                                           std::span<const std::string_view> expected);

/// The first field of a local header in which `actual` differs from `expected` (both the fixed
/// 30 bytes), as a message about entry `name`; nothing when they are equal.
[[nodiscard]] std::optional<std::string> local_header_difference(
    std::span<const std::byte> actual, std::span<const std::byte> expected, std::string_view name);

}  // namespace plugin_sign
