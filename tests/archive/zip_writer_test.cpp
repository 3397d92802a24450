#include "archive/zip_writer.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "archive/package_archive.hpp"
#include "archive/zip_test_support.hpp"

namespace plugin_sign {
namespace {

using testing::as_bytes;
using testing::compressed_total;
using testing::expect_package_records;
using testing::Fault;
using testing::kSampleSignature;
using testing::MemoryOutput;
using testing::noise;
using testing::Op;
using testing::parse_zip;
using testing::parsed;
using testing::sample_module;
using testing::ZipFile;

TEST(WriteArchive, PackageHasEveryFixedFieldAndTheDocumentedLayout) {
  testing::SamplePackage package(sample_module(300'000));
  MemoryOutput output;
  ASSERT_TRUE(write_archive(output, package.entries).has_value());

  const ZipFile zip = parsed(output);
  expect_package_records(zip, package.entries);
  const std::uint64_t compressed = compressed_total(zip);
  EXPECT_EQ(zip.locals[0].offset, 0u);
  EXPECT_EQ(zip.directory_offset, 123 + compressed);
  EXPECT_EQ(zip.directory_size, 171u);
  EXPECT_EQ(output.bytes().size(), 316 + compressed);
}

// zlib's own raw stream of `content` at level 6, in one call.
std::vector<std::byte> zlib_raw_deflate(std::span<const std::byte> content) {
  z_stream stream{};
  deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::vector<std::byte> out(deflateBound(&stream, content.size()));
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(content.data()));
  stream.avail_in = static_cast<uInt>(content.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(out.size() - stream.avail_out);
  deflateEnd(&stream);
  return out;
}

// Text-like bytes, words and numbers from a fixed-seed generator: content where zlib's
// levels choose different matches, so that the stream tells the level.
std::vector<std::byte> word_soup(std::size_t size) {
  static constexpr std::string_view kWords[] = {"local.get", "i32.add",  "call",   "br_if",
                                                "block",     "end",      "memory", "(func",
                                                "$f",        "i64.const"};
  std::string text;
  std::uint32_t state = 12345;
  while (text.size() < size) {
    state = state * 1664525u + 1013904223u;
    text += kWords[(state >> 24) % 10];
    text += ' ';
    if ((state >> 8) % 3 == 0) text += std::to_string((state >> 4) % 100000) + '\n';
  }
  text.resize(size);
  const auto bytes = as_bytes(text);
  return {bytes.begin(), bytes.end()};
}

// An entry below the block threshold is one stream, exactly zlib's at level 6: the empty
// stream, and content whose stream differs at any other level.
TEST(WriteArchive, OneStreamIsZlibsAtLevelSix) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{100'000}}) {
    SCOPED_TRACE(size);
    testing::SamplePackage package(word_soup(size));
    MemoryOutput output;
    ASSERT_TRUE(write_archive(output, package.entries).has_value());

    const ZipFile zip = parsed(output);
    expect_package_records(zip, package.entries);
    const auto expected = zlib_raw_deflate(package.module);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(zip.central[1].compressed_size, expected.size());
    EXPECT_TRUE(std::ranges::equal(zip.locals[1].data, expected));
  }
}

TEST(WriteArchive, IncompressibleContentIsStillDeflated) {
  testing::SamplePackage package(noise(70'000));
  MemoryOutput output;
  ASSERT_TRUE(write_archive(output, package.entries).has_value());

  const ZipFile zip = parsed(output);
  expect_package_records(zip, package.entries);
  EXPECT_GT(zip.central[1].compressed_size, zip.central[1].uncompressed_size);
}

TEST(WriteArchive, SameEntriesGiveIdenticalBytes) {
  testing::SamplePackage package(sample_module(2'500'000));
  MemoryOutput first;
  MemoryOutput second;
  ASSERT_TRUE(write_archive(first, package.entries).has_value());
  ASSERT_TRUE(write_archive(second, package.entries).has_value());
  EXPECT_TRUE(first.bytes() == second.bytes());
}

// Memory beyond the input stays bounded: one stream leaves through a fixed buffer, and blocks
// go out one compressed block at a time (noise does not compress, so a block's output is a
// little over its input).
TEST(ZipWriter, CompressedDataLeavesInBoundedPiecesWhileTheEntryIsWritten) {
  struct Case {
    const char* name;
    std::size_t size;
    std::size_t largest_write;
  };
  const Case cases[] = {
      {"one stream", kBlockDeflateThreshold - 1, 256 * 1024},
      {"blocks", kBlockDeflateThreshold + kDeflateBlockSize + 123, kDeflateBlockSize + 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::byte> content = noise(c.size);
    MemoryOutput output;
    ZipWriter writer(output);
    ASSERT_TRUE(writer.start_entry("main.wasm").has_value());
    ASSERT_TRUE(writer.write(content).has_value());
    const std::size_t writes_before_finish = output.write_sizes().size();
    ASSERT_TRUE(writer.finish().has_value());

    // The header and data went out before the entry was completed.
    EXPECT_GE(writes_before_finish, 2u);
    for (std::size_t size : output.write_sizes()) EXPECT_LE(size, c.largest_write);
    const ArchiveEntry entry{"main.wasm", content};
    expect_package_records(parsed(output), std::span(&entry, 1));
  }
}

// The block path takes an entry whole; nothing can be added to its ended stream.
TEST(ZipWriter, AnEntryCompressedInBlocksTakesNoFurtherWrite) {
  const std::vector<std::byte> content = sample_module(kBlockDeflateThreshold);
  MemoryOutput output;
  ZipWriter writer(output);
  ASSERT_TRUE(writer.start_entry("main.wasm").has_value());
  ASSERT_TRUE(writer.write(content).has_value());
  auto more = writer.write(std::span(content).first(1));
  ASSERT_FALSE(more.has_value());
  EXPECT_EQ(io_error_text(more.error()), "zip entry is already complete");
  ASSERT_TRUE(writer.finish().has_value());
  const ArchiveEntry entry{"main.wasm", content};
  expect_package_records(parsed(output), std::span(&entry, 1));
}

TEST(ZipWriter, PiecewiseWritesMakeOneEntry) {
  const std::vector<std::byte> content = sample_module(1'500'000);
  MemoryOutput output;
  ZipWriter writer(output);
  ASSERT_TRUE(writer.start_entry("main.wasm").has_value());
  auto rest = std::span<const std::byte>(content);
  for (std::size_t piece : {0u, 1u, 999'999u, 17u}) {
    ASSERT_TRUE(writer.write(rest.first(piece)).has_value());
    rest = rest.subspan(piece);
  }
  ASSERT_TRUE(writer.write(rest).has_value());
  ASSERT_TRUE(writer.finish().has_value());
  const ArchiveEntry entry{"main.wasm", content};
  expect_package_records(parsed(output), std::span(&entry, 1));
}

// Runs `write_archive` with `fault`, a negative `nth` first resolved against a clean run.
std::expected<void, ArchiveFailure> run_with_fault(std::span<const ArchiveEntry> entries,
                                                   Fault fault, MemoryOutput& output) {
  if (fault.nth < 0) {
    MemoryOutput clean;
    EXPECT_TRUE(write_archive(clean, entries).has_value());
    fault.nth += clean.calls(fault.op) + 1;
  }
  output = MemoryOutput(0, fault);
  return write_archive(output, entries);
}

struct StepFailure {
  const char* name;
  Fault fault;
  const char* message;
};

// plugin.toml is small and main.wasm large, so main.wasm's data goes out while it is written:
// writes 1 to 4 are header 1, data 1, the patch of header 1, header 2.
const StepFailure kStepFailures[] = {
    {"output cannot be positioned",
     {Op::kPosition, 1, 1, 29},
     "failed to add plugin.toml to zip: i/o error: Illegal seek (os error 29)"},
    {"first local header",
     {Op::kWrite, 1},
     "failed to add plugin.toml to zip: i/o error: No space left on device (os error 28)"},
    {"flushing plugin.toml's data",
     {Op::kWrite, 2, 1, 5},
     "failed to add main.wasm to zip: i/o error: Input/output error (os error 5)"},
    {"seeking back to plugin.toml's header",
     {Op::kSeek, 1, 1, 22},
     "failed to add main.wasm to zip: i/o error: Invalid argument (os error 22)"},
    {"patching plugin.toml's header",
     {Op::kWrite, 3},
     "failed to add main.wasm to zip: i/o error: No space left on device (os error 28)"},
    {"returning to the end",
     {Op::kSeek, 2},
     "failed to add main.wasm to zip: i/o error: No space left on device (os error 28)"},
    {"position for main.wasm",
     {Op::kPosition, 2},
     "failed to add main.wasm to zip: i/o error: No space left on device (os error 28)"},
    {"compressed data of main.wasm",
     {Op::kWrite, 5},
     "failed to write main.wasm into zip: No space left on device (os error 28)"},
    {"header of signature.sig",
     {Op::kWrite, -4},
     "failed to add signature.sig to zip: i/o error: No space left on device (os error 28)"},
};

TEST(WriteArchive, NamesTheStepThatFailedAndStopsThere) {
  testing::SamplePackage package(noise(1'000'000));
  for (const StepFailure& c : kStepFailures) {
    SCOPED_TRACE(c.name);
    MemoryOutput output;
    auto result = run_with_fault(package.entries, c.fault, output);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message, c.message);
    EXPECT_EQ(result.error().drop_report, "");
    // Nothing is written after the failure: the output stays as far as it got.
    EXPECT_EQ(output.calls_after_first_failure(), 0);
  }
}

struct FinishFailure {
  const char* name;
  Fault fault;
  const char* drop_report;
  bool complete_after_retry;
};

// Counted from the end of a clean run: the last writes are the flush of signature.sig's data,
// the patch of its header and the directory; the last seeks go to its header and back.
const FinishFailure kFinishFailures[] = {
    {"flush of the last data, not retried", {Op::kWrite, -3}, "", false},
    {"seek to the header, once", {Op::kSeek, -2}, "", true},
    {"seek back to the end, once", {Op::kSeek, -1}, "", true},
    {"header patch, twice",
     {Op::kWrite, -2, 2},
     "ZipWriter drop failed: i/o error: No space left on device (os error 28)",
     false},
    {"directory, once", {Op::kWrite, -1}, "", true},
    {"directory, twice",
     {Op::kWrite, -1, 2},
     "ZipWriter drop failed: i/o error: No space left on device (os error 28)",
     false},
};

TEST(WriteArchive, FailedFinishIsAttemptedOnceMore) {
  testing::SamplePackage package(sample_module(5'000));
  for (const FinishFailure& c : kFinishFailures) {
    SCOPED_TRACE(c.name);
    MemoryOutput output;
    auto result = run_with_fault(package.entries, c.fault, output);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message,
              "failed to finalize zip: i/o error: No space left on device (os error 28)");
    EXPECT_EQ(result.error().drop_report, c.drop_report);
    auto zip = parse_zip(output.bytes());
    EXPECT_EQ(zip.has_value(), c.complete_after_retry);
    if (zip) expect_package_records(*zip, package.entries);
  }
}

TEST(ZipWriter, RefusesCallsOutOfOrder) {
  MemoryOutput output(1000);
  ZipWriter writer(output);
  auto early = writer.write(as_bytes("data"));
  ASSERT_FALSE(early.has_value());
  EXPECT_EQ(io_error_text(early.error()), "no zip entry is open for writing");
  ASSERT_TRUE(writer.finish().has_value());
  // With no entry, the directory starts where the output stood, not at offset 0.
  ASSERT_EQ(output.bytes().size(), 22u);
  auto zip = parse_zip(output.bytes(), 1000);
  ASSERT_TRUE(zip.has_value()) << zip.error();
  auto late = writer.start_entry("main.wasm");
  ASSERT_FALSE(late.has_value());
  EXPECT_EQ(io_error_text(late.error()), "zip archive is already being finished");
}

// With no entry the directory starts where the output stands: an output that cannot tell
// fails the finish, and nothing is written at a guessed offset.
TEST(ZipWriter, EmptyArchiveFailsWhereTheOutputCannotBePositioned) {
  MemoryOutput output(0, Fault{Op::kPosition, 1, 1, 29});
  ZipWriter writer(output);
  auto finished = writer.finish();
  ASSERT_FALSE(finished.has_value());
  EXPECT_EQ(io_error_text(finished.error()), "Illegal seek (os error 29)");
  EXPECT_TRUE(output.bytes().empty());
}

// A failed local header leaves a half-written entry: the writer refuses every later call.
TEST(ZipWriter, StaysBrokenAfterAFailedEntryStart) {
  MemoryOutput output(0, Fault{Op::kPosition, 1, 1, 29});
  ZipWriter writer(output);
  ASSERT_FALSE(writer.start_entry("plugin.toml").has_value());
  auto again = writer.start_entry("plugin.toml");
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(io_error_text(again.error()), "Illegal seek (os error 29)");
  EXPECT_FALSE(writer.write(as_bytes("data")).has_value());
  EXPECT_FALSE(writer.can_retry_finish());
}

// Compressed data lost on its way out cannot be produced again: the write that lost it fails,
// and so does every later call, on the streaming path as on the block path.
TEST(ZipWriter, LostCompressedDataBreaksTheWriter) {
  const std::vector<std::byte> content = noise(kBlockDeflateThreshold);
  for (const std::size_t first : {std::size_t{1}, std::size_t{0}}) {
    SCOPED_TRACE(first);
    MemoryOutput output(0, Fault{Op::kWrite, 2});
    ZipWriter writer(output);
    ASSERT_TRUE(writer.start_entry("main.wasm").has_value());
    ASSERT_TRUE(writer.write(std::span(content).first(first)).has_value());
    auto lost = writer.write(std::span(content).subspan(first));
    ASSERT_FALSE(lost.has_value());
    EXPECT_EQ(io_error_text(lost.error()), "No space left on device (os error 28)");
    EXPECT_FALSE(writer.finish().has_value());
    EXPECT_EQ(output.calls_after_first_failure(), 0);
  }
}

TEST(ZipWriter, FlushFailureLeavesTheOutputAlone) {
  MemoryOutput output(0, Fault{Op::kWrite, 2});
  ZipWriter writer(output);
  ASSERT_TRUE(writer.start_entry("signature.sig").has_value());
  ASSERT_TRUE(writer.write(as_bytes(kSampleSignature)).has_value());
  ASSERT_FALSE(writer.finish().has_value());
  EXPECT_FALSE(writer.can_retry_finish());
  auto again = writer.finish();
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(io_error_text(again.error()), "No space left on device (os error 28)");
  EXPECT_EQ(output.calls_after_first_failure(), 0);
}

}  // namespace
}  // namespace plugin_sign
