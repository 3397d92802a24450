#include "archive/package_builder.hpp"

#include <zlib.h>

#include <algorithm>

#include "archive/zip_layout_check.hpp"
#include "archive/zip_records.hpp"

namespace plugin_sign::testing {
namespace {

constexpr std::uint64_t kCentralHeaderSize = 46;
constexpr std::uint64_t kEndSize = 22;

std::vector<std::byte> bytes_of(std::string_view text) {
  const auto view = std::as_bytes(std::span(text.data(), text.size()));
  return {view.begin(), view.end()};
}

std::string to_text(std::uint64_t value) {
  return std::to_string(value);
}

std::vector<std::byte> concat(std::vector<std::byte> a, std::span<const std::byte> b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// One final stored block holding `content` (at most 65535 bytes).
std::vector<std::byte> stored_stream(std::span<const std::byte> content) {
  const auto n = static_cast<std::uint16_t>(content.size());
  std::vector<std::byte> out = {std::byte{0x01}, std::byte(n & 0xFF), std::byte(n >> 8),
                                std::byte(~n & 0xFF), std::byte((~n >> 8) & 0xFF)};
  return concat(std::move(out), content);
}

std::vector<std::byte> module_bytes() {
  std::vector<std::byte> wasm = bytes_of(std::string_view("\0asm\1\0\0\0", 8));
  for (int i = 0; i < 3000; ++i) wasm.push_back(static_cast<std::byte>((i * 7) % 13 + (i / 300)));
  return wasm;
}

// The archive of `entries` with the directory and end records of `directory_entries` instead.
std::vector<std::byte> with_directory(std::span<const RawEntry> entries,
                                      std::span<const RawEntry> directory_entries) {
  const ArchiveLayout layout = layout_of(entries);
  std::vector<std::byte> bytes = build_archive(entries);
  bytes.resize(layout.directory);
  std::vector<ZipEntryRecord> records;
  for (std::size_t i = 0; i < directory_entries.size(); ++i) {
    const RawEntry& e = directory_entries[i];
    records.push_back({.name = e.name,
                       .crc32 = e.crc32,
                       .compressed_size = e.data.size(),
                       .uncompressed_size = e.size,
                       .header_offset = i < layout.local.size() ? layout.local[i] : 0});
  }
  return concat(std::move(bytes), encode_directory(records, layout.directory));
}

// A row that changes one field of the sample package: `local` and `central` name the field's
// offsets inside main.wasm's local and central header (0 for none).
struct FieldPatch {
  const char* name;
  std::uint64_t local;
  std::uint64_t central;
  int width;
  std::uint64_t value;
  const char* message;
};

constexpr FieldPatch kMainWasmPatches[] = {
    {"data descriptor flag", 6, 8, 2, 0x0008, "main.wasm: data descriptor flag set"},
    {"encryption flag", 6, 8, 2, 0x0001, "main.wasm: encrypted entry"},
    {"UTF-8 name flag", 6, 8, 2, 0x0800, "main.wasm: local header flags 0x0800, expected 0x0000"},
    {"stored method", 8, 10, 2, 0, "main.wasm: compression method 0, expected 8 (DEFLATE)"},
    {"local version needed", 4, 0, 2, 45, "main.wasm: local header version needed 45, expected 20"},
    {"local modification time", 10, 0, 2, 0x6000,
     "main.wasm: local header modification time 0x6000, expected 0x0000"},
    {"local modification date", 12, 0, 2, 0x5A21,
     "main.wasm: local header modification date 0x5A21, expected 0x0021"},
    {"local extra field length", 28, 0, 2, 4, "main.wasm: extra field in the local header"},
    {"ZIP64 marker as size", 22, 24, 4, 0xFFFFFFFF,
     "main.wasm: size field holds the ZIP64 marker 0xFFFFFFFF"},
    {"ZIP64 marker as compressed size", 18, 20, 4, 0xFFFFFFFF,
     "main.wasm: size field holds the ZIP64 marker 0xFFFFFFFF"},
    {"central CRC-32", 0, 16, 4, 0x12345678,
     "main.wasm: local header does not match the central directory (CRC-32)"},
    {"central compressed size", 0, 20, 4, 7,
     "main.wasm: local header does not match the central directory (compressed size)"},
    // A difference in a field's last byte alone is still named for that field.
    {"central CRC-32's top byte", 0, 19, 1, 0x5A,
     "main.wasm: local header does not match the central directory (CRC-32)"},
    {"central compressed size's top byte", 0, 23, 1, 1,
     "main.wasm: local header does not match the central directory (compressed size)"},
    {"central uncompressed size", 0, 24, 4, 7,
     "main.wasm: local header does not match the central directory (uncompressed size)"},
    {"central flags", 0, 8, 2, 0x0008,
     "main.wasm: local header does not match the central directory (flags)"},
    {"central method", 0, 10, 2, 0,
     "main.wasm: local header does not match the central directory (compression method)"},
    {"central modification time", 0, 12, 2, 1,
     "main.wasm: local header does not match the central directory (modification time)"},
    {"central modification date", 0, 14, 2, 0x0022,
     "main.wasm: local header does not match the central directory (modification date)"},
    {"central version made by", 0, 4, 2, 0x0014,
     "main.wasm: central directory version made by 0x0014, expected 0x0314"},
    {"central version needed", 0, 6, 2, 45,
     "main.wasm: central directory version needed 45, expected 20"},
    {"central disk number", 0, 34, 2, 1, "main.wasm: central directory disk number 1, expected 0"},
    {"central internal attributes", 0, 36, 2, 1,
     "main.wasm: central directory internal attributes 0x0001, expected 0x0000"},
    {"central external attributes", 0, 38, 4, 0x81ED0000,
     "main.wasm: central directory external attributes 0x81ED0000, expected 0x81A40000"},
    {"central extra field length", 0, 30, 2, 4, "main.wasm: extra field in the central directory"},
    {"central comment length", 0, 32, 2, 3, "main.wasm: entry comment in the central directory"},
    {"central name", 0, 46, 1, 'M', "unexpected entry name Main.wasm in the central directory"},
};

// Changes of one end record field: offset inside the record, width, value, message.
struct EndPatch {
  const char* name;
  std::uint64_t offset;
  int width;
  std::uint64_t value;
  const char* message;
};

constexpr EndPatch kEndPatches[] = {
    {"end record disk number", 4, 2, 1, "end record disk number 1, expected 0"},
    {"end record entries on this disk", 8, 2, 4, "end record entries on this disk 4, expected 3"},
    {"end record entries", 10, 2, 2, "end record entries 2, expected 3"},
    {"end record directory size's top byte", 15, 1, 1,
     "end record directory size 16777387, expected 171"},
};

}  // namespace

std::vector<std::byte> deflate_raw(std::span<const std::byte> content) {
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

RawEntry deflated_entry(std::string_view name, std::span<const std::byte> content) {
  return {.name = std::string(name),
          .data = deflate_raw(content),
          .crc32 = static_cast<std::uint32_t>(
              crc32_z(0, reinterpret_cast<const Bytef*>(content.data()), content.size())),
          .size = content.size()};
}

ArchiveLayout layout_of(std::span<const RawEntry> entries) {
  ArchiveLayout layout;
  std::uint64_t at = 0;
  for (const RawEntry& e : entries) {
    layout.local.push_back(at);
    at += kLocalHeaderSize + e.name.size() + e.data.size();
  }
  layout.directory = at;
  for (const RawEntry& e : entries) {
    layout.central.push_back(at);
    at += kCentralHeaderSize + e.name.size();
  }
  layout.end = at;
  return layout;
}

std::vector<std::byte> build_archive(std::span<const RawEntry> entries) {
  std::vector<std::byte> bytes;
  std::vector<ZipEntryRecord> records;
  for (const RawEntry& e : entries) {
    const ZipEntryRecord record{.name = e.name,
                                .crc32 = e.crc32,
                                .compressed_size = e.data.size(),
                                .uncompressed_size = e.size,
                                .header_offset = bytes.size()};
    std::vector<std::byte> header = encode_local_header(e.name);
    std::ranges::copy(encode_local_sizes(record), header.begin() + kLocalHeaderSizesOffset);
    bytes = concat(concat(std::move(bytes), header), e.data);
    records.push_back(record);
  }
  return concat(std::move(bytes), encode_directory(records, bytes.size()));
}

void put_le(std::vector<std::byte>& bytes, std::uint64_t offset, int width, std::uint64_t value) {
  for (int i = 0; i < width; ++i) bytes[offset + i] = static_cast<std::byte>(value >> (8 * i));
}

std::vector<RawEntry> sample_entries() {
  const auto toml = bytes_of("[package]\nname = \"demo\"\nversion = \"1.2.0\"\n");
  const auto signature = bytes_of(
      "q83vEjRWeJCrze8SNFZ4kKvN7xI0VniQq83vEjRWeJCrze8SNFZ4kKvN7xI0VniQq83vEjRWeJCrze8SNFZ4kA==");
  return {deflated_entry("plugin.toml", toml), deflated_entry("main.wasm", module_bytes()),
          deflated_entry("signature.sig", signature)};
}

PackageSizeLimits default_size_limits() {
  return {.plugin_toml = std::uint64_t{1} << 20, .main_wasm = std::uint64_t{1} << 32};
}

std::vector<HostileArchive> hostile_archives() {
  using Kind = ZipReadError::Kind;
  const std::vector<RawEntry> sample = sample_entries();
  const std::vector<std::byte> good = build_archive(sample);
  const ArchiveLayout layout = layout_of(sample);
  const std::span<const std::byte> end_record = std::span(good).last(kEndSize);
  std::vector<HostileArchive> rows;
  auto add = [&rows](std::string name, std::vector<std::byte> bytes, std::string message,
                     Kind kind = Kind::kMalformed) {
    rows.push_back({std::move(name), std::move(bytes), kind, std::move(message)});
  };
  auto entries_with = [&sample](std::size_t index, RawEntry entry) {
    std::vector<RawEntry> entries = sample;
    entries[index] = std::move(entry);
    return entries;
  };
  auto patched = [&good](std::uint64_t offset, int width, std::uint64_t value) {
    std::vector<std::byte> bytes = good;
    put_le(bytes, offset, width, value);
    return bytes;
  };

  add("empty file", {}, "empty file");
  add("not a ZIP", bytes_of("#!/bin/sh\necho not a package\n"), "not a ZIP archive");
  add("prepended bytes", concat(bytes_of("MZ\x90"), good), "data before the first local header");
  add("an end record alone", std::vector<std::byte>(end_record.begin(), end_record.end()),
      "data before the first local header");
  {
    std::vector<std::byte> bytes(end_record.begin(), end_record.end());
    put_le(bytes, 4, 2, 1);
    add("an end record alone, on disk 1", std::move(bytes), "data before the first local header");
  }
  add("the first three bytes of a local header", bytes_of("PK\x03"), "not a ZIP archive");
  {
    std::vector<std::byte> bytes = good;
    bytes.resize(layout.local[1] + 3);
    add("cut three bytes into main.wasm's local header", std::move(bytes),
        "main.wasm: local header runs past the end of the file");
  }
  {
    std::vector<std::byte> bytes = good;
    put_le(bytes, layout.local[0] + 26, 2, 11 + 256);
    // Read in full, the name runs on into the data: not plugin.toml.
    const std::string message =
        "unexpected entry name " + shown_name(std::span(bytes).subspan(layout.local[0] + 30, 267));
    add("a local name length off by 256", std::move(bytes), message);
  }
  {
    std::vector<std::byte> bytes = good;
    put_le(bytes, layout.local[0] + 26, 2, 0);
    bytes.resize(layout.local[0] + 30);
    add("an unnamed local header that ends the file", std::move(bytes),
        "unexpected entry name " + shown_name({}));
  }
  {
    std::vector<std::byte> bytes = good;
    bytes.resize(layout.local[1]);
    add("cut where plugin.toml's data ends", std::move(bytes),
        "main.wasm: local header runs past the end of the file");
  }
  {
    std::vector<std::byte> bytes = good;
    bytes.resize(layout.local[0] + 30 + 11);
    add("cut right after plugin.toml's local name", std::move(bytes),
        "plugin.toml: data runs past the end of the file");
  }
  {
    RawEntry padded = sample[0];
    padded.data.resize(max_compressed_size(padded.size), std::byte{'x'});
    add("stream padded to the most DEFLATE may need", build_archive(entries_with(0, padded)),
        "plugin.toml: DEFLATE stream ends after " + to_text(sample[0].data.size()) + " of its " +
            to_text(padded.data.size()) + " compressed bytes");
  }
  add("appended bytes", concat(good, bytes_of("trailing")), "data after the end record");
  add("two end records", concat(good, end_record), "second end record after the end record");
  add("an end record's length of other bytes appended",
      concat(good, std::vector<std::byte>(kEndSize, std::byte{'x'})), "data after the end record");
  {
    std::vector<std::byte> bytes = concat(good, end_record);
    put_le(bytes, good.size() + 4, 2, 1);
    add("two end records, the second on another disk", std::move(bytes),
        "second end record after the end record");
  }
  {
    std::vector<std::byte> bytes = concat(good, bytes_of("comment"));
    put_le(bytes, layout.end + 20, 2, 7);
    add("archive comment", std::move(bytes), "archive comment");
  }
  add("truncated by one byte", std::vector(good.begin(), good.end() - 1), "truncated file");
  add("truncated inside main.wasm's data",
      std::vector(good.begin(), good.begin() + layout.local[1] + 49),
      "main.wasm: data runs past the end of the file");
  add("truncated inside a local header",
      std::vector(good.begin(), good.begin() + layout.local[1] + 10),
      "main.wasm: local header runs past the end of the file");
  add("truncated inside main.wasm's name",
      std::vector(good.begin(), good.begin() + layout.local[1] + kLocalHeaderSize + 4),
      "main.wasm: local header runs past the end of the file");
  // Four bytes left are enough to tell that they are not a header's signature.
  add("four bytes that are no local header",
      concat(std::vector(good.begin(), good.begin() + layout.local[1]), bytes_of("PK\x05\x06")),
      "no local header for main.wasm where plugin.toml's data ends");
  add("only a local header signature", bytes_of("PK\x03\x04"),
      "plugin.toml: local header runs past the end of the file");

  add("duplicate local entry", build_archive(std::vector{sample[0], sample[0], sample[2]}),
      "duplicate entry plugin.toml");
  add("duplicate fourth entry",
      build_archive(std::vector{sample[0], sample[1], sample[2], sample[1]}),
      "duplicate entry main.wasm");
  add("fourth entry",
      build_archive(std::vector{sample[0], sample[1], sample[2],
                                deflated_entry("README", bytes_of("read me"))}),
      "unexpected fourth entry README");
  add("duplicate in the central directory only",
      with_directory(sample, std::vector{sample[0], sample[1], sample[2], sample[1]}),
      "duplicate entry main.wasm in the central directory");
  add("entry missing from the central directory",
      with_directory(sample, std::vector{sample[0], sample[1]}),
      "signature.sig missing from the central directory");
  add("central directory out of order",
      with_directory(sample, std::vector{sample[1], sample[0], sample[2]}),
      "entry main.wasm out of order, expected plugin.toml in the central directory");
  add("entries out of order", build_archive(std::vector{sample[1], sample[0], sample[2]}),
      "entry main.wasm out of order, expected plugin.toml");
  {
    RawEntry traversal = sample[1];
    traversal.name = "../main.wasm";
    add("traversal name", build_archive(entries_with(1, traversal)),
        "unexpected entry name ../main.wasm");
    traversal.name = std::string("main.wasm\0.exe", 14);
    add("NUL in a name", build_archive(entries_with(1, traversal)),
        "unexpected entry name main.wasm\\x00.exe");
    // A name chosen to flood the error line is shown up to its 64th byte only.
    traversal.name = std::string(65, 'n');
    add("long name", build_archive(entries_with(1, traversal)),
        "unexpected entry name " + std::string(64, 'n') + "...");
  }

  for (const FieldPatch& p : kMainWasmPatches) {
    std::vector<std::byte> bytes = good;
    if (p.local != 0) put_le(bytes, layout.local[1] + p.local, p.width, p.value);
    if (p.central != 0) put_le(bytes, layout.central[1] + p.central, p.width, p.value);
    add(p.name, std::move(bytes), p.message);
  }
  for (const EndPatch& p : kEndPatches)
    add(p.name, patched(layout.end + p.offset, p.width, p.value), p.message);
  add("end record directory offset", patched(layout.end + 16, 4, layout.directory + 1),
      "end record directory offset " + to_text(layout.directory + 1) + ", expected " +
          to_text(layout.directory));
  {
    // What a ZIP64 writer puts between the directory and the end record, in an archive that
    // needs none.
    std::vector<std::byte> bytes(good.begin(), good.begin() + layout.end);
    std::vector<std::byte> zip64_end(56);
    put_le(zip64_end, 0, 4, 0x06064b50);
    put_le(zip64_end, 4, 8, 44);
    bytes = concat(concat(std::move(bytes), zip64_end), end_record);
    add("ZIP64 end record in a small archive", std::move(bytes), "unexpected ZIP64 end record");
  }
  add("no central directory header", patched(layout.directory, 4, 0x12345678),
      "plugin.toml: no central directory header where expected");
  {
    // What sits where plugin.toml's central header belongs is judged by its name only once
    // its signature is right: another writer's header for another name is named for the name.
    std::vector<std::byte> foreign = patched(layout.central[0] + 4, 2, 0x031E);
    put_le(foreign, layout.central[0] + kCentralHeaderSize, 1, 'P');
    add("another writer's central header for another name", std::move(foreign),
        "unexpected entry name Plugin.toml in the central directory");
    std::vector<std::byte> damaged = patched(layout.central[0] + 3, 1, 0);
    put_le(damaged, layout.central[0] + kCentralHeaderSize, 1, 'P');
    add("damaged central signature before another name", std::move(damaged),
        "plugin.toml: no central directory header where expected");
    // A header that ends the file where its name would start has an empty name, not a cut one.
    std::vector<std::byte> unnamed(good.begin(), good.begin() + layout.central[1]);
    unnamed.resize(layout.central[0] + kCentralHeaderSize);
    put_le(unnamed, layout.central[0] + 28, 2, 0);
    add("unnamed central header that ends the file", std::move(unnamed),
        "unexpected entry name  in the central directory");
  }
  {
    // The file ends inside a record that sits where the directory belongs: its fields and its
    // name are read only as far as the file goes.
    const std::vector<std::byte> entries(good.begin(), good.begin() + layout.directory);
    const std::span<const std::byte> fourth(good.begin() + layout.local[1],
                                            kLocalHeaderSize + sample[1].name.size());
    add("fourth local header cut inside its signature", concat(entries, fourth.first(3)),
        "truncated file");
    add("fourth local header cut inside its fixed fields", concat(entries, fourth.first(20)),
        "truncated file");
    add("fourth local header cut inside its name",
        concat(entries, fourth.first(kLocalHeaderSize + 3)), "truncated file");
    // A signature read whole is named, even with nothing after it.
    add("end record signature alone where the directory starts",
        concat(entries, end_record.first(4)), "plugin.toml missing from the central directory");
    RawEntry long_name = sample[1];
    long_name.name = std::string(300, 'n');
    add("fourth central header with a long name",
        with_directory(sample, std::vector{sample[0], sample[1], sample[2], long_name}),
        "unexpected fourth entry " + std::string(64, 'n') + "... in the central directory");
    std::vector<std::byte> cut_entries = patched(layout.end + 10, 2, 2);
    cut_entries.resize(layout.end + 11);
    add("end record cut inside a changed field", std::move(cut_entries), "truncated file");
    std::vector<std::byte> no_comment_length = patched(layout.end + 16, 4, 7);
    no_comment_length.resize(layout.end + 20);
    add("end record without its comment length, directory offset changed",
        std::move(no_comment_length),
        "end record directory offset 7, expected " + to_text(layout.directory));
  }
  add("overlapping entries: offset into another entry",
      patched(layout.central[2] + 42, 4, layout.local[1]),
      "signature.sig: central directory points at offset " + to_text(layout.local[1]) +
          ", not at its local header at " + to_text(layout.local[2]));
  {
    // plugin.toml's data claims main.wasm's local header as well.
    const std::uint64_t size = sample[0].data.size() + kLocalHeaderSize + 9;
    std::vector<std::byte> bytes = patched(18, 4, size);
    put_le(bytes, layout.central[0] + 20, 4, size);
    add("overlapping entries: data over the next header", std::move(bytes),
        "no local header for main.wasm where plugin.toml's data ends");
  }

  {
    RawEntry big = deflated_entry("plugin.toml", std::vector<std::byte>((1 << 20) + 1));
    add("plugin.toml past its limit", build_archive(entries_with(0, big)),
        "plugin.toml: declared size 1048577 is larger than the limit of 1048576 bytes",
        Kind::kTooLarge);
  }
  {
    RawEntry bomb = deflated_entry("main.wasm", {});
    bomb.size = 3'000'000'000;
    add("bomb", build_archive(entries_with(1, bomb)),
        "main.wasm: declared size 3000000000 cannot come from 2 compressed bytes");
    // The gate sits at 1032 bytes out for each byte in: at the ratio the stream itself is
    // judged, one byte more is refused unread.
    bomb.size = 2 * 1032;
    add("declared size at the inflation ratio", build_archive(entries_with(1, bomb)),
        "main.wasm: inflates to 0 bytes, fewer than its declared size 2064");
    bomb.size = 2 * 1032 + 1;
    add("declared size one byte past the inflation ratio", build_archive(entries_with(1, bomb)),
        "main.wasm: declared size 2065 cannot come from 2 compressed bytes");
  }
  {
    RawEntry short_signature = deflated_entry("signature.sig", std::vector<std::byte>(87));
    add("signature.sig of 87 bytes", build_archive(entries_with(2, short_signature)),
        "signature.sig: declared size 87, expected 88");
  }
  {
    RawEntry padded = sample[0];
    std::vector<std::byte> empty_blocks;
    for (int i = 0; i < 1000; ++i)
      empty_blocks = concat(
          std::move(empty_blocks),
          std::vector{std::byte{0}, std::byte{0}, std::byte{0}, std::byte{0xFF}, std::byte{0xFF}});
    padded.data = concat(std::move(empty_blocks), padded.data);
    add("stream padded far beyond need", build_archive(entries_with(0, padded)),
        "plugin.toml: compressed size " + to_text(padded.data.size()) +
            " is far larger than DEFLATE needs for " + to_text(padded.size) + " bytes");
  }
  {
    RawEntry junk = sample[1];
    junk.data = concat(junk.data, bytes_of("xyz"));
    add("stream shorter than its compressed size", build_archive(entries_with(1, junk)),
        "main.wasm: DEFLATE stream ends after " + to_text(sample[1].data.size()) + " of its " +
            to_text(junk.data.size()) + " compressed bytes");
  }
  {
    // A stored block that goes on into the next local header.
    RawEntry stored = sample[0];
    const auto toml = bytes_of("[package]\nname = \"demo\"\nversion = \"1.2.0\"\n");
    stored.data = stored_stream(toml);
    stored.data.resize(stored.data.size() - 7);
    add("stream longer than its compressed size", build_archive(entries_with(0, stored)),
        "plugin.toml: invalid DEFLATE data, or a stream that does not end within its " +
            to_text(stored.data.size()) + " compressed bytes");
  }
  {
    RawEntry cut = sample[1];
    cut.data.resize(cut.data.size() / 2);
    add("stream cut short", build_archive(entries_with(1, cut)),
        "main.wasm: invalid DEFLATE data, or a stream that does not end within its " +
            to_text(cut.data.size()) + " compressed bytes");
    RawEntry reserved = sample[1];
    reserved.data.assign(reserved.data.size(), std::byte{0xFF});
    add("reserved block type", build_archive(entries_with(1, reserved)),
        "main.wasm: invalid DEFLATE data, or a stream that does not end within its " +
            to_text(reserved.data.size()) + " compressed bytes");
  }
  {
    // A match of 3 bytes whose distance reaches before the stream's first byte, then "a": room
    // for all four, so that the distance is the fault, not the size.
    RawEntry lookback = deflated_entry("main.wasm", bytes_of("aaaa"));
    lookback.data = {std::byte{0x03}, std::byte{0x82}, std::byte{0x44}, std::byte{0x00}};
    add("distance before the stream's start", build_archive(entries_with(1, lookback)),
        "main.wasm: invalid DEFLATE data, or a stream that does not end within its 4 compressed "
        "bytes");
  }
  {
    RawEntry more = sample[1];
    more.size += 1;
    add("declared size above the content", build_archive(entries_with(1, more)),
        "main.wasm: inflates to " + to_text(sample[1].size) +
            " bytes, fewer than its declared size " + to_text(more.size));
    RawEntry less = sample[1];
    less.size -= 1;
    add("declared size below the content", build_archive(entries_with(1, less)),
        "main.wasm: inflates to more than its declared size " + to_text(less.size));
    RawEntry crc = sample[1];
    crc.crc32 ^= 1;
    add("CRC-32 mismatch", build_archive(entries_with(1, crc)), "main.wasm: CRC-32 does not match");
  }
  return rows;
}

}  // namespace plugin_sign::testing
