// inflate.hpp — a raw DEFLATE stream into a buffer of exactly its expected size, and CRC-32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "io/file_io.hpp"

namespace plugin_sign {

/// Why a stream did not inflate to exactly what was expected of it.
enum class InflateFault {
  kOutOfMemory,     ///< the output buffer could not be had
  kInvalidData,     ///< not a valid raw DEFLATE stream
  kRunsPastInput,   ///< the stream goes on past the end of its input
  kInputLeftOver,   ///< the stream ends before the end of its input
  kOutputTooLong,   ///< the stream holds more bytes than expected
  kOutputTooShort,  ///< the stream holds fewer bytes than expected
};

/// The fault, with the bytes produced (kOutputTooShort) or the input consumed (kInputLeftOver).
struct InflateError {
  InflateFault fault = InflateFault::kInvalidData;
  std::uint64_t count = 0;
};

/// Inflates the raw DEFLATE stream `region.first(input_size)`, which must end exactly at its
/// last byte, into a new buffer of exactly `size` bytes, reserved before inflating and never
/// grown. The rest of `region` is never inflated into the result: after a failure it only tells
/// a stream that runs past its input from invalid data.
[[nodiscard]] std::expected<ByteBuffer, InflateError> inflate_exact(
    std::span<const std::byte> region, std::size_t input_size, std::uint64_t size);

/// The CRC-32 of ZIP (and zlib) over `bytes`.
[[nodiscard]] std::uint32_t zip_crc32(std::span<const std::byte> bytes);

}  // namespace plugin_sign
