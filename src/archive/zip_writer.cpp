#include "archive/zip_writer.hpp"

#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <climits>

namespace plugin_sign {
namespace {

// Output buffer of the encoder: each full buffer is one write to the output.
constexpr std::size_t kOutputBufferSize = 256 * 1024;
// Input handed to crc32 and deflate per call: large enough that the call overhead vanishes,
// small enough that the slice is still in cache when deflate reads it after crc32.
constexpr std::size_t kInputSlice = 1024 * 1024;
static_assert(kInputSlice <= UINT_MAX && kOutputBufferSize <= UINT_MAX);

constexpr int kLevel = 6;
constexpr int kRawWindowBits = -15;  // negative: raw DEFLATE, no zlib wrapper
constexpr int kMemLevel = 8;

IoError fixed_error(const char* text) {
  return IoError{.os_error = 0, .fixed = text};
}

// The first size that a field of `limit` values cannot hold: its top value is the ZIP64
// marker, which a reader would take for "see the ZIP64 record" and misread the entry.
std::uint64_t first_unfit_size(std::uint64_t limit) {
  return limit - 1;
}

IoError large_file_error() {
  return fixed_error("Large file option has not been set");
}

}  // namespace

// One raw DEFLATE encoder with its output buffer, reused from entry to entry. The z_stream
// stays at one address for its whole life, as zlib requires.
class Deflater {
 public:
  Deflater() : output_(new std::byte[kOutputBufferSize]) {}
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  ~Deflater() {
    if (initialised_) deflateEnd(&stream_);
  }

  /// Prepares a fresh stream for a new entry; false when zlib lacks memory.
  [[nodiscard]] bool start() {
    reset_output();
    if (initialised_) return deflateReset(&stream_) == Z_OK;
    initialised_ = deflateInit2(&stream_, kLevel, Z_DEFLATED, kRawWindowBits, kMemLevel,
                                Z_DEFAULT_STRATEGY) == Z_OK;
    return initialised_;
  }

  /// Compresses `input` (at most `kInputSlice` bytes); with `last`, ends the stream. Each
  /// full output buffer, and at the end the rest, goes to `sink`.
  template <typename Sink>
  std::expected<void, IoError> run(std::span<const std::byte> input, bool last, Sink&& sink) {
    stream_.next_in = reinterpret_cast<const Bytef*>(input.data());
    stream_.avail_in = static_cast<uInt>(input.size());
    for (;;) {
      const int status = deflate(&stream_, last ? Z_FINISH : Z_NO_FLUSH);
      if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
        return std::unexpected(fixed_error("deflate stream error"));
      if (stream_.avail_out == 0) {
        auto sent = sink(pending());
        if (!sent) return sent;
        reset_output();
        continue;
      }
      // Room left in the buffer means the encoder has taken all input (or ended the stream).
      if (!last || status == Z_STREAM_END) break;
    }
    if (!last) return {};
    auto sent = sink(pending());
    reset_output();
    return sent;
  }

 private:
  std::span<const std::byte> pending() const {
    return {output_.get(), kOutputBufferSize - stream_.avail_out};
  }
  void reset_output() {
    stream_.next_out = reinterpret_cast<Bytef*>(output_.get());
    stream_.avail_out = static_cast<uInt>(kOutputBufferSize);
  }

