#include "archive/zip_records.hpp"

#include <algorithm>

namespace plugin_sign {
namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint16_t kZip64ExtraId = 0x0001;

constexpr std::uint16_t kVersionNeeded = 20;
constexpr std::uint16_t kVersionNeededZip64 = 45;
constexpr std::uint16_t kUnixHost = 3 << 8;
constexpr std::uint16_t kMethodDeflate = 8;
constexpr std::uint16_t kDosTime = 0x0000;  // 00:00:00
constexpr std::uint16_t kDosDate = 0x0021;  // 1980-01-01
constexpr std::uint32_t kExternalAttributes = 0100644u << 16;
constexpr std::uint64_t kCountMarker = 0xFFFF;
// The ZIP64 end record after its signature and this size field.
constexpr std::uint64_t kZip64EndRemainder = 44;

// Appends little-endian fields to a byte vector.
class FieldWriter {
 public:
  explicit FieldWriter(std::vector<std::byte>& out) : out_(out) {}
  void u16(std::uint64_t value) { put(value, 2); }
  void u32(std::uint64_t value) { put(value, 4); }
  void u64(std::uint64_t value) { put(value, 8); }
  void text(std::string_view text) {
    for (char c : text) out_.push_back(static_cast<std::byte>(c));
  }

 private:
  void put(std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out_.push_back(static_cast<std::byte>(value >> (8 * i)));
  }
  std::vector<std::byte>& out_;
};

// The entry fields shared by the local and the central header, from "compression method"
// up to and including the uncompressed size.
void put_method_stamp_and_sizes(FieldWriter& out, std::uint32_t crc, std::uint64_t compressed,
                                std::uint64_t uncompressed) {
  out.u16(kMethodDeflate);
  out.u16(kDosTime);
  out.u16(kDosDate);
  out.u32(crc);
  out.u32(compressed);
  out.u32(uncompressed);
}

void put_central_header(FieldWriter& out, const ZipEntryRecord& entry) {
  const bool zip64_offset = entry.header_offset >= kZip64Marker;
  const std::uint16_t needed = zip64_offset ? kVersionNeededZip64 : kVersionNeeded;
  out.u32(kCentralHeaderSignature);
  out.u16(kUnixHost | needed);
  out.u16(needed);
  out.u16(0);  // flags
  put_method_stamp_and_sizes(out, entry.crc32, entry.compressed_size, entry.uncompressed_size);
  out.u16(entry.name.size());
  out.u16(zip64_offset ? 12 : 0);  // extra field length
  out.u16(0);                      // comment length
  out.u16(0);                      // disk number start
  out.u16(0);                      // internal attributes
  out.u32(kExternalAttributes);
  out.u32(zip64_offset ? kZip64Marker : entry.header_offset);
  out.text(entry.name);
  if (zip64_offset) {
    out.u16(kZip64ExtraId);
    out.u16(8);
    out.u64(entry.header_offset);
  }
}

void put_zip64_end(FieldWriter& out, std::uint64_t count, std::uint64_t size,
                   std::uint64_t offset) {
  out.u32(kZip64EndSignature);
  out.u64(kZip64EndRemainder);
  out.u16(kUnixHost | kVersionNeededZip64);
  out.u16(kVersionNeededZip64);
  out.u32(0);  // this disk
  out.u32(0);  // disk where the central directory starts
  out.u64(count);
  out.u64(count);
  out.u64(size);
  out.u64(offset);
}

void put_zip64_locator(FieldWriter& out, std::uint64_t zip64_end_offset) {
  out.u32(kZip64LocatorSignature);
  out.u32(0);  // disk with the ZIP64 end record
  out.u64(zip64_end_offset);
  out.u32(1);  // total disks
}

void put_end(FieldWriter& out, std::uint64_t count, std::uint64_t size, std::uint64_t offset) {
  const std::uint64_t count16 = std::min(count, kCountMarker);
  out.u32(kEndSignature);
  out.u16(0);  // this disk
  out.u16(0);  // disk where the central directory starts
  out.u16(count16);
  out.u16(count16);
  out.u32(std::min(size, kZip64Marker));
  out.u32(std::min(offset, kZip64Marker));
  out.u16(0);  // comment length
}

}  // namespace

std::vector<std::byte> encode_local_header(std::string_view name) {
  std::vector<std::byte> bytes;
  FieldWriter out(bytes);
  out.u32(kLocalHeaderSignature);
  out.u16(kVersionNeeded);
  out.u16(0);  // flags
  put_method_stamp_and_sizes(out, 0, 0, 0);
  out.u16(name.size());
  out.u16(0);  // extra field length
  out.text(name);
  return bytes;
}

std::array<std::byte, 12> encode_local_sizes(const ZipEntryRecord& entry) {
  std::vector<std::byte> bytes;
  FieldWriter out(bytes);
  out.u32(entry.crc32);
  out.u32(entry.compressed_size);
  out.u32(entry.uncompressed_size);
  std::array<std::byte, 12> sizes{};
  std::copy(bytes.begin(), bytes.end(), sizes.begin());
  return sizes;
}

bool needs_zip64_end(std::uint64_t directory_offset, std::uint64_t directory_size,
                     std::uint64_t count) {
  return directory_offset >= kZip64Marker || directory_size >= kZip64Marker ||
         count >= kCountMarker;
}

std::vector<std::byte> encode_directory(std::span<const ZipEntryRecord> entries,
                                        std::uint64_t directory_offset) {
  std::vector<std::byte> bytes;
  FieldWriter out(bytes);
  for (const ZipEntryRecord& entry : entries) put_central_header(out, entry);
  const std::uint64_t size = bytes.size();
  const std::uint64_t count = entries.size();
  if (needs_zip64_end(directory_offset, size, count)) {
    const std::uint64_t zip64_end_offset = directory_offset + size;
    put_zip64_end(out, count, size, directory_offset);
    put_zip64_locator(out, zip64_end_offset);
  }
  put_end(out, count, size, directory_offset);
  return bytes;
}

}  // namespace plugin_sign
