// zip_test_support.hpp — an in-memory archive output with injected faults, and an
// independent reader of the ZIP records the writer produces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "archive/package_archive.hpp"

namespace plugin_sign::testing {

/// The three kinds of operation an `ArchiveOutput` offers.
enum class Op { kWrite, kPosition, kSeek };

/// Fails the `nth` call (from 1) of `op` and the `times - 1` calls of it after that, with
/// error number `error`; a failing write stores the first half of its bytes first. A negative
/// `nth` counts from the last call of a fault-free run.
struct Fault {
  Op op = Op::kWrite;
  int nth = 1;
  int times = 1;
  int error = 28;  // ENOSPC
};

/// Bytes in memory as if they sat at file offset `base` and on; positions count from 0 as in
/// a file, so a base near 4 GiB fakes a large archive without writing one.
class MemoryOutput final : public ArchiveOutput {
 public:
  explicit MemoryOutput(std::uint64_t base = 0, std::optional<Fault> fault = std::nullopt)
      : base_(base), position_(base), fault_(fault) {}

  [[nodiscard]] std::expected<void, IoError> write(std::span<const std::byte> bytes) override;
  [[nodiscard]] std::expected<std::uint64_t, IoError> position() override;
  [[nodiscard]] std::expected<void, IoError> seek(std::uint64_t offset) override;

  /// Everything written, from offset `base` on.
  [[nodiscard]] const std::vector<std::byte>& bytes() const { return bytes_; }
  /// Size of every successful write, in order.
  [[nodiscard]] const std::vector<std::size_t>& write_sizes() const { return write_sizes_; }
  /// How many calls of `op` were made so far, failed ones included.
  [[nodiscard]] int calls(Op op) const { return calls_[static_cast<int>(op)]; }
  /// Calls of any kind made after the first failed one.
  [[nodiscard]] int calls_after_first_failure() const {
    return first_failure_ ? total_calls_ - *first_failure_ : 0;
  }

 private:
  [[nodiscard]] bool should_fail(Op op);
  void store(std::span<const std::byte> bytes);

  std::uint64_t base_;
  std::uint64_t position_;
  std::optional<Fault> fault_;
  std::vector<std::byte> bytes_;
  std::vector<std::size_t> write_sizes_;
  int calls_[3] = {};
  int total_calls_ = 0;
  std::optional<int> first_failure_;
};

struct LocalHeader {
  std::uint64_t offset = 0;
  std::uint32_t signature = 0;
  std::uint16_t version_needed = 0, flags = 0, method = 0, time = 0, date = 0;
  std::uint32_t crc32 = 0, compressed_size = 0, uncompressed_size = 0;
  std::uint16_t name_length = 0, extra_length = 0;
  std::string name;
  std::span<const std::byte> data;  // the compressed data, sized by the central header
};

struct CentralHeader {
  std::uint16_t version_made_by = 0, version_needed = 0, flags = 0, method = 0, time = 0, date = 0;
  std::uint32_t crc32 = 0, compressed_size = 0, uncompressed_size = 0;
  std::uint16_t name_length = 0, extra_length = 0, comment_length = 0, disk_start = 0,
                internal_attributes = 0;
  std::uint32_t external_attributes = 0, offset_field = 0;
  std::string name;
  std::vector<std::byte> extra;
  std::uint64_t local_offset = 0;  // from the ZIP64 extra field when the field is marked
};

struct EndRecord {
  std::uint64_t offset = 0;
  std::uint16_t disk = 0, directory_disk = 0, entries_on_disk = 0, entries_total = 0;
  std::uint32_t directory_size = 0, directory_offset = 0;
  std::uint16_t comment_length = 0;
};

struct Zip64EndRecord {
  std::uint64_t offset = 0, record_size = 0;
  std::uint16_t version_made_by = 0, version_needed = 0;
  std::uint32_t disk = 0, directory_disk = 0;
  std::uint64_t entries_on_disk = 0, entries_total = 0, directory_size = 0, directory_offset = 0;
};

struct Zip64Locator {
  std::uint32_t zip64_end_disk = 0;
  std::uint64_t zip64_end_offset = 0;
  std::uint32_t total_disks = 0;
};

struct ZipFile {
  std::vector<LocalHeader> locals;
  std::vector<CentralHeader> central;
  EndRecord end;
  std::optional<Zip64EndRecord> zip64_end;
  std::optional<Zip64Locator> locator;
  std::uint64_t directory_offset = 0, directory_size = 0;
};

/// Reads the records of `file`, whose first byte sits at offset `base`, from the end record
/// back. Fails with a description when a signature, an offset or the layout does not fit:
/// local entries back to back from `base`, the directory right after them, the end records
/// right after the directory.
[[nodiscard]] std::expected<ZipFile, std::string> parse_zip(std::span<const std::byte> file,
                                                            std::uint64_t base = 0);

/// Inflates one raw DEFLATE stream, which must end exactly at the end of `data`.
[[nodiscard]] std::expected<std::vector<std::byte>, std::string> inflate_raw(
    std::span<const std::byte> data);

/// zlib's CRC-32 of `data`.
[[nodiscard]] std::uint32_t crc32_of(std::span<const std::byte> data);

/// The bytes of `text`.
[[nodiscard]] std::span<const std::byte> as_bytes(std::string_view text);

/// `size` bytes from a fixed-seed generator: incompressible, the same in every run.
[[nodiscard]] std::vector<std::byte> noise(std::size_t size, std::uint32_t seed = 1);

inline constexpr std::string_view kSampleToml = "[package]\nname = \"demo\"\nversion = \"1.2.0\"\n";
inline constexpr std::string_view kSampleSignature =
    "q83vEjRWeJCrze8SNFZ4kKvN7xI0VniQq83vEjRWeJCrze8SNFZ4kKvN7xI0VniQq83vEjRWeJCrze8SNFZ4kA==";

/// `size` bytes like a module: runs that compress well, with noise between them.
[[nodiscard]] std::vector<std::byte> sample_module(std::size_t size);

/// The three package entries, in order, over a module held here.
struct SamplePackage {
  explicit SamplePackage(std::vector<std::byte> wasm);
  SamplePackage(const SamplePackage&) = delete;
  SamplePackage& operator=(const SamplePackage&) = delete;

  std::vector<std::byte> module;
  std::vector<ArchiveEntry> entries;
};

/// The sum of the entries' compressed sizes.
[[nodiscard]] std::uint64_t compressed_total(const ZipFile& zip);

/// Checks every field the writer fixes, for an archive of `entries` below 4 GiB, and that
/// each entry inflates to its content.
void expect_package_records(const ZipFile& zip, std::span<const ArchiveEntry> entries);

/// The records of `output`; a parse failure fails the test and gives an empty result.
[[nodiscard]] ZipFile parsed(const MemoryOutput& output, std::uint64_t base = 0);

}  // namespace plugin_sign::testing
