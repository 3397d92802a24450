// The streaming inflater (ISA-L), through a window and into a whole buffer, against the
// whole-buffer one (libdeflate) and against zlib, on the same raw DEFLATE streams: the digest
// before the signature, the bytes a host gets after it and the bytes of a package inflated
// whole come from different libraries, so they must agree on what a stream is, byte for byte.
//
// Input: one byte choosing the size the entry declares, then the stream. zlib says what the
// stream holds and where it ends; from that follows what both inflaters must answer.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "archive/inflate.hpp"
#include "fuzz_check.hpp"

namespace plugin_sign::fuzzing {
namespace {

// Streams that inflate to more are left alone: a few KiB of input reach it only by runs,
// which the seeds cover, and the run stays fast.
constexpr std::size_t kMostOutput = std::size_t{2} << 20;

struct ZlibView {
  bool complete = false;  // a valid stream that ends within the input
  std::vector<std::byte> bytes;
  std::size_t consumed = 0;
};

// What zlib makes of `input`, or nothing when the stream inflates to more than kMostOutput.
// Inflated a piece at a time, so that a short stream costs only what it produces.
std::optional<ZlibView> zlib_view(std::span<const std::byte> input) {
  z_stream stream{};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) std::abort();
  ZlibView view;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(input.data()));
  stream.avail_in = static_cast<uInt>(input.size());
  std::byte piece[16384];
  int result = Z_OK;
  while (result == Z_OK && view.bytes.size() <= kMostOutput) {
    stream.next_out = reinterpret_cast<Bytef*>(piece);
    stream.avail_out = sizeof piece;
    result = inflate(&stream, Z_NO_FLUSH);
    view.bytes.insert(view.bytes.end(), piece, piece + (sizeof piece - stream.avail_out));
  }
  view.consumed = input.size() - stream.avail_in;
  view.complete = result == Z_STREAM_END;
  inflateEnd(&stream);
  if (view.bytes.size() > kMostOutput) return std::nullopt;
  return view;
}

class Collect final : public InflateSink {
 public:
  static constexpr std::size_t kAnyPiece = SIZE_MAX;
  explicit Collect(std::size_t largest_piece = kInflateWindowSize)
      : largest_piece_(largest_piece) {}
  void take(std::span<const std::byte> bytes) override {
    require(bytes.size() <= largest_piece_, "a piece larger than the window");
    content.insert(content.end(), bytes.begin(), bytes.end());
  }
  std::vector<std::byte> content;

 private:
  std::size_t largest_piece_;
};

std::string fault_text(const InflateError& error) {
  return std::to_string(static_cast<int>(error.fault)) + "/" + std::to_string(error.count);
}

// The size the entry declares: what zlib found, one byte less or more, or a size of its own.
std::uint64_t declared_size(std::uint8_t choice, std::size_t found) {
  switch (choice % 4) {
    case 0:
      return found;
    case 1:
      return found == 0 ? 0 : found - 1;
    case 2:
      return found + 1;
    default:
      return choice;
  }
}

