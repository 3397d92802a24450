// The digest on a thread of its own beside the inflater, against the inflaters of today's
// paths: the same bytes, the same verdicts and the same messages, at the sizes where the
// pieces and the choice of a thread change.
#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "archive/inflate.hpp"
#include "archive/package_builder.hpp"
#include "archive/zip_reader.hpp"
#include "archive/zip_test_support.hpp"

namespace plugin_sign {
namespace {

class Collect final : public InflateSink {
 public:
  void take(std::span<const std::byte> bytes) override {
    content.insert(content.end(), bytes.begin(), bytes.end());
  }
  std::vector<std::byte> content;
};

std::string text_of(const std::expected<InflatedContent, InflateError>& result) {
  if (result) return "ok";
  return std::to_string(static_cast<int>(result.error().fault)) + "/" +
         std::to_string(result.error().count);
}

// A stream and the size declared for it, changed as a damaged or hostile entry would be.
struct Stream {
  std::string name;
  std::vector<std::byte> data;
  std::uint64_t size = 0;
};

std::vector<Stream> streams_of(std::size_t size) {
  const std::vector<std::byte> content = testing::sample_module(size);
  const std::vector<std::byte> data = testing::deflate_raw(content);
  std::vector<Stream> streams = {
      {"intact", data, size},
      {"declared one byte less", data, size - (size > 0)},
      {"declared one byte more", data, size + 1},
      {"cut in half", {data.begin(), data.begin() + data.size() / 2}, size},
      {"last byte missing", {data.begin(), data.end() - 1}, size},
      {"a byte after the stream", data, size},
      {"seven bytes after the stream", data, size}};
  // The inflater reads ahead into a bit buffer: what it holds past the stream's end is not part
  // of the stream, however many whole bytes that is.
  streams[streams.size() - 2].data.push_back(std::byte{0});
  streams.back().data.insert(streams.back().data.end(), 7, std::byte{0x5A});
  // Every eighth bit of the middle third flipped in turn, a few of them: some streams then
  // break, some inflate to other bytes or another length.
  for (std::size_t at = data.size() / 3; at < 2 * data.size() / 3; at += data.size() / 7 + 1) {
    Stream flipped{"bit flipped at " + std::to_string(at), data, size};
    flipped.data[at] ^= std::byte{0x10};
    streams.push_back(std::move(flipped));
  }
  return streams;
}

// Around a piece (256 KiB), around the smallest content given a thread, and several pieces
// with a partial last one.
const std::size_t kSizes[] = {0,
                              1,
                              kInflateWindowSize - 1,
                              kInflateWindowSize,
                              kInflateWindowSize + 1,
                              kSinkThreadMinimum - 1,
                              kSinkThreadMinimum,
                              kSinkThreadMinimum + 1,
                              7 * kInflateWindowSize + 12'345};

TEST(InflateBesideSink, SameBytesAndFaultsAsTheOtherInflaters) {
  for (const std::size_t size : kSizes) {
    for (const Stream& stream : streams_of(size)) {
      SCOPED_TRACE(std::to_string(size) + " bytes, " + stream.name);
      const auto whole = inflate_exact(stream.data, stream.size);
      const auto buffered = inflate_exact_streamed(stream.data, stream.size);
      Collect beside_sink;
      const auto beside =
          inflate_exact_streamed(stream.data, stream.size, beside_sink, SinkThread::kOwn);
      Collect then_sink;
      const auto then =
          inflate_exact_streamed(stream.data, stream.size, then_sink, SinkThread::kSame);
      // libdeflate reads on past the end of its input as if zeros followed, so a stream cut
      // short may fail there for another reason: the entry's message is its (next test).
      EXPECT_EQ(beside.has_value(), whole.has_value());
      EXPECT_EQ(text_of(beside), text_of(buffered));
      EXPECT_EQ(text_of(then), text_of(buffered));
      if (!whole || !beside || !then) continue;
      EXPECT_TRUE(std::ranges::equal(beside->bytes.bytes(), whole->bytes()));
      EXPECT_TRUE(std::ranges::equal(then->bytes.bytes(), whole->bytes()));
      EXPECT_TRUE(std::ranges::equal(beside_sink.content, whole->bytes()));
      EXPECT_TRUE(std::ranges::equal(then_sink.content, whole->bytes()));
      EXPECT_EQ(beside->crc32, zip_crc32(whole->bytes()));
      EXPECT_EQ(then->crc32, beside->crc32);
    }
  }
}

// The entry's checks and messages, with a thread where one pays and without: those of
// inflating it whole with libdeflate, a wrong CRC-32 included.
TEST(InflateBesideSink, EntryGivesTheMessagesOfInflatingWhole) {
  for (const std::size_t size : kSizes) {
    for (Stream& stream : streams_of(size)) {
      for (const bool wrong_crc : {false, true}) {
        SCOPED_TRACE(std::to_string(size) + " bytes, " + stream.name +
                     (wrong_crc ? ", wrong CRC-32" : ""));
        const std::vector<std::byte> content = testing::sample_module(size);
        LocatedEntry entry{.record = {}, .data = stream.data};
        entry.record.name = "main.wasm";
        entry.record.compressed_size = stream.data.size();
        entry.record.uncompressed_size = stream.size;
        entry.record.crc32 = testing::crc32_of(content) ^ (wrong_crc ? 1u : 0u);
        const auto whole = inflate_entry(entry);
        Collect sink;
        const auto hashed = inflate_entry(entry, sink);
        ASSERT_EQ(hashed.has_value(), whole.has_value());
        if (!whole) {
          EXPECT_EQ(hashed.error().message, whole.error().message);
          EXPECT_EQ(hashed.error().kind, whole.error().kind);
          continue;
        }
        EXPECT_TRUE(std::ranges::equal(hashed->bytes(), content));
        EXPECT_TRUE(std::ranges::equal(sink.content, content));
      }
    }
  }
}

// A sink that runs out of memory on its own thread (a host's digest that allocates, say) ends
// the call with its exception, on the caller's thread, after the inflater stopped and the
// sink's thread was joined: never a result, and nothing left running on the buffer.
TEST(InflateBesideSink, ASinkThatThrowsEndsTheCallWithItsException) {
  class Failing final : public InflateSink {
   public:
    void take(std::span<const std::byte> bytes) override {
      thread = std::this_thread::get_id();
      if ((taken += bytes.size()) > kInflateWindowSize) throw std::bad_alloc();
    }
    std::size_t taken = 0;
    std::thread::id thread;
  };
  const std::vector<std::byte> content = testing::sample_module(4 * kSinkThreadMinimum);
  const std::vector<std::byte> data = testing::deflate_raw(content);
  for (const SinkThread where : {SinkThread::kOwn, SinkThread::kSame}) {
    Failing sink;
    EXPECT_THROW((void)inflate_exact_streamed(data, content.size(), sink, where), std::bad_alloc);
    EXPECT_GT(sink.taken, kInflateWindowSize);
    EXPECT_EQ(sink.thread == std::this_thread::get_id(), where == SinkThread::kSame);
  }
}

// A stream whose last few bytes stand for a long run: with its input all read ahead, the
// inflater still writes from what it holds, a round without input. Declared a byte short, it
// is too long on every path, as libdeflate finds; declared right, it inflates.
TEST(InflateBesideSink, ARunLeftInTheReadAheadIsStillInflated) {
  std::vector<std::byte> content = testing::noise(kInflateWindowSize, 5);
  content.resize(content.size() + 600);
  const std::vector<std::byte> data = testing::deflate_raw(content);
  for (const std::size_t declared : {content.size(), content.size() - 1}) {
    SCOPED_TRACE(declared);
    const auto whole = inflate_exact(data, declared);
    ASSERT_EQ(whole.has_value(), declared == content.size());
    const std::string expected = whole ? "ok" : text_of(std::unexpected(whole.error()));
    Collect window_sink;
    const auto streamed = inflate_streaming(data, declared, window_sink);
    EXPECT_EQ(streamed ? "ok" : text_of(std::unexpected(streamed.error())), expected);
    EXPECT_EQ(text_of(inflate_exact_streamed(data, declared)), expected);
    for (const SinkThread where : {SinkThread::kOwn, SinkThread::kSame}) {
      Collect sink;
      const auto result = inflate_exact_streamed(data, declared, sink, where);
      EXPECT_EQ(text_of(result), expected);
      if (result) {
        EXPECT_TRUE(std::ranges::equal(result->bytes.bytes(), content));
      }
    }
  }
}

// A declared size that no memory holds (the verifier inflates a streamed module again once its
// signature verified) is out of memory before a byte is inflated, on every path.
TEST(InflateBesideSink, ContentLargerThanTheAddressSpaceIsOutOfMemory) {
  const std::vector<std::byte> data = testing::deflate_raw({});
  constexpr std::uint64_t kHuge = std::uint64_t{1} << 50;
  Collect beside_sink;
  Collect then_sink;
  const std::expected<InflatedContent, InflateError> results[] = {
      inflate_exact_streamed(data, kHuge),
      inflate_exact_streamed(data, kHuge, beside_sink, SinkThread::kOwn),
      inflate_exact_streamed(data, kHuge, then_sink, SinkThread::kSame)};
  for (const auto& result : results) {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().fault, InflateFault::kOutOfMemory);
  }
  EXPECT_TRUE(beside_sink.content.empty());
  EXPECT_TRUE(then_sink.content.empty());
}

// A thread only for large content, and only with a second CPU to run it on: confined to one
// CPU, a process would only take turns between its two threads.
TEST(InflateBesideSink, AThreadOnlyForLargeContentAndASecondCpu) {
  EXPECT_FALSE(sink_thread_pays(0));
  EXPECT_FALSE(sink_thread_pays(kSinkThreadMinimum - 1));
  cpu_set_t usable;
  CPU_ZERO(&usable);
  ASSERT_EQ(::sched_getaffinity(0, sizeof usable, &usable), 0);
  EXPECT_EQ(sink_thread_pays(kSinkThreadMinimum), CPU_COUNT(&usable) > 1);
  int first = 0;
  while (!CPU_ISSET(first, &usable)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
  EXPECT_FALSE(sink_thread_pays(kSinkThreadMinimum));
  ASSERT_EQ(::sched_setaffinity(0, sizeof usable, &usable), 0);
}

}  // namespace
}  // namespace plugin_sign
