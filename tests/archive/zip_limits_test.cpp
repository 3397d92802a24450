#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <vector>

#include "archive/package_archive.hpp"
#include "archive/zip_records.hpp"
#include "archive/zip_test_support.hpp"
#include "archive/zip_writer.hpp"

namespace plugin_sign {
namespace {

using testing::as_bytes;
using testing::MemoryOutput;
using testing::noise;
using testing::parse_zip;
using testing::parsed;
using testing::sample_module;
using testing::ZipFile;

constexpr std::uint64_t kMarker32 = 0xFFFFFFFF;
constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

struct CompressedLimit {
  const char* name;
  std::size_t limited_entry;  // whose compressed size becomes the limit
  std::uint64_t slack;        // added to that size
  const char* message;        // empty: the archive is written
  const char* drop_report;
};

// With the limit at size + 1 the entry's size is the limit's marker value, as 0xFFFFFFFF is
// for the real limit of 2^32.
const CompressedLimit kCompressedLimits[] = {
    {"middle entry reaches the limit", 1, 0,
     "failed to add signature.sig to zip: i/o error: Large file option has not been set", ""},
    {"middle entry's size is the marker", 1, 1,
     "failed to add signature.sig to zip: i/o error: Large file option has not been set", ""},
    {"last entry reaches the limit", 2, 0,
     "failed to finalize zip: i/o error: Large file option has not been set",
     "ZipWriter drop failed: i/o error: Large file option has not been set"},
    {"last entry's size is the marker", 2, 1,
     "failed to finalize zip: i/o error: Large file option has not been set",
     "ZipWriter drop failed: i/o error: Large file option has not been set"},
    {"largest entry one byte below the marker", 2, 2, "", ""},
};

TEST(WriteArchive, CompressedEntryReachingTheMarkerFailsWhenCompleted) {
  const std::vector<std::byte> middle = noise(3000, 3);
  const std::vector<std::byte> last = noise(5000, 4);
  const ArchiveEntry entries[] = {{"plugin.toml", as_bytes(testing::kSampleToml)},
                                  {"main.wasm", middle},
                                  {"signature.sig", last}};
  MemoryOutput clean;
  ASSERT_TRUE(write_archive(clean, entries).has_value());
  const ZipFile sizes = parsed(clean);
  for (const CompressedLimit& c : kCompressedLimits) {
    SCOPED_TRACE(c.name);
    MemoryOutput output;
    const ZipLimits limits{.compressed = sizes.central[c.limited_entry].compressed_size + c.slack};
    auto result = write_archive(output, entries, limits);
    if (*c.message == '\0') {
      EXPECT_TRUE(result.has_value());
      EXPECT_TRUE(output.bytes() == clean.bytes());
      continue;
    }
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message, c.message);
    EXPECT_EQ(result.error().drop_report, c.drop_report);
  }
}

// The uncompressed size is refused from the marker value on, the limit less one, which
// stands for 0xFFFFFFFF under the real limit of 2^32.
TEST(WriteArchive, UncompressedEntryReachingTheMarkerFailsItsWrite) {
  constexpr std::uint64_t kLimit = 1000;
  struct Case {
    const char* name;
    std::size_t size;
    bool written;
  };
  const Case cases[] = {
      {"one byte below the marker", kLimit - 2, true},
      {"the marker", kLimit - 1, false},
      {"the limit", kLimit, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::byte> content = noise(c.size, 5);
    const ArchiveEntry entries[] = {{"plugin.toml", as_bytes(testing::kSampleToml)},
                                    {"main.wasm", content}};
    MemoryOutput output;
    auto result = write_archive(output, entries, ZipLimits{.uncompressed = kLimit});
    if (c.written) {
      EXPECT_TRUE(result.has_value());
      continue;
    }
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message,
              "failed to write main.wasm into zip: Large file option has not been set");
  }
}

// A span of `size` bytes that cannot be read: touching it would crash the test.
class UnreadableSpan {
 public:
  explicit UnreadableSpan(std::size_t size) : size_(size) {
    memory_ = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  }
  ~UnreadableSpan() {
    if (memory_ != MAP_FAILED) munmap(memory_, size_);
  }
  [[nodiscard]] bool ok() const { return memory_ != MAP_FAILED; }
  [[nodiscard]] std::span<const std::byte> bytes() const {
    return {static_cast<const std::byte*>(memory_), size_};
  }

