// zip_reader.hpp — the strict package reader: exactly the layout the writer emits for the three
// package entries, every byte of it, and nothing more.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "archive/inflate.hpp"
#include "archive/zip_records.hpp"
#include "io/file_io.hpp"

namespace plugin_sign {

/// Why an archive was refused; `message` names the failed check and the entry.
struct ZipReadError {
  enum class Kind { kMalformed, kTooLarge, kOutOfMemory };
  Kind kind = Kind::kMalformed;
  std::string message;
  /// A header, record, name or their order differs from what the writer emits: the archive is
  /// not as plugin_sign wrote it. False for sizes, limits and the entries' content.
  bool layout = false;
};

/// Limits on the uncompressed sizes that plugin.toml and main.wasm declare.
struct PackageSizeLimits {
  std::uint64_t plugin_toml = 0;
  std::uint64_t main_wasm = 0;
};

/// The entries of a package, in archive order.
inline constexpr std::array<std::string_view, 3> kPackageEntryNames = {"plugin.toml", "main.wasm",
                                                                       "signature.sig"};
/// The size signature.sig must declare: the Base64 text of a 64-byte signature.
inline constexpr std::uint64_t kSignatureTextSize = 88;

/// An entry as the archive holds it: its records, and its compressed data inside the archive.
struct LocatedEntry {
  ZipEntryRecord record;
  std::span<const std::byte> data;
};

/// Checks every byte of `archive` except the compressed data: the three local headers back to
/// back from offset 0, each equal to what the writer writes for its name and sizes, then the
/// directory and end records (`check_directory`). Declared sizes are checked against `limits`
/// (kTooLarge), against the compressed size (a stream that cannot produce them, or is far
/// larger than DEFLATE needs for them, is kMalformed), and must stay below the ZIP64 marker.
[[nodiscard]] std::expected<std::array<LocatedEntry, 3>, ZipReadError> locate_package_entries(
    std::span<const std::byte> archive, const PackageSizeLimits& limits);

/// Succeeds when `tail` is exactly the central directory and end records that the writer
/// emits for `entries` at `directory_offset` (ZIP64 records included where offsets need
/// them); otherwise names the first field that differs.
[[nodiscard]] std::expected<void, ZipReadError> check_directory(
    std::span<const std::byte> tail, std::span<const ZipEntryRecord> entries,
    std::uint64_t directory_offset);

/// The most bytes per compressed byte that an entry may declare and still be inflated whole
/// before its signature verified: with the package's own bytes, what a package can make the
/// reader hold stays within 16 times its size, whatever its entries declare.
inline constexpr std::uint64_t kWholeInflationRatio = 15;

/// Whether `entry` is inflated whole at once (it declares at most 15 bytes per compressed
/// byte), rather than streamed (`stream_entry`) until its content is known to be wanted.
[[nodiscard]] bool inflates_whole(const LocatedEntry& entry);

/// `entry` inflated into exactly its declared size, its stream ending exactly at its
/// compressed size, and its CRC-32 checked.
[[nodiscard]] std::expected<ByteBuffer, ZipReadError> inflate_entry(const LocatedEntry& entry);

/// `inflate_entry`, with the same checks and messages, and `sink` handed the content as well, in
/// order: when `sink_thread_pays`, inflated by ISA-L on this thread while `sink` takes what is
/// already written on a thread of its own, otherwise `inflate_entry` and then the whole.
[[nodiscard]] std::expected<ByteBuffer, ZipReadError> inflate_entry(const LocatedEntry& entry,
                                                                    InflateSink& sink);

/// The checks of `inflate_entry`, with the same messages, without holding the content: `sink`
/// gets it a window at a time, and what that costs is the window, whatever the entry declares.
[[nodiscard]] std::expected<void, ZipReadError> stream_entry(const LocatedEntry& entry,
                                                             InflateSink& sink);

/// `entry` inflated whole, as `inflate_entry` checks it, by the inflater that `stream_entry`
/// runs: the very bytes `stream_entry` handed its sink, so that a digest taken from them then
/// holds for these without a second pass over them.
[[nodiscard]] std::expected<ByteBuffer, ZipReadError> inflate_streamed_entry(
    const LocatedEntry& entry);

/// The verified contents of the three entries.
struct PackageContents {
  ByteBuffer plugin_toml;
  ByteBuffer main_wasm;
  ByteBuffer signature;
};

/// `locate_package_entries`, then each entry inflated with `inflate_entry`; an entry that is
/// not inflated whole at once is streamed first, so that invalid data never gets a buffer of
/// its declared size.
[[nodiscard]] std::expected<PackageContents, ZipReadError> read_package_archive(
    std::span<const std::byte> archive, const PackageSizeLimits& limits);

/// The largest compressed size accepted for an entry of `size` bytes: a generous bound over
/// what any DEFLATE encoder writes, so that a package's file size is bounded by its limits.
[[nodiscard]] std::uint64_t max_compressed_size(std::uint64_t size);

/// The largest archive whose entries can be within `limits`. Allocates nothing.
[[nodiscard]] std::uint64_t max_package_archive_size(const PackageSizeLimits& limits);

}  // namespace plugin_sign
