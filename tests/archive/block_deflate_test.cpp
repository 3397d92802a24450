#include "archive/block_deflate.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "archive/zip_test_support.hpp"

namespace plugin_sign {
namespace {

using testing::crc32_of;
using testing::inflate_raw;

constexpr std::size_t kBlock = 64 * 1024;

// Text-like bytes that compress, with long matches across block boundaries, and noise that
// does not: both kinds of DEFLATE block appear.
std::vector<std::byte> sample(std::size_t size) {
  std::mt19937 generator(11);
  std::vector<std::byte> bytes(size);
  const std::string words[] = {"module ", "export ", "func ", "(i32.add) ", "local.get "};
  for (std::size_t i = 0; i < size;) {
    if (generator() % 8 == 0) {
      bytes[i++] = static_cast<std::byte>(generator());
      continue;
    }
    for (char c : words[generator() % 5]) {
      if (i == size) break;
      bytes[i++] = static_cast<std::byte>(c);
    }
  }
  return bytes;
}

struct Compressed {
  BlockDeflateResult result;
  std::vector<std::byte> bytes;
  std::size_t sink_calls = 0;
};

Compressed compress(std::span<const std::byte> input, unsigned threads) {
  Compressed out;
  auto result = deflate_in_blocks(input, {.block_size = kBlock, .threads = threads},
                                  [&](std::span<const std::byte> piece) {
                                    ++out.sink_calls;
                                    out.bytes.insert(out.bytes.end(), piece.begin(), piece.end());
                                    return std::expected<void, IoError>{};
                                  });
  EXPECT_TRUE(result.has_value());
  if (result) out.result = *result;
  return out;
}

// The archive must be the same on every machine: the bytes depend on the block size only.
TEST(DeflateInBlocks, SameStreamForEveryThreadCountAroundBlockBoundaries) {
  const std::vector<std::byte> all = sample(kBlock * 7 + 5);
  for (const std::size_t size :
       {std::size_t{0}, std::size_t{1}, kBlock - 1, kBlock, kBlock + 1, kBlock * 7 + 5}) {
    SCOPED_TRACE(size);
    const std::span<const std::byte> input(all.data(), size);
    const Compressed one = compress(input, 1);
    auto inflated = inflate_raw(one.bytes);
    ASSERT_TRUE(inflated.has_value()) << inflated.error();
    EXPECT_TRUE(std::ranges::equal(*inflated, input));
    EXPECT_EQ(one.result.crc32, crc32_of(input));
    EXPECT_EQ(one.result.compressed_size, one.bytes.size());
    EXPECT_EQ(one.sink_calls, std::max<std::size_t>(1, (size + kBlock - 1) / kBlock));
    for (const unsigned threads : {2u, 16u}) {
      SCOPED_TRACE(threads);
      const Compressed many = compress(input, threads);
      EXPECT_TRUE(many.bytes == one.bytes);
      EXPECT_EQ(many.result.crc32, one.result.crc32);
    }
  }
}

// The stream zlib itself makes of the blocks, each compressed apart at level 6 after the
// 32 KiB of input before it, ended by a sync flush and the last one by the stream's end.
std::vector<std::byte> zlib_blocks(std::span<const std::byte> input) {
  std::vector<std::byte> out;
  std::size_t start = 0;
  do {
    const std::size_t size = std::min(kBlock, input.size() - start);
    const bool last = start + size == input.size();
    z_stream stream{};
    deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    const std::size_t primed = std::min<std::size_t>(start, 32 * 1024);
    if (primed > 0)
      deflateSetDictionary(&stream, reinterpret_cast<const Bytef*>(input.data() + start - primed),
                           static_cast<uInt>(primed));
    std::vector<std::byte> block(deflateBound(&stream, size) + 16);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(input.data() + start));
    stream.avail_in = static_cast<uInt>(size);
    stream.next_out = reinterpret_cast<Bytef*>(block.data());
    stream.avail_out = static_cast<uInt>(block.size());
    deflate(&stream, last ? Z_FINISH : Z_SYNC_FLUSH);
    block.resize(block.size() - stream.avail_out);
    deflateEnd(&stream);
    out.insert(out.end(), block.begin(), block.end());
    start += size;
  } while (start < input.size());
  return out;
}

// The block stream is part of the archive format: its bytes are exactly zlib's at level 6.
TEST(DeflateInBlocks, EachBlockIsZlibsStreamAtLevelSixPrimedWithTheInputBefore) {
  const std::vector<std::byte> input = sample(kBlock * 3 + 1000);
  const Compressed blocks = compress(input, 2);
  EXPECT_TRUE(blocks.bytes == zlib_blocks(input));
}

// Zero in either option is taken as one, not as a division by zero or a run with no worker.
TEST(DeflateInBlocks, ZeroOptionsMeanOneByteBlocksOnOneWorker) {
  const std::vector<std::byte> input = sample(3);
  std::vector<std::byte> bytes;
  std::size_t sink_calls = 0;
  auto result = deflate_in_blocks(input, {.block_size = 0, .threads = 0},
                                  [&](std::span<const std::byte> piece) {
                                    ++sink_calls;
                                    bytes.insert(bytes.end(), piece.begin(), piece.end());
                                    return std::expected<void, IoError>{};
                                  });
  ASSERT_TRUE(result.has_value()) << result.error().fixed;
  EXPECT_EQ(sink_calls, 3u);
  auto inflated = inflate_raw(bytes);
  ASSERT_TRUE(inflated.has_value()) << inflated.error();
  EXPECT_TRUE(std::ranges::equal(*inflated, input));
}

// A process confined to fewer cores (taskset, a container's cpuset) starts no more workers.
std::size_t threads_of_this_process() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
    ++count;
  return count;
}

