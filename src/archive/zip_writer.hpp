// zip_writer.hpp — a ZIP written in place into any positionable output, DEFLATE on zlib.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "archive/zip_records.hpp"
#include "io/io_error.hpp"

namespace plugin_sign {

/// Where an archive goes: bytes written at a current position that can be read and moved.
class ArchiveOutput {
 public:
  virtual ~ArchiveOutput() = default;
  /// Writes all of `bytes` at the current position and advances it past them.
  [[nodiscard]] virtual std::expected<void, IoError> write(std::span<const std::byte> bytes) = 0;
  /// The current position, counted from the start of the output.
  [[nodiscard]] virtual std::expected<std::uint64_t, IoError> position() = 0;
  /// Moves the current position to `offset`.
  [[nodiscard]] virtual std::expected<void, IoError> seek(std::uint64_t offset) = 0;
};

/// What the size fields of an entry hold without ZIP64 sizes ("large file" off): values below
/// the limit, of which the top one, limit - 1, is the marker that sends a reader to a ZIP64
/// record (0xFFFFFFFF for the 32-bit fields). An entry may therefore have at most limit - 2
/// bytes. Tests may lower the limits, to no less than 2; they must never exceed 2^32.
struct ZipLimits {
  /// For the uncompressed bytes of one entry.
  std::uint64_t uncompressed = std::uint64_t{1} << 32;
  /// For the compressed bytes of one entry; checked when the entry is completed.
  std::uint64_t compressed = std::uint64_t{1} << 32;
};

class Deflater;

/// Writes a ZIP into an `ArchiveOutput`, each entry a raw DEFLATE stream (level 6), every
/// local header completed in place by seeking back to it. Compressed data goes out through
/// a fixed-size buffer as the encoder produces it. The output must outlive the writer.
/// Every failure is an IoError: the output's, or a fixed text such as "Large file option has
/// not been set". After a failed `start_entry` or a failed output write, every later call
/// fails with that error again. Destroying the writer writes nothing.
class ZipWriter {
 public:
  explicit ZipWriter(ArchiveOutput& output, ZipLimits limits = {});
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;
  ~ZipWriter();

  /// Completes the open entry, then writes the local header of `name` at the current
  /// position (CRC-32 and sizes zero until completed).
  [[nodiscard]] std::expected<void, IoError> start_entry(std::string_view name);
  /// Compresses `bytes` into the open entry. Fails with "Large file option has not been set",
  /// reading nothing, when the entry's uncompressed size would reach the marker value.
  [[nodiscard]] std::expected<void, IoError> write(std::span<const std::byte> bytes);
  /// Completes the open entry, then writes the central directory (with ZIP64 records where an
  /// offset no longer fits 32 bits) and the end record.
  [[nodiscard]] std::expected<void, IoError> finish();
  /// After a failed `finish`: whether calling it again would redo what is left. False when
  /// the failure came while the last entry's compressed data was being flushed.
  [[nodiscard]] bool can_retry_finish() const;

 private:
  enum class Phase { kNoEntry, kEntryOpen, kCompleteHeader, kFinished };

  std::expected<void, IoError> compress(std::span<const std::byte> bytes, bool last);
  std::expected<void, IoError> write_compressed(std::span<const std::byte> bytes);
  std::expected<void, IoError> flush_entry();
  std::expected<void, IoError> complete_header();
  std::expected<void, IoError> write_directory();

  ArchiveOutput& output_;
  ZipLimits limits_;
  std::unique_ptr<Deflater> deflater_;
  Phase phase_ = Phase::kNoEntry;
  std::vector<ZipEntryRecord> entries_;
  // Where the last entry's data ends so far: the return point after patching its header.
  std::uint64_t end_of_data_ = 0;
  // Set once the directory's place is known; a repeated finish seeks back to it.
  std::optional<std::uint64_t> directory_offset_;
  // A failure after which the entry data on the output is incomplete; every later call
  // reports it again.
  std::optional<IoError> broken_;
};

}  // namespace plugin_sign
