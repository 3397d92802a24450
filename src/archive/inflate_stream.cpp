// inflate_streaming (archive/inflate.hpp): zlib's streaming inflate, which holds only its
// 32 KiB history and the window it writes into. libdeflate is faster but needs the whole
// output at once, which is what content not yet signed must not get.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>

#include "archive/inflate.hpp"

namespace plugin_sign {
namespace {

// A raw inflater, ended whatever way the run ends.
class Inflater {
 public:
  Inflater() { ok_ = ::inflateInit2(&stream_, -MAX_WBITS) == Z_OK; }
  ~Inflater() {
    if (ok_) ::inflateEnd(&stream_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  [[nodiscard]] bool ok() const { return ok_; }
  z_stream& stream() { return stream_; }

 private:
  z_stream stream_{};
  bool ok_ = false;
};

std::unexpected<InflateError> fault(InflateFault fault, std::uint64_t count = 0) {
  return std::unexpected(InflateError{.fault = fault, .count = count});
}

}  // namespace

std::expected<std::uint32_t, InflateError> inflate_streaming(std::span<const std::byte> input,
                                                             std::uint64_t size,
                                                             InflateSink& sink) {
  Inflater inflater;
  if (!inflater.ok()) return fault(InflateFault::kOutOfMemory);
  z_stream& stream = inflater.stream();
  std::array<std::byte, kInflateWindowSize> window;
  std::uint64_t produced = 0;
  std::size_t fed = 0;
  uLong crc = ::crc32(0, nullptr, 0);
  for (;;) {
    // zlib counts its input in 32 bits: fed in pieces, so that any span fits.
    if (stream.avail_in == 0 && fed < input.size()) {
      const std::size_t piece = std::min<std::size_t>(input.size() - fed, UINT_MAX);
      stream.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(input.data() + fed));
      stream.avail_in = static_cast<uInt>(piece);
      fed += piece;
    }
    stream.next_out = reinterpret_cast<Bytef*>(window.data());
    stream.avail_out = static_cast<uInt>(window.size());
    const int result = ::inflate(&stream, Z_NO_FLUSH);
    const std::size_t got = window.size() - stream.avail_out;
    if (got > size - produced) return fault(InflateFault::kOutputTooLong);
    const std::span<const std::byte> bytes(window.data(), got);
    crc = ::crc32_z(crc, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size());
    sink.take(bytes);
    produced += got;
    if (result == Z_STREAM_END) break;
    if (result == Z_MEM_ERROR) return fault(InflateFault::kOutOfMemory);
    // Z_BUF_ERROR: no progress with all input given, a stream that goes on past its input.
    if (result != Z_OK) return fault(InflateFault::kInvalidData);
  }
  if (produced != size) return fault(InflateFault::kOutputTooShort, produced);
  const std::uint64_t consumed = fed - stream.avail_in;
  if (consumed != input.size()) return fault(InflateFault::kInputLeftOver, consumed);
  return static_cast<std::uint32_t>(crc);
}

}  // namespace plugin_sign