void check_stream(std::uint8_t choice, std::span<const std::byte> input) {
  const auto zlib = zlib_view(input);
  if (!zlib) return;
  const std::uint64_t size = declared_size(choice, zlib->bytes.size());

  auto whole = inflate_exact(input, size);
  Collect sink;
  auto streamed = inflate_streaming(input, size, sink);
  auto buffered = inflate_exact_streamed(input, size);
  // Into a buffer and to a sink as it is written: beside the sink on a thread of its own, and
  // on the sink's thread. The sink of each may get pieces of any size, as published.
  Collect beside_sink(Collect::kAnyPiece);
  auto beside = inflate_exact_streamed(input, size, beside_sink, SinkThread::kOwn);
  Collect then_sink;
  auto then = inflate_exact_streamed(input, size, then_sink, SinkThread::kSame);

  // What zlib says the answer is: only a complete stream of exactly `size` bytes that ends at
  // the end of its input is accepted.
  const bool accepted =
      zlib->complete && zlib->bytes.size() == size && zlib->consumed == input.size();
  require(whole.has_value() == accepted, "libdeflate accepts what zlib does");
  require(streamed.has_value() == accepted, "ISA-L accepts what zlib does");
  require(buffered.has_value() == accepted, "ISA-L into a buffer accepts what zlib does");
  require(beside.has_value() == accepted, "ISA-L on its own thread accepts what zlib does");
  require(then.has_value() == accepted, "ISA-L before its sink accepts what zlib does");
  if (accepted) {
    require(std::ranges::equal(whole->bytes(), zlib->bytes), "libdeflate's bytes are zlib's");
    require(std::ranges::equal(sink.content, zlib->bytes), "ISA-L's bytes are zlib's");
    const auto crc = static_cast<std::uint32_t>(
        crc32_z(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(zlib->bytes.data()),
                zlib->bytes.size()));
    require(*streamed == crc, "ISA-L's CRC-32 is zlib's");
    require(std::ranges::equal(buffered->bytes.bytes(), zlib->bytes),
            "ISA-L's bytes into a buffer are zlib's");
    require(buffered->crc32 == crc, "ISA-L's CRC-32 into a buffer is zlib's");
    require(zip_crc32(whole->bytes()) == crc, "libdeflate's CRC-32 is zlib's");
    for (const auto& [result, sink] :
         {std::pair{&beside, &beside_sink}, std::pair{&then, &then_sink}}) {
      require(std::ranges::equal((*result)->bytes.bytes(), zlib->bytes),
              "ISA-L's bytes beside a sink are zlib's");
      require(std::ranges::equal(sink->content, zlib->bytes), "the sink's bytes are zlib's");
      require((*result)->crc32 == crc, "ISA-L's CRC-32 beside a sink is zlib's");
    }
    return;
  }
  // A stream zlib inflates completely fails for one reason, the same in both.
  if (zlib->complete) {
    InflateError expected{.fault = InflateFault::kInputLeftOver, .count = zlib->consumed};
    if (zlib->bytes.size() > size) expected = {.fault = InflateFault::kOutputTooLong, .count = 0};
    if (zlib->bytes.size() < size)
      expected = {.fault = InflateFault::kOutputTooShort, .count = zlib->bytes.size()};
    require(fault_text(whole.error()) == fault_text(expected), "libdeflate's fault",
            fault_text(whole.error()), fault_text(expected));
    require(fault_text(streamed.error()) == fault_text(expected), "ISA-L's fault",
            fault_text(streamed.error()), fault_text(expected));
    require(fault_text(buffered.error()) == fault_text(expected), "ISA-L's fault into a buffer",
            fault_text(buffered.error()), fault_text(expected));
    require(fault_text(beside.error()) == fault_text(expected), "ISA-L's fault on its thread",
            fault_text(beside.error()), fault_text(expected));
    require(fault_text(then.error()) == fault_text(expected), "ISA-L's fault before a sink",
            fault_text(then.error()), fault_text(expected));
  }
  // Never more than declared reaches the sink, whatever the stream.
  require(sink.content.size() <= size, "ISA-L hands over no more than declared");
  require(beside_sink.content.size() <= size && then_sink.content.size() <= size,
          "ISA-L hands over no more than declared, beside a sink");
  // Invalid streams too: the same fault, at the same place, whichever thread inflates.
  if (!buffered)
    for (const auto* result : {&beside, &then})
      require(fault_text(result->error()) == fault_text(buffered.error()),
              "the same fault beside a sink", fault_text(result->error()),
              fault_text(buffered.error()));
}

}  // namespace
}  // namespace plugin_sign::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto* bytes = reinterpret_cast<const std::byte*>(data);
  plugin_sign::fuzzing::check_stream(data[0], std::span(bytes + 1, size - 1));
  return 0;
}
