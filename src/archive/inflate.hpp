// inflate.hpp — a raw DEFLATE stream into a buffer of exactly its expected size, or through a
// small window for content that is not to be held; and CRC-32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "io/file_io.hpp"

namespace plugin_sign {

/// Why a stream did not inflate to exactly what was expected of it.
enum class InflateFault {
  kOutOfMemory,     ///< the output buffer or the inflater's state could not be had
  kInvalidData,     ///< not a valid raw DEFLATE stream, or one that goes on past its input
  kInputLeftOver,   ///< the stream ends before the end of its input
  kOutputTooLong,   ///< the stream holds more bytes than expected
  kOutputTooShort,  ///< the stream holds fewer bytes than expected
};

/// The fault, with the bytes produced (kOutputTooShort) or the input consumed (kInputLeftOver).
struct InflateError {
  InflateFault fault = InflateFault::kInvalidData;
  std::uint64_t count = 0;
};

/// Inflates the raw DEFLATE stream `input`, which must end exactly at its last byte, into a new
/// buffer of exactly `size` bytes, reserved before inflating and never grown.
[[nodiscard]] std::expected<ByteBuffer, InflateError> inflate_exact(
    std::span<const std::byte> input, std::uint64_t size);

/// Receives inflated bytes a window at a time, in order.
class InflateSink {
 public:
  virtual void take(std::span<const std::byte> bytes) = 0;

 protected:
  ~InflateSink() = default;
};

/// The window that `inflate_streaming` hands to its sink; with the inflater's own state of
/// about 86 KiB, all that streaming costs, whatever size a stream declares. 256 KiB rather than
/// less: each piece is hashed while it is still in the cache, and fewer calls cost less.
inline constexpr std::size_t kInflateWindowSize = std::size_t{256} << 10;

/// Inflates `input` as `inflate_exact` does, with the same faults for the same input, but hands
/// the bytes to `sink` instead of holding them: the sink never gets a byte past `size`. Gives
/// the CRC-32 of the bytes.
[[nodiscard]] std::expected<std::uint32_t, InflateError> inflate_streaming(
    std::span<const std::byte> input, std::uint64_t size, InflateSink& sink);

/// Content inflated whole, with the CRC-32 taken piece by piece as it was written.
struct InflatedContent {
  ByteBuffer bytes;
  std::uint32_t crc32 = 0;
};

/// Inflates `input` as `inflate_exact` does, with the same faults for the same input, but with
/// the inflater of `inflate_streaming`: deterministic code on the same input, so the bytes are
/// those that `inflate_streaming` handed its sink, and a digest taken from them then holds for
/// these.
[[nodiscard]] std::expected<InflatedContent, InflateError> inflate_exact_streamed(
    std::span<const std::byte> input, std::uint64_t size);

/// Where the sink of `inflate_exact_streamed` takes the content.
enum class SinkThread : bool {
  kSame,  ///< on the caller's thread, each piece before the next one is inflated
  kOwn,   ///< on a thread of its own, behind the inflater, which never waits for it
};

/// `inflate_exact_streamed`, with `sink` handed the content as well, in order, as it is written,
/// and the CRC-32 taken on the sink's side; the sink never sees a byte before it is written.
/// With kOwn the caller's thread inflates while the sink takes on a second core what is already
/// written, and then waits for it to finish; with no thread to be had, the caller's thread
/// takes turns as with kSame, with the same outcome. An exception from the sink reaches the
/// caller either way. On a fault the sink may have had part of the content.
[[nodiscard]] std::expected<InflatedContent, InflateError> inflate_exact_streamed(
    std::span<const std::byte> input, std::uint64_t size, InflateSink& sink, SinkThread where);

/// The smallest content for which the sink's own thread gains more than it costs on a free
/// second CPU (bench/RESULTS.md: 0.89x at 1 MiB, 0.69x at 2 MiB, about 1.1x when it is busy).
inline constexpr std::uint64_t kSinkThreadMinimum = std::uint64_t{1} << 20;

/// Whether `size` bytes are worth SinkThread::kOwn: at least kSinkThreadMinimum, and a second
/// CPU that this thread may run on.
[[nodiscard]] bool sink_thread_pays(std::uint64_t size);

/// The CRC-32 of ZIP (and zlib) over `bytes`.
[[nodiscard]] std::uint32_t zip_crc32(std::span<const std::byte> bytes);

}  // namespace plugin_sign
