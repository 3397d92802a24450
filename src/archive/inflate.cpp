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

}  // namespace

// One pass, whatever the input: a stream that is invalid, and one that would go on past its
// input, are the same fault, since telling them apart would mean inflating hostile data again.
std::expected<ByteBuffer, InflateError> inflate_exact(std::span<const std::byte> input,
                                                      std::uint64_t size) {
  Decompressor decompressor(libdeflate_alloc_decompressor());
  ByteBuffer out;
  if (!decompressor || size > SIZE_MAX ||
      !out.reserve(static_cast<std::size_t>(size), Prefault::kYes))
    return std::unexpected(InflateError{.fault = InflateFault::kOutOfMemory});
  const Outcome outcome = run(decompressor.get(), input, out.spare().first(size));
  switch (outcome.result) {
    case LIBDEFLATE_SUCCESS:
      break;
    case LIBDEFLATE_INSUFFICIENT_SPACE:
      return std::unexpected(InflateError{.fault = InflateFault::kOutputTooLong});
    default:
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