 private:
  std::size_t size_;
  void* memory_;
};

// Under the real limit: 0xFFFFFFFF bytes would put the ZIP64 marker in a size field, and
// 4 GiB would not fit it.
TEST(ZipWriter, EntryOfTheMarkerSizeOrMoreIsRefusedWithoutReadingIt) {
  constexpr std::size_t kFourGiB = std::size_t{4} * kGiB;
  UnreadableSpan huge(kFourGiB);
  if (!huge.ok()) GTEST_SKIP() << "cannot reserve 4 GiB of address space";

  for (const std::size_t size : {std::size_t{kMarker32}, kFourGiB}) {
    SCOPED_TRACE(size);
    MemoryOutput output;
    ZipWriter writer(output);
    ASSERT_TRUE(writer.start_entry("main.wasm").has_value());
    ASSERT_TRUE(writer.write(as_bytes("abc")).has_value());
    auto refused = writer.write(huge.bytes().first(size - 3));
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(io_error_text(refused.error()), "Large file option has not been set");

    const ArchiveEntry entries[] = {{"plugin.toml", as_bytes(testing::kSampleToml)},
                                    {"main.wasm", huge.bytes().first(size)}};
    MemoryOutput package_output;
    auto result = write_archive(package_output, entries);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message,
              "failed to write main.wasm into zip: Large file option has not been set");
  }
}

struct Zip64Case {
  const char* name;
  // Where the archive starts: the directory's or an entry's offset at base 0 is subtracted
  // from `anchor`, so that this record lands exactly on it.
  std::uint64_t anchor;
  int anchored_record;  // 0..2: that entry's header; 3: the directory
  bool entries_with_zip64[3];
  bool zip64_end;
};

const Zip64Case kZip64Cases[] = {
    {"directory one byte below the marker", kMarker32 - 1, 3, {false, false, false}, false},
    {"directory exactly at the marker", kMarker32, 3, {false, false, false}, true},
    {"second header exactly at the marker", kMarker32, 1, {false, true, true}, true},
    {"second header one byte below", kMarker32 - 1, 1, {false, false, true}, true},
    {"whole archive beyond 5 GiB", 5 * kGiB, 0, {true, true, true}, true},
};

void expect_zip64_records(const ZipFile& zip, const Zip64Case& c) {
  std::uint64_t extras = 0;
  for (int i = 0; i < 3; ++i) {
    const auto& h = zip.central[i];
    SCOPED_TRACE(h.name);
    const bool zip64 = c.entries_with_zip64[i];
    EXPECT_EQ(h.version_needed, zip64 ? 45 : 20);
    EXPECT_EQ(h.version_made_by, zip64 ? 0x032D : 0x0314);
    EXPECT_EQ(h.extra_length, zip64 ? 12 : 0);
    EXPECT_EQ(h.offset_field, zip64 ? kMarker32 : zip.locals[i].offset);
    EXPECT_EQ(h.local_offset, zip.locals[i].offset);
    EXPECT_EQ(zip.locals[i].version_needed, 20);
    EXPECT_EQ(zip.locals[i].extra_length, 0);
    extras += zip64 ? 12 : 0;
  }
  EXPECT_EQ(zip.directory_size, 171 + extras);
  EXPECT_EQ(zip.end.directory_size, 171 + extras);
  EXPECT_EQ(zip.end.directory_offset, std::min(zip.directory_offset, kMarker32));
  EXPECT_EQ(zip.end.entries_total, 3);
  ASSERT_EQ(zip.zip64_end.has_value(), c.zip64_end);
  ASSERT_EQ(zip.locator.has_value(), c.zip64_end);
  if (!c.zip64_end) return;
  const auto& z = *zip.zip64_end;
  EXPECT_EQ(z.record_size, 44u);
  EXPECT_EQ(z.version_made_by, 0x032D);
  EXPECT_EQ(z.version_needed, 45);
  EXPECT_EQ(z.disk, 0u);
  EXPECT_EQ(z.directory_disk, 0u);
  EXPECT_EQ(z.entries_on_disk, 3u);
  EXPECT_EQ(z.entries_total, 3u);
  EXPECT_EQ(z.directory_size, 171 + extras);
  EXPECT_EQ(z.directory_offset, zip.directory_offset);
  EXPECT_EQ(z.offset, zip.directory_offset + zip.directory_size);
  EXPECT_EQ(zip.locator->zip64_end_disk, 0u);
  EXPECT_EQ(zip.locator->zip64_end_offset, z.offset);
  EXPECT_EQ(zip.locator->total_disks, 1u);
}