  z_stream stream_{};
  bool initialised_ = false;
  std::unique_ptr<std::byte[]> output_;
};

ZipWriter::ZipWriter(ArchiveOutput& output, ZipLimits limits) : output_(output), limits_(limits) {}

ZipWriter::~ZipWriter() = default;

std::expected<void, IoError> ZipWriter::start_entry(std::string_view name) {
  if (broken_) return std::unexpected(*broken_);
  if (phase_ != Phase::kNoEntry && phase_ != Phase::kEntryOpen)
    return std::unexpected(fixed_error("zip archive is already being finished"));
  // A failure from here on leaves a half-written entry: no later call can repair it.
  auto failed = [this](IoError error) {
    broken_ = error;
    return std::unexpected(std::move(error));
  };
  if (phase_ == Phase::kEntryOpen) {
    if (auto flushed = flush_entry(); !flushed) return failed(flushed.error());
    if (auto completed = complete_header(); !completed) return failed(completed.error());
  }
  if (!deflater_) deflater_ = std::make_unique<Deflater>();
  if (!deflater_->start()) return failed(fixed_error("out of memory"));
  auto offset = output_.position();
  if (!offset) return failed(offset.error());
  if (auto written = output_.write(encode_local_header(name)); !written)
    return failed(written.error());
  entries_.push_back(ZipEntryRecord{.name = std::string(name), .header_offset = *offset});
  end_of_data_ = *offset + kLocalHeaderSize + name.size();
  phase_ = Phase::kEntryOpen;
  return {};
}

std::expected<void, IoError> ZipWriter::write(std::span<const std::byte> bytes) {
  if (broken_) return std::unexpected(*broken_);
  if (phase_ != Phase::kEntryOpen)
    return std::unexpected(fixed_error("no zip entry is open for writing"));
  if (bytes.size() >= first_unfit_size(limits_.uncompressed) - entries_.back().uncompressed_size)
    return std::unexpected(large_file_error());
  while (!bytes.empty()) {
    const std::size_t take = std::min(bytes.size(), kInputSlice);
    if (auto done = compress(bytes.first(take), false); !done) return done;
    bytes = bytes.subspan(take);
  }
  return {};
}

std::expected<void, IoError> ZipWriter::finish() {
  if (broken_) return std::unexpected(*broken_);
  if (phase_ == Phase::kEntryOpen) {
    if (auto flushed = flush_entry(); !flushed) return flushed;
  }
  if (phase_ == Phase::kCompleteHeader) {
    if (auto completed = complete_header(); !completed) return completed;
  }
  if (phase_ == Phase::kNoEntry) {
    if (auto written = write_directory(); !written) return written;
  }
  return {};
}

bool ZipWriter::can_retry_finish() const {
  return !broken_ && phase_ != Phase::kFinished;
}

std::expected<void, IoError> ZipWriter::compress(std::span<const std::byte> bytes, bool last) {
  ZipEntryRecord& entry = entries_.back();
  if (!bytes.empty()) {
    entry.crc32 = static_cast<std::uint32_t>(
        crc32_z(entry.crc32, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
    entry.uncompressed_size += bytes.size();
  }
  auto done = deflater_->run(
      bytes, last, [this](std::span<const std::byte> piece) { return write_compressed(piece); });
  if (!done) broken_ = done.error();
  return done;
}

std::expected<void, IoError> ZipWriter::write_compressed(std::span<const std::byte> bytes) {
  if (bytes.empty()) return {};
  if (auto written = output_.write(bytes); !written) return written;
  entries_.back().compressed_size += bytes.size();
  end_of_data_ += bytes.size();
  return {};
}

// The rest of the open entry's DEFLATE stream reaches the output. A failure here loses
// compressed data that cannot be produced again, so it breaks the writer for good.
std::expected<void, IoError> ZipWriter::flush_entry() {
  if (auto done = compress({}, true); !done) return done;
  phase_ = Phase::kCompleteHeader;
  return {};
}

// Patches CRC-32 and sizes into the last entry's local header and returns to the end of its
// data. Repeatable: each attempt redoes all three steps.
std::expected<void, IoError> ZipWriter::complete_header() {
  const ZipEntryRecord& entry = entries_.back();
  if (entry.compressed_size >= first_unfit_size(limits_.compressed))
    return std::unexpected(large_file_error());
  if (auto moved = output_.seek(entry.header_offset + kLocalHeaderSizesOffset); !moved)
    return moved;
  if (auto written = output_.write(encode_local_sizes(entry)); !written) return written;
  if (auto moved = output_.seek(end_of_data_); !moved) return moved;
  phase_ = Phase::kNoEntry;
  return {};
}

// Writes the central directory and the end records in one piece. A repeated attempt first
// goes back to where the directory starts, over whatever the failed one left.
std::expected<void, IoError> ZipWriter::write_directory() {
  if (!directory_offset_) {
    if (entries_.empty()) {
      auto at = output_.position();
      if (!at) return std::unexpected(at.error());
      directory_offset_ = *at;
    } else {
      directory_offset_ = end_of_data_;
    }
  } else if (auto moved = output_.seek(*directory_offset_); !moved) {
    return moved;
  }
  if (auto written = output_.write(encode_directory(entries_, *directory_offset_)); !written)
    return written;
  phase_ = Phase::kFinished;
  return {};
}

}  // namespace plugin_sign
