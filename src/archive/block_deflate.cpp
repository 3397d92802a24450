#include "archive/block_deflate.hpp"

#define ZLIB_CONST
#include <sched.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace plugin_sign {
namespace {

constexpr int kLevel = 6;
constexpr int kRawWindowBits = -15;  // negative: raw DEFLATE, no zlib wrapper
constexpr int kMemLevel = 8;
// What a block's encoder is primed with: the whole reach of a DEFLATE match.
constexpr std::size_t kDictionarySize = 32 * 1024;
// Each worker holds an encoder (about 256 KiB at level 6, whatever the block size) and each
// output slot one compressed block; there is one slot more than workers, so that a worker can
// go on while the sink takes a block. Capping the workers bounds the memory a run needs beyond
// its input, whatever the number of cores: with 256 KiB blocks, about 4.5 MiB.
constexpr std::size_t kMaxWorkers = 8;

IoError out_of_memory() {
  return IoError{.os_error = 0, .fixed = "out of memory"};
}

struct FreeBytes {
  void operator()(std::byte* bytes) const { std::free(bytes); }
};

// One block's compressed bytes and CRC-32. A worker fills it; the calling thread empties it.
struct BlockOutput {
  std::unique_ptr<std::byte, FreeBytes> data;
  std::size_t capacity = 0;
  std::size_t size = 0;
  std::uint32_t crc32 = 0;
  bool ready = false;
};

// Grows `out` to `capacity`, keeping its bytes; false when memory cannot be had. Out of line,
// so that the fault-injection tests find the workers' allocations by this name.
[[gnu::noinline]] bool reserve_block_output(BlockOutput& out, std::size_t capacity) {
  if (capacity <= out.capacity) return true;
  void* grown = std::realloc(out.data.get(), capacity);
  if (grown == nullptr) return false;
  (void)out.data.release();
  out.data.reset(static_cast<std::byte*>(grown));
  out.capacity = capacity;
  return true;
}

// One encoder per worker, reset from block to block. The z_stream stays at one address for its
// whole life, as zlib requires.
class BlockEncoder {
 public:
  BlockEncoder() = default;
  BlockEncoder(const BlockEncoder&) = delete;
  BlockEncoder& operator=(const BlockEncoder&) = delete;
  ~BlockEncoder() {
    if (initialised_) deflateEnd(&stream_);
  }

  // Compresses `block` after `dictionary` into `out`; false when memory runs out.
  bool compress(std::span<const std::byte> dictionary, std::span<const std::byte> block, bool last,
                BlockOutput& out) {
    if (!start()) return false;
    if (!dictionary.empty() &&
        deflateSetDictionary(&stream_, reinterpret_cast<const Bytef*>(dictionary.data()),
                             static_cast<uInt>(dictionary.size())) != Z_OK)
      return false;
    // Room for the block whole, and for the marker a flush adds, so one call usually does it.
    if (!reserve_block_output(out, deflateBound(&stream_, block.size()) + 16)) return false;
    stream_.next_in = reinterpret_cast<const Bytef*>(block.data());
    stream_.avail_in = static_cast<uInt>(block.size());
    out.size = 0;
    for (;;) {
      stream_.next_out = reinterpret_cast<Bytef*>(out.data.get() + out.size);
      stream_.avail_out = static_cast<uInt>(out.capacity - out.size);
      // A sync flush ends the block on a byte boundary without ending the stream, so that the
      // next block's bytes follow directly.
      const int status = deflate(&stream_, last ? Z_FINISH : Z_SYNC_FLUSH);
      out.size = out.capacity - stream_.avail_out;
      if (status == Z_STREAM_ERROR) return false;
      if (stream_.avail_out != 0 && (!last || status == Z_STREAM_END)) break;
      if (!reserve_block_output(out, out.capacity * 2)) return false;
    }
    out.crc32 = static_cast<std::uint32_t>(
        crc32_z(0, reinterpret_cast<const Bytef*>(block.data()), block.size()));
    return true;
  }

 private:
  bool start() {
    if (initialised_) return deflateReset(&stream_) == Z_OK;
    initialised_ = deflateInit2(&stream_, kLevel, Z_DEFLATED, kRawWindowBits, kMemLevel,
                                Z_DEFAULT_STRATEGY) == Z_OK;
    return initialised_;
  }

  z_stream stream_{};
  bool initialised_ = false;
};

// The blocks of one entry, handed out to workers in order and back to the calling thread in
// the same order. Block i uses output slot i % slots; a worker takes it only once the block
// that used the slot before has reached the sink.
class BlockPipeline {
 public:
  BlockPipeline(std::span<const std::byte> input, std::size_t block_size, std::size_t slots)
      : input_(input),
        block_size_(block_size),
        blocks_(std::max<std::size_t>(1, (input.size() + block_size - 1) / block_size)),
        outputs_(slots) {}

