#include "archive/inflate.hpp"

#include <libdeflate.h>

#include <memory>

namespace plugin_sign {
namespace {

// libdeflate inflates whole buffers into an output of known size, which is what a package
// entry is, several times faster than zlib's streaming inflate.
struct DecompressorDeleter {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};
using Decompressor = std::unique_ptr<libdeflate_decompressor, DecompressorDeleter>;

struct Outcome {
  libdeflate_result result;
  std::size_t consumed = 0;
  std::size_t produced = 0;
};

Outcome run(libdeflate_decompressor* d, std::span<const std::byte> input,
            std::span<std::byte> out) {
  // An empty output still gets a valid address to write nothing to.
  std::byte none{};
  Outcome outcome{};
  outcome.result = libdeflate_deflate_decompress_ex(d, input.data(), input.size(),
                                                    out.empty() ? &none : out.data(), out.size(),
                                                    &outcome.consumed, &outcome.produced);
  return outcome;
}

// After invalid data: whether the stream would have gone on into the bytes after its input.
// Inflated into a scratch buffer of the same bounded size, never into the result.
bool runs_past_input(libdeflate_decompressor* d, std::span<const std::byte> region,
                     std::size_t input_size, std::span<std::byte> scratch) {
  if (region.size() == input_size) return false;
  const Outcome longer = run(d, region, scratch);
  return longer.result == LIBDEFLATE_SUCCESS && longer.consumed > input_size;
}

}  // namespace

std::expected<ByteBuffer, InflateError> inflate_exact(std::span<const std::byte> region,
                                                      std::size_t input_size, std::uint64_t size) {
  Decompressor decompressor(libdeflate_alloc_decompressor());
  ByteBuffer out;
  if (!decompressor || size > SIZE_MAX ||
      !out.reserve(static_cast<std::size_t>(size), Prefault::kYes))
    return std::unexpected(InflateError{.fault = InflateFault::kOutOfMemory});
  const std::span<const std::byte> input = region.first(input_size);
  const Outcome outcome = run(decompressor.get(), input, out.spare().first(size));
  switch (outcome.result) {
    case LIBDEFLATE_SUCCESS:
      break;
    case LIBDEFLATE_INSUFFICIENT_SPACE:
      return std::unexpected(InflateError{.fault = InflateFault::kOutputTooLong});
    default:
      if (runs_past_input(decompressor.get(), region, input_size, out.spare().first(size)))
        return std::unexpected(InflateError{.fault = InflateFault::kRunsPastInput});
      return std::unexpected(InflateError{.fault = InflateFault::kInvalidData});
  }
  if (outcome.produced != size)
    return std::unexpected(
        InflateError{.fault = InflateFault::kOutputTooShort, .count = outcome.produced});
  if (outcome.consumed != input.size())
    return std::unexpected(
        InflateError{.fault = InflateFault::kInputLeftOver, .count = outcome.consumed});
  out.commit(outcome.produced);
  return out;
}

std::uint32_t zip_crc32(std::span<const std::byte> bytes) {
  return libdeflate_crc32(0, bytes.data(), bytes.size());
}

}  // namespace plugin_sign
