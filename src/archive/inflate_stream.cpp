// inflate_streaming and inflate_exact_streamed (archive/inflate.hpp): ISA-L's streaming
// inflate, which holds only its own state and the piece it writes into. libdeflate is as fast
// on real modules but needs the whole output at once, which is what content not yet signed
// must not get; zlib streams too, but at a third of ISA-L's speed on the long runs of a bomb
// (bench/RESULTS.md).
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include "archive/inflate.hpp"

namespace plugin_sign {
namespace {

std::unexpected<InflateError> fault(InflateFault fault, std::uint64_t count = 0) {
  return std::unexpected(InflateError{.fault = fault, .count = count});
}

// The inflater's state (about 86 KiB) from the heap: a host's thread may have a small stack,
// and running out of memory is a fault to report, not a crash.
using State = std::unique_ptr<inflate_state>;

State new_state() {
  State state(new (std::nothrow) inflate_state);
  if (state) ::isal_inflate_init(state.get());  // a raw DEFLATE stream, 32 KiB of history
  return state;
}

// Runs the inflater over `input`, a piece at a time: `output.next()` says where the next
// piece goes, `output.take(piece)` gets it once written, before the next one is asked for.
// Never more than `size` bytes are taken; gives their CRC-32.
template <typename Output>
std::expected<std::uint32_t, InflateError> inflate_pieces(inflate_state& state,
                                                          std::span<const std::byte> input,
                                                          std::uint64_t size, Output& output) {
  std::uint64_t produced = 0;
  std::size_t fed = 0;
  std::uint32_t crc = 0;
  for (;;) {
    // ISA-L counts its input in 32 bits: fed in pieces, so that any span fits.
    if (state.avail_in == 0 && fed < input.size()) {
      const std::size_t piece = std::min<std::size_t>(input.size() - fed, UINT32_MAX);
      state.next_in = reinterpret_cast<std::uint8_t*>(const_cast<std::byte*>(input.data() + fed));
      state.avail_in = static_cast<std::uint32_t>(piece);
      fed += piece;
    }
    const std::span<std::byte> room = output.next(size - produced);
    state.next_out = reinterpret_cast<std::uint8_t*>(room.data());
    state.avail_out = static_cast<std::uint32_t>(room.size());
    const std::uint32_t available = state.avail_in;
    const int result = ::isal_inflate(&state);
    const std::size_t got = room.size() - state.avail_out;
    if (got > size - produced) return fault(InflateFault::kOutputTooLong);
    const std::span<const std::byte> piece = room.first(got);
    crc = ::crc32_gzip_refl(crc, reinterpret_cast<const std::uint8_t*>(piece.data()), got);
    output.take(piece);
    produced += got;
    if (result < 0) return fault(InflateFault::kInvalidData);
    if (state.block_state == ISAL_BLOCK_FINISH) break;
    // No progress: with all input given, a stream that goes on past its input.
    if (got == 0 && state.avail_in == available) return fault(InflateFault::kInvalidData);
  }
  if (produced != size) return fault(InflateFault::kOutputTooShort, produced);
  // ISA-L reads ahead into a bit buffer: its whole bytes were never part of the stream.
  const auto buffered = static_cast<std::uint64_t>(std::max(state.read_in_length, 0));
  const std::uint64_t consumed = fed - state.avail_in - buffered / 8;
  if (consumed != input.size()) return fault(InflateFault::kInputLeftOver, consumed);
  return crc;
}

// Every piece into the same window, handed on to a sink.
class WindowOutput {
 public:
  explicit WindowOutput(InflateSink& sink) : sink_(sink) {}
  bool allocate() {
    window_.reset(new (std::nothrow) std::byte[kInflateWindowSize]);
    return window_ != nullptr;
  }
  std::span<std::byte> next(std::uint64_t) { return {window_.get(), kInflateWindowSize}; }
  void take(std::span<const std::byte> piece) { sink_.take(piece); }

 private:
  InflateSink& sink_;
  std::unique_ptr<std::byte[]> window_;
};

// Each piece where it belongs in the result, a window's size at a time, so that its CRC-32 is
// taken while it is in the cache. Once the result is full, a few bytes of scratch show
// whether the stream holds more than expected.
class BufferOutput {
 public:
  explicit BufferOutput(ByteBuffer& buffer) : buffer_(buffer) {}
  std::span<std::byte> next(std::uint64_t left) {
    if (left == 0) return scratch_;
    return buffer_.spare().first(
        static_cast<std::size_t>(std::min<std::uint64_t>(left, kInflateWindowSize)));
  }
  void take(std::span<const std::byte> piece) {
    if (piece.data() != scratch_) buffer_.commit(piece.size());
  }

 private:
  ByteBuffer& buffer_;
  std::byte scratch_[16]{};
};

}  // namespace

std::expected<std::uint32_t, InflateError> inflate_streaming(std::span<const std::byte> input,
                                                             std::uint64_t size,
                                                             InflateSink& sink) {
  State state = new_state();
  WindowOutput output(sink);
  if (!state || !output.allocate()) return fault(InflateFault::kOutOfMemory);
  return inflate_pieces(*state, input, size, output);
}

std::expected<InflatedContent, InflateError> inflate_exact_streamed(
    std::span<const std::byte> input, std::uint64_t size) {
  State state = new_state();
  ByteBuffer buffer;
  if (!state || size > SIZE_MAX || !buffer.reserve(static_cast<std::size_t>(size), Prefault::kYes))
    return fault(InflateFault::kOutOfMemory);
  BufferOutput output(buffer);
  auto crc = inflate_pieces(*state, input, size, output);
  if (!crc) return std::unexpected(crc.error());
  return InflatedContent{.bytes = std::move(buffer), .crc32 = *crc};
}

}  // namespace plugin_sign