  // A worker's life: take the next block that has a free slot, compress it, mark it ready.
  void work() {
    BlockEncoder encoder;
    for (;;) {
      std::size_t block = 0;
      {
        std::unique_lock lock(mutex_);
        slot_freed_.wait(lock, [&] {
          return stopped_ || next_ >= blocks_ || next_ < written_ + outputs_.size();
        });
        if (stopped_ || next_ >= blocks_) return;
        block = next_++;
      }
      BlockOutput& out = outputs_[block % outputs_.size()];
      const bool compressed =
          encoder.compress(dictionary(block), input_block(block), block + 1 == blocks_, out);
      {
        std::lock_guard lock(mutex_);
        if (compressed) {
          out.ready = true;
        } else {
          stop(out_of_memory());
        }
      }
      block_ready_.notify_all();
    }
  }

  // The calling thread's part: each block's output to the sink, in order.
  std::expected<BlockDeflateResult, IoError> drain(const CompressedSink& sink) {
    BlockDeflateResult result;
    for (std::size_t block = 0; block < blocks_; ++block) {
      BlockOutput& out = outputs_[block % outputs_.size()];
      {
        std::unique_lock lock(mutex_);
        block_ready_.wait(lock, [&] { return stopped_ || out.ready; });
        if (stopped_) return std::unexpected(*failure_);
      }
      if (auto sent = sink({out.data.get(), out.size}); !sent) {
        stop_and_wake(sent.error());
        return std::unexpected(sent.error());
      }
      result.crc32 = static_cast<std::uint32_t>(
          crc32_combine(result.crc32, out.crc32, static_cast<z_off_t>(input_block(block).size())));
      result.compressed_size += out.size;
      {
        std::lock_guard lock(mutex_);
        out.ready = false;
        ++written_;
      }
      slot_freed_.notify_all();
    }
    return result;
  }

  // Ends every worker's loop; the first failure is the one reported.
  void stop_and_wake(const IoError& error) {
    {
      std::lock_guard lock(mutex_);
      stop(error);
    }
    slot_freed_.notify_all();
    block_ready_.notify_all();
  }

 private:
  void stop(const IoError& error) {
    if (!failure_) failure_ = error;
    stopped_ = true;
  }

  std::span<const std::byte> input_block(std::size_t block) const {
    const std::size_t start = block * block_size_;
    return input_.subspan(start, std::min(block_size_, input_.size() - start));
  }

  std::span<const std::byte> dictionary(std::size_t block) const {
    const std::size_t start = block * block_size_;
    const std::size_t length = std::min(start, kDictionarySize);
    return input_.subspan(start - length, length);
  }

  std::span<const std::byte> input_;
  std::size_t block_size_;
  std::size_t blocks_;
  std::vector<BlockOutput> outputs_;
  std::mutex mutex_;
  std::condition_variable slot_freed_;
  std::condition_variable block_ready_;
  std::size_t next_ = 0;     // the next block a worker takes
  std::size_t written_ = 0;  // blocks that reached the sink
  bool stopped_ = false;
  std::optional<IoError> failure_;
};

// Workers that stop and are joined on every path out of the run.
class Workers {
 public:
  explicit Workers(BlockPipeline& pipeline) : pipeline_(pipeline) {}
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
  ~Workers() {
    pipeline_.stop_and_wake(IoError{.os_error = 0, .fixed = "stopped"});
    for (std::thread& thread : threads_) thread.join();
  }

  // Starts up to `count` workers; the number started, which may be fewer when the system
  // refuses a thread.
  std::size_t start(std::size_t count) {
    try {
      threads_.reserve(count);
      while (threads_.size() < count) threads_.emplace_back([this] { pipeline_.work(); });
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    return threads_.size();
  }

 private:
  BlockPipeline& pipeline_;
  std::vector<std::thread> threads_;
};

}  // namespace

unsigned available_threads() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

std::expected<BlockDeflateResult, IoError> deflate_in_blocks(std::span<const std::byte> input,
                                                             const BlockDeflateOptions& options,
                                                             const CompressedSink& sink) {
  const std::size_t block_size = std::clamp<std::size_t>(options.block_size, 1, UINT_MAX / 2);
  const std::size_t threads = std::clamp<std::size_t>(options.threads, 1, kMaxWorkers);
  try {
    BlockPipeline pipeline(input, block_size, threads + 1);
    Workers workers(pipeline);
    if (workers.start(threads) == 0) return std::unexpected(out_of_memory());
    return pipeline.drain(sink);
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

}  // namespace plugin_sign