// However many workers are asked for, eight at most run: each holds an encoder and a block,
// and the cap is what bounds a run's memory beyond its input on a machine with many cores.
TEST(DeflateInBlocks, ManyThreadsAskedForAreEightWorkers) {
  const std::vector<std::byte> input = sample(64 * kBlock);
  // A sanitizer's own thread starts with the first other one: counted before, not as a worker.
  std::thread([] {}).join();
  const std::size_t before = threads_of_this_process();
  std::size_t most = 0;
  auto result = deflate_in_blocks(input, {.block_size = kBlock, .threads = 64},
                                  [&](std::span<const std::byte>) {
                                    most = std::max(most, threads_of_this_process());
                                    return std::expected<void, IoError>{};
                                  });
  ASSERT_TRUE(result.has_value()) << result.error().fixed;
  EXPECT_EQ(most, before + 8);
}

TEST(AvailableThreads, CountsTheCoresThisThreadMayRunOn) {
  cpu_set_t before;
  ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &before)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  const unsigned confined = available_threads();
  ASSERT_EQ(sched_setaffinity(0, sizeof before, &before), 0);
  EXPECT_EQ(confined, 1u);
}

// Priming each block with the input before it keeps matches across the cut: the blocks cost
// little more than one stream would.
TEST(DeflateInBlocks, PrimedBlocksCompressAlmostAsWellAsOneStream) {
  const std::vector<std::byte> input = sample(kBlock * 16);
  const Compressed blocks = compress(input, 2);
  const Compressed whole = [&] {
    Compressed out;
    auto result = deflate_in_blocks(input, {.block_size = input.size(), .threads = 1},
                                    [&](std::span<const std::byte> piece) {
                                      out.bytes.insert(out.bytes.end(), piece.begin(), piece.end());
                                      return std::expected<void, IoError>{};
                                    });
    EXPECT_TRUE(result.has_value());
    return out;
  }();
  EXPECT_LT(blocks.bytes.size(), whole.bytes.size() * 101 / 100);
}

TEST(DeflateInBlocks, AFailedSinkStopsTheRunAndNothingFollowsIt) {
  const std::vector<std::byte> input = sample(kBlock * 20);
  for (const std::size_t failing_call : {std::size_t{1}, std::size_t{2}, std::size_t{20}}) {
    for (const unsigned threads : {1u, 2u, 16u}) {
      SCOPED_TRACE(std::to_string(failing_call) + " " + std::to_string(threads));
      std::size_t calls = 0;
      auto result =
          deflate_in_blocks(input, {.block_size = kBlock, .threads = threads},
                            [&](std::span<const std::byte>) -> std::expected<void, IoError> {
                              if (++calls == failing_call)
                                return std::unexpected(IoError{.os_error = 28});
                              return {};
                            });
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().os_error, 28);
      EXPECT_EQ(calls, failing_call);
    }
  }
}

// A sink that runs out of memory (an output that grows in memory, say) ends the run as out of
// memory: the workers, some waiting for a slot the sink never frees, are stopped and joined.
TEST(DeflateInBlocks, ASinkOutOfMemoryStopsTheWaitingWorkers) {
  const std::vector<std::byte> input = sample(kBlock * 20);
  for (const unsigned threads : {1u, 2u}) {
    SCOPED_TRACE(threads);
    auto result = deflate_in_blocks(
        input, {.block_size = kBlock, .threads = threads},
        [](std::span<const std::byte>) -> std::expected<void, IoError> { throw std::bad_alloc(); });
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().fixed, "out of memory");
  }
}

}  // namespace
}  // namespace plugin_sign
