#include "archive/zip_test_support.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <random>

namespace plugin_sign::testing {
namespace {

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint64_t kMarker32 = 0xFFFFFFFF;

// Reads little-endian fields at file offsets; any read past the end marks it failed.
class FieldReader {
 public:
  FieldReader(std::span<const std::byte> file, std::uint64_t base, std::uint64_t at)
      : file_(file), base_(base), at_(at) {}
  std::uint16_t u16() { return static_cast<std::uint16_t>(get(2)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(get(4)); }
  std::uint64_t u64() { return get(8); }
  std::span<const std::byte> take(std::uint64_t count) {
    if (!fits(count)) return {};
    auto piece = file_.subspan(at_ - base_, count);
    at_ += count;
    return piece;
  }
  std::string text(std::uint64_t count) {
    auto piece = take(count);
    return std::string(reinterpret_cast<const char*>(piece.data()), piece.size());
  }
  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] std::uint64_t at() const { return at_; }

 private:
  bool fits(std::uint64_t count) {
    ok_ =
        ok_ && at_ >= base_ && at_ - base_ <= file_.size() && count <= file_.size() - (at_ - base_);
    return ok_;
  }
  std::uint64_t get(int width) {
    auto piece = take(width);
    std::uint64_t value = 0;
    for (int i = 0; i < static_cast<int>(piece.size()); ++i)
      value |= std::to_integer<std::uint64_t>(piece[i]) << (8 * i);
    return value;
  }
  std::span<const std::byte> file_;
  std::uint64_t base_;
  std::uint64_t at_;
  bool ok_ = true;
};

IoError os_error(int number) {
  IoError error;
  error.os_error = number;
  return error;
}

std::string at_text(const char* what, std::uint64_t offset) {
  return std::string(what) + " at offset " + std::to_string(offset);
}

std::expected<EndRecord, std::string> read_end(std::span<const std::byte> file,
                                               std::uint64_t base) {
  if (file.size() < 22) return std::unexpected("file shorter than an end record");
  EndRecord end;
  end.offset = base + file.size() - 22;
  FieldReader in(file, base, end.offset);
  if (in.u32() != kEndSignature) return std::unexpected(at_text("no end record", end.offset));
  end.disk = in.u16();
  end.directory_disk = in.u16();
  end.entries_on_disk = in.u16();
  end.entries_total = in.u16();
  end.directory_size = in.u32();
  end.directory_offset = in.u32();
  end.comment_length = in.u16();
  return end;
}

// The locator and the ZIP64 end record, when the locator sits right before the end record.
std::expected<void, std::string> read_zip64(std::span<const std::byte> file, std::uint64_t base,
                                            ZipFile& zip) {
  if (zip.end.offset < base + 20) return {};
  FieldReader in(file, base, zip.end.offset - 20);
  if (in.u32() != kZip64LocatorSignature) return {};
  Zip64Locator locator{
      .zip64_end_disk = in.u32(), .zip64_end_offset = in.u64(), .total_disks = in.u32()};
  if (locator.zip64_end_offset + 56 != zip.end.offset - 20)
    return std::unexpected(
        at_text("ZIP64 end record not right before its locator", locator.zip64_end_offset));
  FieldReader record(file, base, locator.zip64_end_offset);
  if (record.u32() != kZip64EndSignature)
    return std::unexpected(at_text("no ZIP64 end record", locator.zip64_end_offset));
  Zip64EndRecord z{.offset = locator.zip64_end_offset, .record_size = record.u64()};
  z.version_made_by = record.u16();
  z.version_needed = record.u16();
  z.disk = record.u32();
  z.directory_disk = record.u32();
  z.entries_on_disk = record.u64();
  z.entries_total = record.u64();
  z.directory_size = record.u64();
  z.directory_offset = record.u64();
  zip.locator = locator;
  zip.zip64_end = z;
  return {};
}

// The ZIP64 extra field of `header` gives the offset when its 32-bit field is marked; sizes
// are never marked by this writer, so the offset is the first value.
std::expected<void, std::string> resolve_offset(CentralHeader& header) {
  header.local_offset = header.offset_field;
  if (header.offset_field != kMarker32) return {};
  FieldReader in(header.extra, 0, 0);
  const std::uint16_t id = in.u16();
  const std::uint16_t size = in.u16();
  const std::uint64_t offset = in.u64();
  if (!in.ok() || id != 1 || size != 8 || header.extra.size() != 12)
    return std::unexpected("marked offset of " + header.name + " without a ZIP64 extra field");
  header.local_offset = offset;
  return {};
}

std::expected<CentralHeader, std::string> read_central(FieldReader& in) {
  const std::uint64_t at = in.at();
  if (in.u32() != kCentralSignature) return std::unexpected(at_text("no central header", at));
  CentralHeader h;
  h.version_made_by = in.u16();
  h.version_needed = in.u16();
  h.flags = in.u16();
  h.method = in.u16();
  h.time = in.u16();
  h.date = in.u16();
  h.crc32 = in.u32();
  h.compressed_size = in.u32();
  h.uncompressed_size = in.u32();
  h.name_length = in.u16();
  h.extra_length = in.u16();
  h.comment_length = in.u16();
  h.disk_start = in.u16();
  h.internal_attributes = in.u16();
  h.external_attributes = in.u32();
  h.offset_field = in.u32();
  h.name = in.text(h.name_length);
  auto extra = in.take(h.extra_length);
  h.extra.assign(extra.begin(), extra.end());
  in.take(h.comment_length);
  if (!in.ok()) return std::unexpected(at_text("central header cut short", at));
  if (auto resolved = resolve_offset(h); !resolved) return std::unexpected(resolved.error());
  return h;
}

std::expected<LocalHeader, std::string> read_local(std::span<const std::byte> file,
                                                   std::uint64_t base,
                                                   const CentralHeader& central) {
  FieldReader in(file, base, central.local_offset);
  LocalHeader h;
  h.offset = central.local_offset;
  h.signature = in.u32();
  if (h.signature != kLocalSignature)
    return std::unexpected(at_text("no local header", central.local_offset));
  h.version_needed = in.u16();
  h.flags = in.u16();
  h.method = in.u16();
  h.time = in.u16();
  h.date = in.u16();
  h.crc32 = in.u32();
  h.compressed_size = in.u32();
  h.uncompressed_size = in.u32();
  h.name_length = in.u16();
  h.extra_length = in.u16();
  h.name = in.text(h.name_length);
  in.take(h.extra_length);
  h.data = in.take(central.compressed_size);
  if (!in.ok()) return std::unexpected(at_text("local entry cut short", central.local_offset));
  return h;
}

std::expected<void, std::string> read_directory(std::span<const std::byte> file, std::uint64_t base,
                                                ZipFile& zip) {
  const bool zip64 = zip.zip64_end.has_value();
  zip.directory_offset = zip.end.directory_offset == kMarker32 && zip64
                             ? zip.zip64_end->directory_offset
                             : zip.end.directory_offset;
  zip.directory_size = zip.end.directory_size == kMarker32 && zip64 ? zip.zip64_end->directory_size
                                                                    : zip.end.directory_size;
  const std::uint64_t count = zip64 ? zip.zip64_end->entries_total : zip.end.entries_total;
  FieldReader in(file, base, zip.directory_offset);
  for (std::uint64_t i = 0; i < count; ++i) {
    auto header = read_central(in);
    if (!header) return std::unexpected(header.error());
    zip.central.push_back(std::move(*header));
  }
  const std::uint64_t records = zip64 ? zip.zip64_end->offset : zip.end.offset;
  if (in.at() - zip.directory_offset != zip.directory_size || in.at() != records)
    return std::unexpected(at_text("directory size does not fit, directory", zip.directory_offset));
  return {};
}

std::expected<void, std::string> read_locals(std::span<const std::byte> file, std::uint64_t base,
                                             ZipFile& zip) {
  std::uint64_t expected_offset = base;
  for (const CentralHeader& central : zip.central) {
    if (central.local_offset != expected_offset)
      return std::unexpected(at_text("gap before the local header", central.local_offset));
    auto local = read_local(file, base, central);
    if (!local) return std::unexpected(local.error());
    expected_offset = central.local_offset + 30 + local->name_length + local->extra_length +
                      central.compressed_size;
    zip.locals.push_back(std::move(*local));
  }
  if (expected_offset != zip.directory_offset)
    return std::unexpected(at_text("gap before the directory", expected_offset));
  return {};
}

}  // namespace

std::expected<void, IoError> MemoryOutput::write(std::span<const std::byte> bytes) {
  if (should_fail(Op::kWrite)) {
    // As a file does when it fills up: part of the buffer lands before the write fails.
    store(bytes.first(bytes.size() / 2));
    return std::unexpected(os_error(fault_->error));
  }
  store(bytes);
  write_sizes_.push_back(bytes.size());
  return {};
}

void MemoryOutput::store(std::span<const std::byte> bytes) {
  const std::uint64_t at = position_ - base_;
  if (bytes_.size() < at + bytes.size()) bytes_.resize(at + bytes.size());
  std::copy(bytes.begin(), bytes.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(at));
  position_ += bytes.size();
}

std::expected<std::uint64_t, IoError> MemoryOutput::position() {
  if (should_fail(Op::kPosition)) return std::unexpected(os_error(fault_->error));
  return position_;
}

std::expected<void, IoError> MemoryOutput::seek(std::uint64_t offset) {
  if (should_fail(Op::kSeek)) return std::unexpected(os_error(fault_->error));
  if (offset < base_) return std::unexpected(os_error(EINVAL));
  position_ = offset;
  return {};
}

bool MemoryOutput::should_fail(Op op) {
  const int call = ++calls_[static_cast<int>(op)];
  ++total_calls_;
  const bool fail =
      fault_ && fault_->op == op && call >= fault_->nth && call < fault_->nth + fault_->times;
  if (fail && !first_failure_) first_failure_ = total_calls_;
  return fail;
}

std::expected<ZipFile, std::string> parse_zip(std::span<const std::byte> file, std::uint64_t base) {
  ZipFile zip;
  auto end = read_end(file, base);
  if (!end) return std::unexpected(end.error());
  zip.end = *end;
  if (auto zip64 = read_zip64(file, base, zip); !zip64) return std::unexpected(zip64.error());
  if (auto directory = read_directory(file, base, zip); !directory)
    return std::unexpected(directory.error());
  if (auto locals = read_locals(file, base, zip); !locals) return std::unexpected(locals.error());
  return zip;
}

std::expected<std::vector<std::byte>, std::string> inflate_raw(std::span<const std::byte> data) {
  z_stream stream{};
  if (inflateInit2(&stream, -15) != Z_OK) return std::unexpected("inflateInit2 failed");
  std::vector<std::byte> out;
  std::byte buffer[16384];
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    status = inflate(&stream, Z_NO_FLUSH);
    out.insert(out.end(), buffer, buffer + (sizeof buffer - stream.avail_out));
  }
  const uInt left = stream.avail_in;
  inflateEnd(&stream);
  if (status != Z_STREAM_END)
    return std::unexpected("inflate stopped with " + std::to_string(status));
  if (left != 0) return std::unexpected(std::to_string(left) + " bytes after the stream's end");
  return out;
}

