// inflate_streaming and inflate_exact_streamed (archive/inflate.hpp): ISA-L's streaming
// inflate, which holds only its own state and the piece it writes into. libdeflate is as fast
// on real modules but needs the whole output at once, which is what content not yet signed
// must not get; zlib streams too, but at a third of ISA-L's speed on the long runs of a bomb
// (bench/RESULTS.md).
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stop_token>
#include <system_error>
#include <thread>

#include "archive/inflate.hpp"

namespace plugin_sign {
namespace {

std::unexpected<InflateError> fault(InflateFault fault, std::uint64_t count = 0) {
  return std::unexpected(InflateError{.fault = fault, .count = count});
}

// The inflater's state (about 86 KiB) from the heap: a host's thread may have a small stack,
// and running out of memory is a fault to report, not a crash. malloc rather than new, and
// inlined into each caller, so that the fault sweep can fail it by the caller's name.
struct StateDeleter {
  void operator()(inflate_state* state) const { std::free(state); }
};
using State = std::unique_ptr<inflate_state, StateDeleter>;

[[gnu::always_inline]] inline State new_state() {
  State state(static_cast<inflate_state*>(std::malloc(sizeof(inflate_state))));
  if (state) ::isal_inflate_init(state.get());  // a raw DEFLATE stream, 32 KiB of history
  return state;
}

// Runs the inflater over `input`, a piece at a time: `output.next()` says where the next
// piece goes, `output.take(piece)` gets it once written, before the next one is asked for.
// Never more than `size` bytes are taken. A stop request ends it between two pieces.
template <typename Output>
std::expected<void, InflateError> inflate_pieces(inflate_state& state,
                                                 std::span<const std::byte> input,
                                                 std::uint64_t size, Output& output,
                                                 std::stop_token stop = {}) {
  std::uint64_t produced = 0;
  std::size_t fed = 0;
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
    output.take(room.first(got));
    produced += got;
    if (result < 0) return fault(InflateFault::kInvalidData);
    if (state.block_state == ISAL_BLOCK_FINISH) break;
    // No progress: with all input given, a stream that goes on past its input.
    if (got == 0 && state.avail_in == available) return fault(InflateFault::kInvalidData);
    // Whoever asked for the bytes no longer wants them; what is returned then goes unread.
    if (stop.stop_requested()) return fault(InflateFault::kInvalidData);
  }
  if (produced != size) return fault(InflateFault::kOutputTooShort, produced);
  // ISA-L reads ahead into a bit buffer: its whole bytes were never part of the stream.
  const auto buffered = static_cast<std::uint64_t>(std::max(state.read_in_length, 0));
  const std::uint64_t consumed = fed - state.avail_in - buffered / 8;
  if (consumed != input.size()) return fault(InflateFault::kInputLeftOver, consumed);
  return {};
}

std::uint32_t crc32_of(std::uint32_t crc, std::span<const std::byte> bytes) {
  return ::crc32_gzip_refl(crc, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
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
  void take(std::span<const std::byte> piece) {
    crc_ = crc32_of(crc_, piece);
    sink_.take(piece);
  }
  [[nodiscard]] std::uint32_t crc32() const { return crc_; }

 private:
  InflateSink& sink_;
  std::unique_ptr<std::byte[]> window_;
  std::uint32_t crc_ = 0;
};

// Each piece where it belongs in the result, a window's size at a time, and then to
// `written`, while it is in the cache. Once the result is full, a few bytes of scratch show
// whether the stream holds more than expected; they go nowhere.
template <typename Written>
class BufferOutput {
 public:
  BufferOutput(ByteBuffer& buffer, Written written) : buffer_(buffer), written_(written) {}
  std::span<std::byte> next(std::uint64_t left) {
    if (left == 0) return scratch_;
    return buffer_.spare().first(
        static_cast<std::size_t>(std::min<std::uint64_t>(left, kInflateWindowSize)));
  }
  void take(std::span<const std::byte> piece) {
    if (piece.data() == scratch_) return;
    buffer_.commit(piece.size());
    written_(piece);
  }

 private:
  ByteBuffer& buffer_;
  Written written_;
  std::byte scratch_[16]{};
};

std::expected<ByteBuffer, InflateError> reserve_exactly(std::uint64_t size,
                                                        Prefault prefault = Prefault::kYes) {
  ByteBuffer buffer;
  if (size > SIZE_MAX || !buffer.reserve(static_cast<std::size_t>(size), prefault))
    return fault(InflateFault::kOutOfMemory);
  return buffer;
}

// Hands the count of bytes written from the inflater to the sink's thread, which reads only
// below the count it was given: the inflater never writes there again. Finished once the
// inflater wrote all it will; abandoned when what it wrote is not wanted.
class WrittenCount {
 public:
  // Wakes the sink's thread only once what it waits for is there: on a machine with no second
  // CPU free, each wake-up is a switch between the two threads, and their caches with it.
  void publish(std::uint64_t written) {
    bool wanted = false;
    {
      const std::lock_guard lock(mutex_);
      written_ = written;
      wanted = written_ >= wanted_;
    }
    if (wanted) changed_.notify_one();
  }
  void finish(bool complete) {
    {
      const std::lock_guard lock(mutex_);
      finished_ = true;
      abandoned_ = !complete;
    }
    changed_.notify_one();
  }
  struct Seen {
    std::uint64_t written = 0;
    bool finished = false;
    bool abandoned = false;
  };
  // What is written now, without waiting.
  Seen peek(std::stop_token stop) {
    const std::lock_guard lock(mutex_);
    return {.written = written_,
            .finished = finished_,
            .abandoned = abandoned_ || stop.stop_requested()};
  }
  // Waits until at least `wanted` bytes are written, the inflater finished, or `stop`.
  Seen wait_for(std::uint64_t wanted, std::stop_token stop) {
    std::unique_lock lock(mutex_);
    wanted_ = wanted;
    changed_.wait(lock, stop, [&] { return written_ >= wanted || finished_; });
    return {.written = written_,
            .finished = finished_,
            .abandoned = abandoned_ || stop.stop_requested()};
  }

 private:
  std::mutex mutex_;
  std::condition_variable_any changed_;
  std::uint64_t written_ = 0;
  std::uint64_t wanted_ = 0;
  bool finished_ = false;
  bool abandoned_ = false;
};

// What the sink's thread leaves: the CRC-32 of all it took, or the exception the sink threw.
struct Taken {
  std::uint32_t crc32 = 0;
  std::exception_ptr failure;
};

// Makes the whole pages within `bytes` resident and writable, as Prefault::kYes does for a
// buffer: the kernel zeroes them here rather than on the inflater's first write to each.
void populate(std::span<std::byte> bytes) {
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = (reinterpret_cast<std::uintptr_t>(bytes.data()) + page - 1) / page * page;
  const auto end = reinterpret_cast<std::uintptr_t>(bytes.data() + bytes.size()) / page * page;
  if (begin < end) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
}

// How far ahead of the inflater the sink's thread populates the result at a time: a huge page.
constexpr std::size_t kPopulateStep = std::size_t{2} << 20;

// How much the sink's thread takes at a time: a sixteenth of the content, so that it wakes
// about 16 times whatever the size, and is left with that much to take once the inflater is
// done; at least a piece.
std::uint64_t batch_for(std::uint64_t size) {
  return std::max<std::uint64_t>(size / 16, kInflateWindowSize);
}

// The sink's side, on a thread of its own: each batch of `content` written since the last, as
// soon as it is published, to the CRC-32 and the sink. With no batch to take, it populates
// the pages ahead of the inflater, which otherwise waits for the kernel at each first write.
// A sink that throws stops the inflater too; its exception goes to the caller's thread.
void take_on_own_thread(std::span<std::byte> content, WrittenCount& count, InflateSink& sink,
                        Taken& taken, std::stop_source& sink_failed, std::stop_token stop) {
  try {
    const std::uint64_t batch = batch_for(content.size());
    std::uint64_t consumed = 0;
    std::uint64_t populated = 0;
    for (;;) {
      const bool ahead = populated < content.size();
      const WrittenCount::Seen seen =
          ahead ? count.peek(stop) : count.wait_for(consumed + batch, stop);
      if (seen.abandoned) return;
      if (seen.written - consumed < batch && !seen.finished) {
        populated = std::max(populated, seen.written);
        const std::size_t step = std::min<std::uint64_t>(kPopulateStep, content.size() - populated);
        populate(content.subspan(static_cast<std::size_t>(populated), step));
        populated += step;
        continue;
      }
      const std::span<const std::byte> stretch = content.subspan(
          static_cast<std::size_t>(consumed), static_cast<std::size_t>(seen.written - consumed));
      taken.crc32 = crc32_of(taken.crc32, stretch);
      sink.take(stretch);
      consumed = seen.written;
      if (seen.finished) return;
    }
  } catch (...) {
    taken.failure = std::current_exception();
    sink_failed.request_stop();
  }
}

// Both sides on this thread: each piece to the sink as it is written.
std::expected<std::uint32_t, InflateError> inflate_then_take(inflate_state& state,
                                                             std::span<const std::byte> input,
                                                             std::uint64_t size, ByteBuffer& buffer,
                                                             InflateSink& sink) {
  std::uint32_t crc = 0;
  auto take = [&](std::span<const std::byte> piece) {
    crc = crc32_of(crc, piece);
    sink.take(piece);
  };
  BufferOutput output(buffer, take);
  if (auto inflated = inflate_pieces(state, input, size, output); !inflated)
    return std::unexpected(inflated.error());
  return crc;
}

// This thread inflates, never waiting for the sink, while a thread of its own takes what is
// written; only at the end does this one wait for the other to catch up. When the machine
// leaves no second CPU free, the two take turns and cost about what one thread would. With no
// thread to be had, this one does both. Never inlined: the fault sweep fails the inflater's
// allocation under this name.
[[gnu::noinline]] std::expected<std::uint32_t, InflateError> inflate_beside_take(
    std::span<const std::byte> input, std::uint64_t size, ByteBuffer& buffer, InflateSink& sink) {
  State state = new_state();
  if (!state) return fault(InflateFault::kOutOfMemory);
  const std::span<std::byte> content = buffer.spare().first(static_cast<std::size_t>(size));
  WrittenCount count;
  Taken taken;
  std::stop_source sink_failed;
  std::optional<std::jthread> taker;
  try {
    taker.emplace([&](std::stop_token stop) {
      take_on_own_thread(content, count, sink, taken, sink_failed, stop);
    });
  } catch (const std::system_error&) {
  } catch (const std::bad_alloc&) {
  }
  if (!taker) {
    populate(content);
    return inflate_then_take(*state, input, size, buffer, sink);
  }
  std::uint64_t written = 0;
  auto publish = [&](std::span<const std::byte> piece) { count.publish(written += piece.size()); };
  BufferOutput output(buffer, publish);
  const auto inflated = inflate_pieces(*state, input, size, output, sink_failed.get_token());
  count.finish(inflated.has_value());
  taker->join();
  if (taken.failure) std::rethrow_exception(taken.failure);
  if (!inflated) return std::unexpected(inflated.error());
  return taken.crc32;
}

}  // namespace

bool sink_thread_pays(std::uint64_t size) {
  if (size < kSinkThreadMinimum) return false;
  cpu_set_t usable;
  CPU_ZERO(&usable);
  return ::sched_getaffinity(0, sizeof usable, &usable) == 0 && CPU_COUNT(&usable) > 1;
}

std::expected<std::uint32_t, InflateError> inflate_streaming(std::span<const std::byte> input,
                                                             std::uint64_t size,
                                                             InflateSink& sink) {
  State state = new_state();
  WindowOutput output(sink);
  if (!state || !output.allocate()) return fault(InflateFault::kOutOfMemory);
  if (auto inflated = inflate_pieces(*state, input, size, output); !inflated)
    return std::unexpected(inflated.error());
  return output.crc32();
}

std::expected<InflatedContent, InflateError> inflate_exact_streamed(
    std::span<const std::byte> input, std::uint64_t size) {
  State state = new_state();
  if (!state) return fault(InflateFault::kOutOfMemory);
  auto buffer = reserve_exactly(size);
  if (!buffer) return std::unexpected(buffer.error());
  std::uint32_t crc = 0;
  auto checksum = [&](std::span<const std::byte> piece) { crc = crc32_of(crc, piece); };
  BufferOutput output(*buffer, checksum);
  if (auto inflated = inflate_pieces(*state, input, size, output); !inflated)
    return std::unexpected(inflated.error());
  return InflatedContent{.bytes = std::move(*buffer), .crc32 = crc};
}

std::expected<InflatedContent, InflateError> inflate_exact_streamed(
    std::span<const std::byte> input, std::uint64_t size, InflateSink& sink, SinkThread where) {
  // The sink's own thread populates the result as the inflater goes.
  auto buffer = reserve_exactly(size, where == SinkThread::kOwn ? Prefault::kNo : Prefault::kYes);
  if (!buffer) return std::unexpected(buffer.error());
  std::expected<std::uint32_t, InflateError> crc;
  if (where == SinkThread::kOwn) {
    crc = inflate_beside_take(input, size, *buffer, sink);
  } else {
    State state = new_state();
    if (!state) return fault(InflateFault::kOutOfMemory);
    crc = inflate_then_take(*state, input, size, *buffer, sink);
  }
  if (!crc) return std::unexpected(crc.error());
  return InflatedContent{.bytes = std::move(*buffer), .crc32 = *crc};
}

}  // namespace plugin_sign
