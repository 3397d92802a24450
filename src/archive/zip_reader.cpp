#include "archive/zip_reader.hpp"

#include <algorithm>
#include <vector>

#include "archive/inflate.hpp"
#include "archive/zip_layout_check.hpp"

namespace plugin_sign {
namespace {

constexpr std::uint64_t kNameLengthOffset = 26;
// DEFLATE's densest code: a 258-byte match in two bits, four matches to a byte.
constexpr std::uint64_t kMaxInflationRatio = 1032;

std::unexpected<ZipReadError> malformed(std::string message) {
  return std::unexpected(
      ZipReadError{.kind = ZipReadError::Kind::kMalformed, .message = std::move(message)});
}

std::unexpected<ZipReadError> layout_fault(std::string message) {
  return std::unexpected(ZipReadError{
      .kind = ZipReadError::Kind::kMalformed, .message = std::move(message), .layout = true});
}

// The first four bytes are no local header: tell data prepended to an archive from a file
// that is no archive at all.
std::unexpected<ZipReadError> no_first_header(std::span<const std::byte> archive) {
  if (archive.empty()) return malformed("empty file");
  if (archive.size() >= kEndSize && read_le(archive, archive.size() - kEndSize, 4) == kEndSignature)
    return layout_fault("data before the first local header");
  return malformed("not a ZIP archive");
}

std::string with_name(std::string_view name, std::string_view text) {
  return std::string(name) + ": " + std::string(text);
}

// Declared sizes, checked before anything is allocated for the entry.
std::expected<void, ZipReadError> check_sizes(const ZipEntryRecord& entry, std::size_t index,
                                              const PackageSizeLimits& limits) {
  const std::uint64_t size = entry.uncompressed_size;
  if (index == 2 && size != kSignatureTextSize)
    return malformed(with_name(entry.name, "declared size " + std::to_string(size) + ", expected " +
                                               std::to_string(kSignatureTextSize)));
  const std::uint64_t limit = index == 0 ? limits.plugin_toml : limits.main_wasm;
  if (index < 2 && size > limit)
    return std::unexpected(
        ZipReadError{.kind = ZipReadError::Kind::kTooLarge,
                     .message = with_name(entry.name, "declared size " + std::to_string(size) +
                                                          " is larger than the limit of " +
                                                          std::to_string(limit) + " bytes")});
  const std::uint64_t compressed = entry.compressed_size;
  if (size > compressed * kMaxInflationRatio)
    return malformed(with_name(entry.name, "declared size " + std::to_string(size) +
                                               " cannot come from " + std::to_string(compressed) +
                                               " compressed bytes"));
  if (compressed > max_compressed_size(size))
    return malformed(with_name(entry.name, "compressed size " + std::to_string(compressed) +
                                               " is far larger than DEFLATE needs for " +
                                               std::to_string(size) + " bytes"));
  return {};
}

// The local header of entry `index` at `offset`, where the previous entry's data ended.
std::expected<LocatedEntry, ZipReadError> locate_entry(std::span<const std::byte> archive,
                                                       std::uint64_t offset, std::size_t index,
                                                       const PackageSizeLimits& limits) {
  const std::string_view name = kPackageEntryNames[index];
  const std::uint64_t size = archive.size();
  const auto header = archive.subspan(offset);
  if (header.size() >= 4 && read_le(header, 0, 4) != kLocalSignature) {
    if (index == 0) return no_first_header(archive);
    return layout_fault("no local header for " + std::string(name) + " where " +
                        std::string(kPackageEntryNames[index - 1]) + "'s data ends");
  }
  if (index == 0 && header.size() < 4) return no_first_header(archive);
  if (header.size() < kLocalHeaderSize)
    return layout_fault(with_name(name, "local header runs past the end of the file"));
  const std::uint64_t name_length = read_le(header, kNameLengthOffset, 2);
  if (size - offset - kLocalHeaderSize < name_length)
    return layout_fault(with_name(name, "local header runs past the end of the file"));
  const auto found = header.subspan(kLocalHeaderSize, name_length);
  if (!std::ranges::equal(found, std::as_bytes(std::span(name))))
    return layout_fault(entry_name_fault(found, index, kPackageEntryNames));

  ZipEntryRecord record{.name = std::string(name),
                        .crc32 = static_cast<std::uint32_t>(read_le(header, 14, 4)),
                        .compressed_size = read_le(header, 18, 4),
                        .uncompressed_size = read_le(header, 22, 4),
                        .header_offset = offset};
  if (record.compressed_size == kZip64Marker || record.uncompressed_size == kZip64Marker)
    return layout_fault(with_name(name, "size field holds the ZIP64 marker 0xFFFFFFFF"));
  std::vector<std::byte> expected = encode_local_header(name);
  std::ranges::copy(encode_local_sizes(record), expected.begin() + kLocalHeaderSizesOffset);
  if (auto difference = local_header_difference(header, expected, name))
    return layout_fault(std::move(*difference));
  if (auto sizes = check_sizes(record, index, limits); !sizes)
    return std::unexpected(sizes.error());

  const std::uint64_t data_offset = offset + kLocalHeaderSize + name_length;
  if (size - data_offset < record.compressed_size)
    return layout_fault(with_name(name, "data runs past the end of the file"));
  const auto data = archive.subspan(data_offset, record.compressed_size);
  return LocatedEntry{.record = std::move(record), .data = data};
}

std::string inflate_fault(const ZipEntryRecord& entry, const InflateError& error) {
  switch (error.fault) {
    case InflateFault::kOutOfMemory:
      return "out of memory for " + std::to_string(entry.uncompressed_size) + " bytes";
    case InflateFault::kInvalidData:
      return "invalid DEFLATE data, or a stream that does not end within its " +
             std::to_string(entry.compressed_size) + " compressed bytes";
    case InflateFault::kInputLeftOver:
      return "DEFLATE stream ends after " + std::to_string(error.count) + " of its " +
             std::to_string(entry.compressed_size) + " compressed bytes";
    case InflateFault::kOutputTooLong:
      return "inflates to more than its declared size " + std::to_string(entry.uncompressed_size);
    case InflateFault::kOutputTooShort:
      return "inflates to " + std::to_string(error.count) +
             " bytes, fewer than its declared size " + std::to_string(entry.uncompressed_size);
  }
  return {};
}

ZipReadError inflate_failure(const ZipEntryRecord& entry, const InflateError& error) {
  const auto kind = error.fault == InflateFault::kOutOfMemory ? ZipReadError::Kind::kOutOfMemory
                                                              : ZipReadError::Kind::kMalformed;
  return ZipReadError{.kind = kind, .message = with_name(entry.name, inflate_fault(entry, error))};
}

// Content inflated by ISA-L, whose CRC-32 was taken as it was written: refused as
// `inflate_entry` refuses it.
std::expected<ByteBuffer, ZipReadError> checked_crc32(
    const LocatedEntry& entry, std::expected<InflatedContent, InflateError> content) {
  if (!content) return std::unexpected(inflate_failure(entry.record, content.error()));
  if (content->crc32 != entry.record.crc32)
    return malformed(with_name(entry.record.name, "CRC-32 does not match"));
  return std::move(content->bytes);
}

// The sink of a stream that is only checked.
class Discard final : public InflateSink {
 public:
  void take(std::span<const std::byte>) override {}
};

}  // namespace

std::expected<std::array<LocatedEntry, 3>, ZipReadError> locate_package_entries(
    std::span<const std::byte> archive, const PackageSizeLimits& limits) {
  std::array<LocatedEntry, 3> entries;
  std::uint64_t offset = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    auto entry = locate_entry(archive, offset, i, limits);
    if (!entry) return std::unexpected(entry.error());
    offset = static_cast<std::uint64_t>(entry->data.data() - archive.data()) + entry->data.size();
    entries[i] = std::move(*entry);
  }
  const std::array<ZipEntryRecord, 3> records = {entries[0].record, entries[1].record,
                                                 entries[2].record};
  if (auto directory = check_directory(archive.subspan(offset), records, offset); !directory)
    return std::unexpected(directory.error());
  return entries;
}