std::uint32_t crc32_of(std::span<const std::byte> data) {
  return static_cast<std::uint32_t>(
      crc32_z(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));
}

std::span<const std::byte> as_bytes(std::string_view text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

std::vector<std::byte> noise(std::size_t size, std::uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<std::byte> bytes(size);
  for (std::byte& b : bytes) b = static_cast<std::byte>(generator() >> 24);
  return bytes;
}

std::vector<std::byte> sample_module(std::size_t size) {
  std::vector<std::byte> bytes = noise(size, 7);
  for (std::size_t i = 0; i < size; ++i)
    if ((i / 64) % 3 != 0) bytes[i] = static_cast<std::byte>(i % 17);
  return bytes;
}

SamplePackage::SamplePackage(std::vector<std::byte> wasm) : module(std::move(wasm)) {
  entries = {{"plugin.toml", as_bytes(kSampleToml)},
             {"main.wasm", module},
             {"signature.sig", as_bytes(kSampleSignature)}};
}

std::uint64_t compressed_total(const ZipFile& zip) {
  std::uint64_t total = 0;
  for (const auto& h : zip.central) total += h.compressed_size;
  return total;
}

void expect_package_records(const ZipFile& zip, std::span<const ArchiveEntry> entries) {
  ASSERT_EQ(zip.central.size(), entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto& c = zip.central[i];
    const auto& l = zip.locals[i];
    const auto& content = entries[i].content;
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.name, entries[i].name);
    EXPECT_EQ(l.name, entries[i].name);
    EXPECT_EQ(c.version_made_by, 0x0314);
    EXPECT_EQ(c.version_needed, 20);
    EXPECT_EQ(l.version_needed, 20);
    EXPECT_EQ(c.flags, 0);
    EXPECT_EQ(l.flags, 0);
    EXPECT_EQ(c.method, 8);
    EXPECT_EQ(l.method, 8);
    EXPECT_EQ(c.time, 0x0000);
    EXPECT_EQ(l.time, 0x0000);
    EXPECT_EQ(c.date, 0x0021);
    EXPECT_EQ(l.date, 0x0021);
    EXPECT_EQ(c.crc32, crc32_of(content));
    EXPECT_EQ(l.crc32, c.crc32);
    EXPECT_EQ(c.uncompressed_size, content.size());
    EXPECT_EQ(l.uncompressed_size, content.size());
    EXPECT_EQ(l.compressed_size, c.compressed_size);
    EXPECT_EQ(c.name_length, entries[i].name.size());
    EXPECT_EQ(c.extra_length, 0);
    EXPECT_EQ(l.extra_length, 0);
    EXPECT_EQ(c.comment_length, 0);
    EXPECT_EQ(c.disk_start, 0);
    EXPECT_EQ(c.internal_attributes, 0);
    EXPECT_EQ(c.external_attributes, 0x81A40000u);
    EXPECT_EQ(c.offset_field, l.offset);
    auto inflated = inflate_raw(l.data);
    ASSERT_TRUE(inflated.has_value()) << inflated.error();
    EXPECT_TRUE(std::equal(inflated->begin(), inflated->end(), content.begin(), content.end()));
  }
  EXPECT_EQ(zip.end.disk, 0);
  EXPECT_EQ(zip.end.directory_disk, 0);
  EXPECT_EQ(zip.end.entries_on_disk, entries.size());
  EXPECT_EQ(zip.end.entries_total, entries.size());
  EXPECT_EQ(zip.end.comment_length, 0);
  EXPECT_FALSE(zip.zip64_end.has_value());
}

ZipFile parsed(const MemoryOutput& output, std::uint64_t base) {
  auto zip = parse_zip(output.bytes(), base);
  EXPECT_TRUE(zip.has_value()) << zip.error();
  return zip.value_or(ZipFile{});
}

}  // namespace plugin_sign::testing
