#include "archive/zip_reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "archive/package_builder.hpp"
#include "archive/zip_layout_check.hpp"
#include "archive/zip_test_support.hpp"
#include "support/address_space.hpp"
#include "support/guard_page.hpp"

namespace plugin_sign {
namespace {

using testing::as_bytes;
using testing::default_size_limits;
using testing::MemoryOutput;
using testing::RawEntry;

std::vector<std::byte> written(std::span<const ArchiveEntry> entries) {
  MemoryOutput output;
  EXPECT_TRUE(write_archive(output, entries).has_value());
  return output.bytes();
}

bool same(std::span<const std::byte> a, std::span<const std::byte> b) {
  return std::ranges::equal(a, b);
}

TEST(ReadPackageArchive, RefusesEveryHostileArchiveForItsOwnReason) {
  for (const testing::HostileArchive& row : testing::hostile_archives()) {
    SCOPED_TRACE(row.name);
    auto read = read_package_archive(row.bytes, default_size_limits());
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(row.message, read.error().message);
    EXPECT_EQ(row.kind, read.error().kind);
  }
}

// A package is read from a mapping that may end at a page's end: each hostile archive is placed
// flush against a page that cannot be read, so that a read past its last byte crashes here.
TEST(ReadPackageArchive, ReadsNothingPastTheArchivesLastByte) {
  for (const testing::HostileArchive& row : testing::hostile_archives()) {
    SCOPED_TRACE(row.name);
    const testing::GuardedBytes guarded(
        std::string_view(reinterpret_cast<const char*>(row.bytes.data()), row.bytes.size()));
    auto read =
        read_package_archive(std::as_bytes(std::span(guarded.view())), default_size_limits());
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(row.message, read.error().message);
  }
}

struct ModuleCase {
  const char* name;
  std::vector<std::byte> module;
};

TEST(ReadPackageArchive, GivesBackWhatTheWriterWrote) {
  const ModuleCase cases[] = {
      {"empty module", {}},
      {"one byte", {std::byte{0x42}}},
      {"incompressible", testing::noise(70'000)},
      {"module-like", testing::sample_module(300'000)},
      {"several DEFLATE blocks", testing::sample_module(3'000'000)},
  };
  for (const ModuleCase& c : cases) {
    SCOPED_TRACE(c.name);
    testing::SamplePackage package(c.module);
    auto read = read_package_archive(written(package.entries), default_size_limits());
    ASSERT_TRUE(read.has_value()) << read.error().message;
    EXPECT_TRUE(same(read->plugin_toml.bytes(), as_bytes(testing::kSampleToml)));
    EXPECT_TRUE(same(read->main_wasm.bytes(), c.module));
    EXPECT_TRUE(same(read->signature.bytes(), as_bytes(testing::kSampleSignature)));
  }
}

// The hostile table is only as good as its starting point: the builder must put together
// exactly the bytes the writer writes.
TEST(ReadPackageArchive, BuilderMakesTheWritersBytes) {
  const std::vector<RawEntry> sample = testing::sample_entries();
  std::vector<std::vector<std::byte>> contents;
  for (const RawEntry& e : sample) {
    auto inflated = testing::inflate_raw(e.data);
    ASSERT_TRUE(inflated.has_value());
    contents.push_back(*inflated);
  }
  const std::vector<ArchiveEntry> entries = {
      {"plugin.toml", contents[0]}, {"main.wasm", contents[1]}, {"signature.sig", contents[2]}};
  const std::vector<std::byte> built = testing::build_archive(sample);
  EXPECT_TRUE(same(built, written(entries)));
  EXPECT_TRUE(read_package_archive(built, default_size_limits()).has_value());
}

// Content without repeats leaves DEFLATE no second way to encode it: every flipped byte, in a
// header or in the data, must be refused.
TEST(ReadPackageArchive, RefusesEveryByteFlipped) {
  testing::SamplePackage package(testing::noise(300));
  const std::vector<std::byte> good = written(package.entries);
  ASSERT_TRUE(read_package_archive(good, default_size_limits()).has_value());
  for (std::size_t i = 0; i < good.size(); ++i) {
    std::vector<std::byte> bytes = good;
    bytes[i] ^= std::byte{0xFF};
    EXPECT_FALSE(read_package_archive(bytes, default_size_limits()).has_value())
        << "byte " << i << " of " << good.size();
  }
}

// With repeats, a flipped distance can point at equal bytes and the stream still inflates to
// the same content; then the content is what was written, which is all that matters.
TEST(ReadPackageArchive, NeverGivesOtherContentForAFlippedByte) {
  testing::SamplePackage package(testing::sample_module(2000));
  const std::vector<std::byte> good = written(package.entries);
  for (std::size_t i = 0; i < good.size(); ++i) {
    std::vector<std::byte> bytes = good;
    bytes[i] ^= std::byte{0xFF};
    auto read = read_package_archive(bytes, default_size_limits());
    if (!read) continue;
    EXPECT_TRUE(same(read->plugin_toml.bytes(), as_bytes(testing::kSampleToml))) << "byte " << i;
    EXPECT_TRUE(same(read->main_wasm.bytes(), package.module)) << "byte " << i;
    EXPECT_TRUE(same(read->signature.bytes(), as_bytes(testing::kSampleSignature))) << "byte " << i;
  }
}

TEST(ReadPackageArchive, LimitsHoldUpToTheirValue) {
  testing::SamplePackage package(testing::sample_module(5000));
  const std::vector<std::byte> bytes = written(package.entries);
  const std::uint64_t toml_size = testing::kSampleToml.size();
  EXPECT_TRUE(read_package_archive(bytes, {.plugin_toml = toml_size, .main_wasm = 5000}));

  auto toml = read_package_archive(bytes, {.plugin_toml = toml_size - 1, .main_wasm = 5000});
  ASSERT_FALSE(toml.has_value());
  EXPECT_EQ(ZipReadError::Kind::kTooLarge, toml.error().kind);
  EXPECT_EQ("plugin.toml: declared size 42 is larger than the limit of 41 bytes",
            toml.error().message);
  auto wasm = read_package_archive(bytes, {.plugin_toml = toml_size, .main_wasm = 4999});
  ASSERT_FALSE(wasm.has_value());
  EXPECT_EQ(ZipReadError::Kind::kTooLarge, wasm.error().kind);
  EXPECT_EQ("main.wasm: declared size 5000 is larger than the limit of 4999 bytes",
            wasm.error().message);
  // main.wasm's limit is main.wasm's alone: signature.sig's 88 bytes are not held to one below.
  testing::SamplePackage tiny(testing::sample_module(8));
  EXPECT_TRUE(
      read_package_archive(written(tiny.entries), {.plugin_toml = toml_size, .main_wasm = 8}));
}

TEST(MaxPackageArchiveSize, HoldsIncompressiblePackagesAtTheLimits) {
  const PackageSizeLimits limits{.plugin_toml = 1000, .main_wasm = 200'000};
  const auto toml = testing::noise(1000, 3);
  const auto wasm = testing::noise(200'000, 4);
  const std::vector<ArchiveEntry> entries = {
      {"plugin.toml", toml},
      {"main.wasm", wasm},
      {"signature.sig", as_bytes(testing::kSampleSignature)}};
  const std::vector<std::byte> bytes = written(entries);
  EXPECT_TRUE(read_package_archive(bytes, limits).has_value());
  EXPECT_LE(bytes.size(), max_package_archive_size(limits));

  EXPECT_EQ(214'588u, max_package_archive_size(limits));

  // Worked out by hand. An entry of size s costs its local header (30) and central header
  // (46), its name twice, a ZIP64 extra field (12) and at most s + s / 256 + 4096 compressed
  // bytes; the records after the directory take 56 + 20 + 22 = 98.
  //   empty limits: plugin.toml 30+11+4096+46+11+12 = 4206, main.wasm 30+9+4096+46+9+12 = 4202,
  //   signature.sig (88 bytes) 30+13+4184+46+13+12 = 4298; 98 + 4206 + 4202 + 4298 = 12804.
  //   the limits above: plugin.toml 1000 compresses to at most 5099, main.wasm 200000 to at
  //   most 204877; 98 + 5209 + 204983 + 4298 = 214588.
  //   default limits: plugin.toml 1 MiB to at most 1056768; main.wasm 4 GiB is held to the
  //   largest size a non-ZIP64 field takes, 4294967294, and so is its bound; 98 + 1056878 +
  //   4294967400 + 4298 = 4296028674.
  EXPECT_EQ(12'804u, max_package_archive_size({.plugin_toml = 0, .main_wasm = 0}));
  EXPECT_EQ(4'296'028'674u, max_package_archive_size(default_size_limits()));
}

// Every field of the records, as the ZIP format lays them out: where it starts, how wide it
// is, whether a message shows it in hexadecimal, and what a message about it says when that
// is not "{record} {field} {value}, expected {value}" (empty then).
struct RecordField {
  const char* name;
  std::uint64_t offset;
  int width;
  bool hex;
  const char* message;
};

constexpr RecordField kLocalHeader[] = {
    {"signature", 0, 4, true, ""},
    {"version needed", 4, 2, false, ""},
    {"flags", 6, 2, true, ""},
    {"compression method", 8, 2, false, "compression method {}, expected 8 (DEFLATE)"},
    {"modification time", 10, 2, true, ""},
    {"modification date", 12, 2, true, ""},
    {"CRC-32", 14, 4, true, ""},
    {"compressed size", 18, 4, false, ""},
    {"uncompressed size", 22, 4, false, ""},
    {"name length", 26, 2, false, ""},
    {"extra field length", 28, 2, false, "extra field in the local header"},
};

constexpr const char* kShared = "local header does not match the central directory ({})";
constexpr RecordField kCentralHeader[] = {
    {"signature", 0, 4, true, "no central directory header where expected"},
    {"version made by", 4, 2, true, ""},
    {"version needed", 6, 2, false, ""},
    {"flags", 8, 2, true, kShared},
    {"compression method", 10, 2, false, kShared},
    {"modification time", 12, 2, true, kShared},
    {"modification date", 14, 2, true, kShared},
    {"CRC-32", 16, 4, true, kShared},
    {"compressed size", 20, 4, false, kShared},
    {"uncompressed size", 24, 4, false, kShared},
    {"extra field length", 30, 2, false, "extra field in the central directory"},
    {"comment length", 32, 2, false, "entry comment in the central directory"},
    {"disk number", 34, 2, false, ""},
    {"internal attributes", 36, 2, true, ""},
    {"external attributes", 38, 4, true, ""},
    {"local header offset", 42, 4, false,
     "central directory points at offset {}, not at its local header at 0"},
};

constexpr RecordField kEndRecord[] = {
    {"signature", 0, 4, true, "no end record after the central directory"},
    {"disk number", 4, 2, false, ""},
    {"directory disk", 6, 2, false, ""},
    {"entries on this disk", 8, 2, false, ""},
    {"entries", 10, 2, false, ""},
    {"directory size", 12, 4, false, ""},
    {"directory offset", 16, 4, false, ""},
    {"comment length", 20, 2, false, "archive comment"},
};

std::string field_value(const std::vector<std::byte>& record, const RecordField& field) {
  std::uint64_t value = 0;
  for (int i = field.width; i-- > 0;)
    value = value << 8 | std::to_integer<std::uint64_t>(record[field.offset + i]);
  if (!field.hex) return std::to_string(value);
  std::string text = "0x";
  for (int shift = field.width * 8 - 4; shift >= 0; shift -= 4)
    text += "0123456789ABCDEF"[(value >> shift) & 0xF];
  return text;
}

// The message for `patched`, whose `field` differs from `original`'s in `record`.
std::string field_message(std::string_view record, const RecordField& field,
                          const std::vector<std::byte>& original,
                          const std::vector<std::byte>& patched) {
  std::string message = field.message;
  if (message.empty())
    return std::string(record) + " " + field.name + " " + field_value(patched, field) +
           ", expected " + field_value(original, field);
  if (const auto at = message.find("{}"); at != std::string::npos)
    message.replace(at, 2,
                    message.starts_with("local header does not") ? std::string(field.name)
                                                                 : field_value(patched, field));
  return message;
}

// Each field changed as a whole, in its first byte only and in its last byte only: the
// message names that field, with its value, so that each field's place and width show.
template <class Check>
void change_each_field(std::span<const RecordField> fields, std::uint64_t start,
                       const std::vector<std::byte>& bytes, Check check) {
  for (const RecordField& field : fields) {
    const std::uint64_t first = start + field.offset, last = first + field.width - 1;
    for (const auto& [part, from, to] :
         {std::tuple{"whole", first, last}, std::tuple{"first byte", first, first},
          std::tuple{"last byte", last, last}}) {
      SCOPED_TRACE(std::string(field.name) + ", " + part);
      std::vector<std::byte> patched = bytes;
      for (std::uint64_t i = from; i <= to; ++i) patched[i] ^= std::byte{0x50};
      check(field, patched);
    }
  }
}

TEST(RecordFields, EachLocalHeaderFieldIsNamedWithItsValue) {
  const ZipEntryRecord entry{
      .name = "plugin.toml", .crc32 = 0x1234ABCD, .compressed_size = 40, .uncompressed_size = 42};
  std::vector<std::byte> header = encode_local_header(entry.name);
  const std::array<std::byte, 12> sizes = encode_local_sizes(entry);
  std::ranges::copy(sizes, header.begin() + kLocalHeaderSizesOffset);
  header.resize(kLocalHeaderSize);
  change_each_field(kLocalHeader, 0, header, [&](const RecordField& field, const auto& patched) {
    EXPECT_EQ("plugin.toml: " + field_message("local header", field, header, patched),
              local_header_difference(patched, header, entry.name).value_or("no difference"));
  });
}

TEST(RecordFields, EachCentralHeaderAndEndRecordFieldIsNamedWithItsValue) {
  const std::vector<ZipEntryRecord> records = {
      {.name = "plugin.toml", .crc32 = 0x1234ABCD, .compressed_size = 40, .uncompressed_size = 42},
      {.name = "main.wasm",
       .crc32 = 2,
       .compressed_size = 9,
       .uncompressed_size = 8,
       .header_offset = 81},
      {.name = "signature.sig",
       .crc32 = 3,
       .compressed_size = 58,
       .uncompressed_size = 88,
       .header_offset = 141}};
  const std::vector<std::byte> directory = encode_directory(records, 252);
  auto refusal = [&](const std::vector<std::byte>& tail) {
    auto checked = check_directory(tail, records, 252);
    return checked ? "accepted" : checked.error().message;
  };
  change_each_field(
      kCentralHeader, 0, directory, [&](const RecordField& field, const auto& patched) {
        EXPECT_EQ("plugin.toml: " + field_message("central directory", field, directory, patched),
                  refusal(patched));
      });
  const std::uint64_t end = directory.size() - kEndSize;
  const std::vector<std::byte> end_record(directory.begin() + end, directory.end());
  change_each_field(kEndRecord, end, directory, [&](const RecordField& field, const auto& patched) {
    const std::vector<std::byte> patched_end(patched.begin() + end, patched.end());
    EXPECT_EQ(field_message("end record", field, end_record, patched_end), refusal(patched));
  });
}

// Archives past 4 GiB cannot be built in a test, but their directory can: the records with
// offsets past the ZIP64 marker, as the writer encodes them.
class Zip64Directory : public ::testing::Test {
 protected:
  static constexpr std::uint64_t kSignatureOffset = 5'000'000'000;
  static constexpr std::uint64_t kDirectoryOffset = kSignatureOffset + 101;
  std::vector<ZipEntryRecord> records = {
      {.name = "plugin.toml", .crc32 = 1, .compressed_size = 40, .uncompressed_size = 42},
      {.name = "main.wasm",
       .crc32 = 2,
       .compressed_size = 4'000'000'000,
       .uncompressed_size = 4'100'000'000,
       .header_offset = 81},
      {.name = "signature.sig",
       .crc32 = 3,
       .compressed_size = 58,
       .uncompressed_size = 88,
       .header_offset = kSignatureOffset}};
  std::vector<std::byte> directory = encode_directory(records, kDirectoryOffset);

  std::string refusal(const std::vector<std::byte>& tail,
                      std::uint64_t directory_offset = kDirectoryOffset) {
    auto checked = check_directory(tail, records, directory_offset);
    return checked ? "accepted" : checked.error().message;
  }
};

// Where the records start: signature.sig's ZIP64 extra field, the ZIP64 end record, its locator.
constexpr std::uint64_t kExtra = 2 * 46 + 20 + 46 + 13;
constexpr std::uint64_t kZip64End = 3 * 46 + 33 + 12;
constexpr std::uint64_t kLocator = kZip64End + 56;

TEST_F(Zip64Directory, AcceptsTheWritersRecords) {
  EXPECT_EQ("accepted", refusal(directory));
  // The end record comes after the ZIP64 end record and its locator.
  std::vector<std::byte> end_changed = directory;
  testing::put_le(end_changed, kLocator + 20 + 10, 2, 4);
  EXPECT_EQ("end record entries 4, expected 3", refusal(end_changed));
  // An offset of the marker's value itself is written in the extra field too, and the records
  // after it are found where they are.
  records[2].header_offset = kZip64Marker;
  std::vector<std::byte> at_marker = encode_directory(records, kZip64Marker + 101);
  EXPECT_EQ("accepted", refusal(at_marker, kZip64Marker + 101));
  testing::put_le(at_marker, kZip64End + 32, 8, 4);
  EXPECT_EQ("ZIP64 end record entries 4, expected 3", refusal(at_marker, kZip64Marker + 101));
}

struct Zip64Patch {
  const char* name;
  std::uint64_t offset;
  int width;
  std::uint64_t value;
  const char* message;
};

TEST_F(Zip64Directory, NamesTheFieldThatDiffers) {
  const Zip64Patch patches[] = {
      {"extra field offset", kExtra + 4, 8, 81,
       "signature.sig: central directory points at offset 81, not at its local header at "
       "5000000000"},
      // The writer's own extra field is expected here: a changed length is a value, not an
      // extra field where none belongs.
      {"extra field length", kExtra - 13 - 16, 2, 0,
       "signature.sig: central directory extra field length 0, expected 12"},
      {"extra field ID", kExtra, 2, 2,
       "signature.sig: central directory ZIP64 extra field ID 0x0002, expected 0x0001"},
      {"extra field size", kExtra + 2, 2, 16,
       "signature.sig: central directory ZIP64 extra field size 16, expected 8"},
      {"ZIP64 end record directory offset", kZip64End + 48, 8, 7,
       "ZIP64 end record directory offset 7, expected 5000000101"},
      {"ZIP64 end record entries", kZip64End + 32, 8, 4, "ZIP64 end record entries 4, expected 3"},
      {"ZIP64 end record directory size", kZip64End + 40, 8, 7,
       "ZIP64 end record directory size 7, expected 183"},
      {"ZIP64 locator offset", kLocator + 8, 8, 0,
       "ZIP64 locator ZIP64 end record offset 0, expected 5000000284"},
      {"ZIP64 locator signature", kLocator + 0, 4, 0,
       "no ZIP64 locator after the central directory"},
  };
  for (const Zip64Patch& p : patches) {
    SCOPED_TRACE(p.name);
    std::vector<std::byte> tail = directory;
    testing::put_le(tail, p.offset, p.width, p.value);
    EXPECT_EQ(p.message, refusal(tail));
  }
}

TEST_F(Zip64Directory, EachZip64FieldIsNamedWithItsValue) {
  constexpr RecordField kExtraFields[] = {
      {"ZIP64 extra field ID", 0, 2, true, ""},
      {"ZIP64 extra field size", 2, 2, false, ""},
      {"local header offset", 4, 8, false,
       "central directory points at offset {}, not at its local header at 5000000000"},
  };
  constexpr RecordField kZip64EndFields[] = {
      {"signature", 0, 4, true, "no ZIP64 end record after the central directory"},
      {"record size", 4, 8, false, ""},
      {"version made by", 12, 2, true, ""},
      {"version needed", 14, 2, false, ""},
      {"disk number", 16, 4, false, ""},
      {"directory disk", 20, 4, false, ""},
      {"entries on this disk", 24, 8, false, ""},
      {"entries", 32, 8, false, ""},
      {"directory size", 40, 8, false, ""},
      {"directory offset", 48, 8, false, ""},
  };
  constexpr RecordField kLocatorFields[] = {
      {"signature", 0, 4, true, "no ZIP64 locator after the central directory"},
      {"ZIP64 end record disk", 4, 4, false, ""},
      {"ZIP64 end record offset", 8, 8, false, ""},
      {"disks", 16, 4, false, ""},
  };
  const std::vector<std::byte> extra(directory.begin() + kExtra, directory.begin() + kExtra + 12);
  change_each_field(
      kExtraFields, kExtra, directory, [&](const RecordField& field, const auto& patched) {
        const std::vector<std::byte> patched_extra(patched.begin() + kExtra,
                                                   patched.begin() + kExtra + 12);
        EXPECT_EQ(
            "signature.sig: " + field_message("central directory", field, extra, patched_extra),
            refusal(patched));
      });
  for (const auto& [record, fields, start, size] :
       {std::tuple{"ZIP64 end record", std::span<const RecordField>(kZip64EndFields), kZip64End,
                   56},
        std::tuple{"ZIP64 locator", std::span<const RecordField>(kLocatorFields), kLocator, 20}}) {
    const std::vector<std::byte> original(directory.begin() + start,
                                          directory.begin() + start + size);
    change_each_field(fields, start, directory, [&](const RecordField& field, const auto& patched) {
      const std::vector<std::byte> patched_record(patched.begin() + start,
                                                  patched.begin() + start + size);
      EXPECT_EQ(field_message(record, field, original, patched_record), refusal(patched));
    });
  }
}

// The ZIP64 end record where signature.sig's central header belongs.
TEST_F(Zip64Directory, NamesTheEntryMissingBeforeTheZip64EndRecord) {
  std::vector<std::byte> tail = directory;
  tail.erase(tail.begin() + 2 * 46 + 20, tail.begin() + kZip64End);
  EXPECT_EQ("signature.sig missing from the central directory", refusal(tail));
}

// A fourth central header whose name is the last thing in the file is named, not called cut off.
TEST_F(Zip64Directory, NamesAFourthHeaderThatEndsTheFile) {
  std::vector<std::byte> tail(directory.begin(), directory.begin() + kZip64End);
  std::vector<std::byte> fourth(directory.begin() + 2 * 46 + 20, directory.begin() + kZip64End);
  testing::put_le(fourth, 28, 2, 6);
  testing::put_le(fourth, 30, 2, 0);
  fourth.resize(46);
  for (char c : std::string_view("README")) fourth.push_back(static_cast<std::byte>(c));
  tail.insert(tail.end(), fourth.begin(), fourth.end());
  EXPECT_EQ("unexpected fourth entry README in the central directory", refusal(tail));
}

TEST_F(Zip64Directory, RefusesTheEndRecordWithoutZip64Records) {
  std::vector<std::byte> tail(directory.begin(), directory.begin() + kZip64End);
  tail.insert(tail.end(), directory.end() - 22, directory.end());
  EXPECT_EQ("no ZIP64 end record after the central directory", refusal(tail));
}

}  // namespace
}  // namespace plugin_sign

namespace plugin_sign {
namespace {

// Collects what a stream hands over, and the largest piece it was handed at once.
class Collect final : public InflateSink {
 public:
  void take(std::span<const std::byte> bytes) override {
    content.insert(content.end(), bytes.begin(), bytes.end());
    largest = std::max(largest, bytes.size());
  }
  std::vector<std::byte> content;
  std::size_t largest = 0;
};

// A name lands in the error line a terminal shows: bytes that could steer it (controls, DEL,
// the escape's own backslash) are shown as \xNN, printable ASCII as itself, at its edges too.
TEST(ShownName, EscapesEveryByteOutsidePrintableAscii) {
  const struct {
    std::string name;
    std::string shown;
  } cases[] = {
      {" a~", " a~"},
      {"\x1f", "\\x1f"},
      {"\x7f", "\\x7f"},
      {"\xe9", "\\xe9"},
      {"a\\b", "a\\x5cb"},
      {std::string(64, 'n'), std::string(64, 'n')},
      {std::string(65, 'n'), std::string(64, 'n') + "..."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(c.shown, shown_name(as_bytes(c.name)));
  }
}

// Streaming is how a large entry is checked before its signature verified, and its inflater
// then gives the host the entry whole: both must come to the verdict, and the message, that
// inflating it whole with libdeflate comes to, for every entry the hostile table can locate,
// and give the same bytes.
TEST(StreamEntry, SameVerdictAsInflatingWhole) {
  std::vector<testing::HostileArchive> rows = testing::hostile_archives();
  testing::SamplePackage large(testing::sample_module(3'000'000));
  rows.push_back({.name = "a module of several windows", .bytes = written(large.entries)});
  testing::SamplePackage zeros(std::vector<std::byte>(std::size_t{4} << 20));
  rows.push_back({.name = "4 MiB of zeros", .bytes = written(zeros.entries)});
  for (const testing::HostileArchive& row : rows) {
    SCOPED_TRACE(row.name);
    auto entries = locate_package_entries(row.bytes, default_size_limits());
    if (!entries) continue;
    for (const LocatedEntry& entry : *entries) {
      SCOPED_TRACE(entry.record.name);
      auto whole = inflate_entry(entry);
      Collect sink;
      auto streamed = stream_entry(entry, sink);
      auto streamed_whole = inflate_streamed_entry(entry);
      ASSERT_EQ(whole.has_value(), streamed.has_value());
      ASSERT_EQ(whole.has_value(), streamed_whole.has_value());
      if (!whole) {
        EXPECT_EQ(whole.error().message, streamed.error().message);
        EXPECT_EQ(whole.error().message, streamed_whole.error().message);
        continue;
      }
      EXPECT_TRUE(same(whole->bytes(), sink.content));
      EXPECT_TRUE(same(whole->bytes(), streamed_whole->bytes()));
      EXPECT_LE(sink.largest, kInflateWindowSize);
    }
  }
}

// An entry that declares a thousand bytes for each compressed byte, and inflates to 4 KiB: the
// memory it gets follows what really inflates, so that it is refused for its size in an
// address space with no room for the 250 MiB it declares.
TEST(ReadPackageArchive, GivesAnEntryNoMemoryForASizeItDoesNotInflateTo) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers need more address space than the limit leaves";
#else
  const std::vector<std::byte> content = testing::sample_module(4096);
  testing::RawEntry lying = testing::deflated_entry("main.wasm", content);
  // Empty stored blocks, five bytes each, before the stream that holds the content.
  std::vector<std::byte> data;
  for (int i = 0; i < 50'000; ++i)
    data.insert(data.end(),
                {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{0xFF}, std::byte{0xFF}});
  data.insert(data.end(), lying.data.begin(), lying.data.end());
  lying.data = std::move(data);
  lying.size = lying.data.size() * 1000;
  std::vector<testing::RawEntry> entries = testing::sample_entries();
  entries[1] = lying;
  const std::vector<std::byte> archive = testing::build_archive(entries);
  const std::string expected = "main.wasm: inflates to 4096 bytes, fewer than its declared size " +
                               std::to_string(lying.size);
  EXPECT_TRUE(testing::holds_within_address_space(std::uint64_t{48} << 20, [&] {
    auto read = read_package_archive(archive, default_size_limits());
    if (!read && read.error().message == expected) return true;
    std::fprintf(stderr, "%s\n", read ? "read" : read.error().message.c_str());
    return false;
  }));
#endif
}

TEST(StreamEntry, OnlyEntriesWithinFifteenBytesPerCompressedByteAreInflatedWhole) {
  LocatedEntry entry;
  entry.record.compressed_size = 1000;
  entry.record.uncompressed_size = 15'000;
  EXPECT_TRUE(inflates_whole(entry));
  entry.record.uncompressed_size = 15'001;
  EXPECT_FALSE(inflates_whole(entry));
}

}  // namespace
}  // namespace plugin_sign