bool inflates_whole(const LocatedEntry& entry) {
  return entry.record.uncompressed_size <= entry.record.compressed_size * kWholeInflationRatio;
}

std::expected<ByteBuffer, ZipReadError> inflate_entry(const LocatedEntry& entry) {
  auto content = inflate_exact(entry.data, entry.record.uncompressed_size);
  if (!content) return std::unexpected(inflate_failure(entry.record, content.error()));
  if (zip_crc32(content->bytes()) != entry.record.crc32)
    return malformed(with_name(entry.record.name, "CRC-32 does not match"));
  return std::move(*content);
}

std::expected<ByteBuffer, ZipReadError> inflate_entry(const LocatedEntry& entry,
                                                      InflateSink& sink) {
  const std::uint64_t size = entry.record.uncompressed_size;
  if (!sink_thread_pays(size)) {
    auto content = inflate_entry(entry);
    if (content) sink.take(content->bytes());
    return content;
  }
  auto content = inflate_exact_streamed(entry.data, size, sink, SinkThread::kOwn);
  // ISA-L stops where its input ends; libdeflate reads on as if zeros followed, and may then
  // find a stream cut short too long or too short instead. Its fault is the one an entry
  // inflated whole has always been refused for; whatever it says, the entry is refused.
  if (!content && content.error().fault == InflateFault::kInvalidData)
    if (auto whole = inflate_entry(entry); !whole) return std::unexpected(whole.error());
  return checked_crc32(entry, std::move(content));
}