TEST(ZipWriter, OffsetsFromFourGibibytesOnGetZip64Records) {
  testing::SamplePackage package(sample_module(40'000));
  MemoryOutput at_zero;
  ASSERT_TRUE(write_archive(at_zero, package.entries).has_value());
  const ZipFile plain = parsed(at_zero);
  for (const Zip64Case& c : kZip64Cases) {
    SCOPED_TRACE(c.name);
    const std::uint64_t record =
        c.anchored_record == 3 ? plain.directory_offset : plain.locals[c.anchored_record].offset;
    const std::uint64_t base = c.anchor - record;
    MemoryOutput output(base);
    ASSERT_TRUE(write_archive(output, package.entries).has_value());
    auto zip = parse_zip(output.bytes(), base);
    ASSERT_TRUE(zip.has_value()) << zip.error();
    expect_zip64_records(*zip, c);
    for (int i = 0; i < 3; ++i) {
      auto inflated = testing::inflate_raw(zip->locals[i].data);
      ASSERT_TRUE(inflated.has_value()) << inflated.error();
      EXPECT_TRUE(std::ranges::equal(*inflated, package.entries[i].content));
    }
  }
}

// The end record holds the directory's offset and size in 32 bits and its entry count in 16,
// each only below its marker: from the marker on, any one of them needs the ZIP64 end record.
// A directory of 4 GiB cannot be built here; the rule is the same for all three.
TEST(NeedsZip64End, FromAnyValueAtItsMarkerOn) {
  constexpr std::uint64_t kBelow = kMarker32 - 1, kAbove = 5 * kGiB;
  const struct {
    const char* name;
    std::uint64_t offset, size, count;
    bool zip64_end;
  } cases[] = {
      {"all small", 0, 171, 3, false},
      {"offset one below the marker", kBelow, 171, 3, false},
      {"offset at the marker", kMarker32, 171, 3, true},
      {"offset above the marker", kAbove, 171, 3, true},
      {"size one below the marker", 0, kBelow, 3, false},
      {"size at the marker", 0, kMarker32, 3, true},
      {"size above the marker", 0, kAbove, 3, true},
      {"count one below its marker", 0, 171, 0xFFFE, false},
      {"count at its marker", 0, 171, 0xFFFF, true},
      {"count above its marker", 0, 171, 0x10000, true},
      {"every value one below its marker", kBelow, kBelow, 0xFFFE, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(needs_zip64_end(c.offset, c.size, c.count), c.zip64_end);
  }
}

// The end record's 16-bit entry count holds 65535 as the marker that sends a reader to the ZIP64
// end record: from that count on the ZIP64 records are written, below it they are not.
TEST(EncodeDirectory, EntryCountFromTheMarkerOnGetsZip64Records) {
  auto le = [](std::span<const std::byte> bytes, std::size_t at, int width) {
    std::uint64_t value = 0;
    for (int i = width; i-- > 0;)
      value = value << 8 | std::to_integer<std::uint64_t>(bytes[at + i]);
    return value;
  };
  for (const std::uint64_t count : {std::uint64_t{0xFFFE}, std::uint64_t{0xFFFF}}) {
    SCOPED_TRACE(count);
    const std::vector<ZipEntryRecord> records(count, ZipEntryRecord{.name = "x"});
    const std::vector<std::byte> bytes = encode_directory(records, 0);
    const std::uint64_t directory_size = count * (46 + 1);
    const bool zip64 = count == 0xFFFF;
    ASSERT_EQ(bytes.size(), directory_size + (zip64 ? 56 + 20 : 0) + 22);
    const auto end = std::span(bytes).last(22);
    EXPECT_EQ(le(end, 0, 4), 0x06054b50u);
    EXPECT_EQ(le(end, 10, 2), count);
    if (!zip64) continue;
    EXPECT_EQ(le(bytes, directory_size, 4), 0x06064b50u);
    EXPECT_EQ(le(bytes, directory_size + 32, 8), count);
    EXPECT_EQ(le(bytes, directory_size + 56, 4), 0x07064b50u);
  }
}

}  // namespace
}  // namespace plugin_sign
