// block_deflate.hpp — one raw DEFLATE stream compressed in independent blocks on every core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>

#include "io/io_error.hpp"

namespace plugin_sign {

/// How a large entry is cut and compressed. The compressed bytes depend on `block_size` alone,
/// never on `threads`.
struct BlockDeflateOptions {
  std::size_t block_size = std::size_t{1} << 20;
  /// Workers that compress blocks: at least one, at most eight.
  unsigned threads = 1;
};

/// The entry's CRC-32 and the number of compressed bytes handed to the sink.
struct BlockDeflateResult {
  std::uint32_t crc32 = 0;
  std::uint64_t compressed_size = 0;
};

/// Receives compressed bytes in stream order, on the calling thread.
using CompressedSink = std::function<std::expected<void, IoError>(std::span<const std::byte>)>;

/// The threads that `deflate_in_blocks` uses on this machine: the processors it may run on.
[[nodiscard]] unsigned available_threads();

/// Compresses `input` as one raw DEFLATE stream (RFC 1951, zlib level 6): blocks of
/// `options.block_size` bytes, each primed with the 32 KiB of input before it and ended on a
/// byte boundary, the last one ending the stream. Workers compress, a bounded number of blocks
/// ahead of the sink; the calling thread alone hands their output to `sink`, in order. The
/// first failure (the sink's, or "out of memory" in a worker) stops the workers, and nothing
/// more reaches the sink.
[[nodiscard]] std::expected<BlockDeflateResult, IoError> deflate_in_blocks(
    std::span<const std::byte> input, const BlockDeflateOptions& options,
    const CompressedSink& sink);

}  // namespace plugin_sign