std::expected<ByteBuffer, ZipReadError> inflate_streamed_entry(const LocatedEntry& entry) {
  return checked_crc32(entry, inflate_exact_streamed(entry.data, entry.record.uncompressed_size));
}

std::expected<void, ZipReadError> stream_entry(const LocatedEntry& entry, InflateSink& sink) {
  auto crc = inflate_streaming(entry.data, entry.record.uncompressed_size, sink);
  if (!crc) return std::unexpected(inflate_failure(entry.record, crc.error()));
  if (*crc != entry.record.crc32)
    return malformed(with_name(entry.record.name, "CRC-32 does not match"));
  return {};
}

std::expected<PackageContents, ZipReadError> read_package_archive(
    std::span<const std::byte> archive, const PackageSizeLimits& limits) {
  auto entries = locate_package_entries(archive, limits);
  if (!entries) return std::unexpected(entries.error());
  PackageContents contents;
  ByteBuffer* outputs[] = {&contents.plugin_toml, &contents.main_wasm, &contents.signature};
  for (std::size_t i = 0; i < entries->size(); ++i) {
    const LocatedEntry& entry = (*entries)[i];
    Discard discard;
    if (!inflates_whole(entry))
      if (auto checked = stream_entry(entry, discard); !checked)
        return std::unexpected(checked.error());
    auto content = inflate_entry(entry);
    if (!content) return std::unexpected(content.error());
    *outputs[i] = std::move(*content);
  }
  return contents;
}

std::uint64_t max_compressed_size(std::uint64_t size) {
  // zlib's own bound at level 6 adds about one byte in 3300, stored blocks one in 13000.
  const std::uint64_t bounded = std::min(size, kZip64Marker);
  return std::min(bounded + bounded / 256 + 4096, kZip64Marker - 1);
}

std::uint64_t max_package_archive_size(const PackageSizeLimits& limits) {
  const std::uint64_t sizes[] = {limits.plugin_toml, limits.main_wasm, kSignatureTextSize};
  // The directory in its largest form: every offset past the ZIP64 marker.
  std::uint64_t total = kZip64EndSize + kZip64LocatorSize + kEndSize;
  for (std::size_t i = 0; i < kPackageEntryNames.size(); ++i) {
    const std::uint64_t size = std::min(sizes[i], kZip64Marker - 1);
    const std::uint64_t name = kPackageEntryNames[i].size();
    total += kLocalHeaderSize + name + max_compressed_size(size) + kCentralHeaderSize + name +
             kZip64ExtraSize;
  }
  return total;
}

}  // namespace plugin_sign
