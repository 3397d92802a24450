// Arbitrary contents for the three package entries, written by the real writer into memory
// and read back with the tests' own ZIP reader and raw inflate: the same bytes come back.
// The same entries are then written again under small size limits, taken from the input's
// last four bytes: the run fails exactly where an entry reaches a limit, with its message.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "archive/package_archive.hpp"
#include "archive/zip_test_support.hpp"
#include "archive/zip_writer.hpp"
#include "fuzz_check.hpp"

namespace plugin_sign::fuzzing {
namespace {

using testing::MemoryOutput;

// The input cut into three contents: two length bytes each for the first two, the rest for
// the third.
std::array<std::span<const std::byte>, 3> split(std::span<const std::byte> input) {
  std::array<std::span<const std::byte>, 3> parts;
  for (int i = 0; i < 2; ++i) {
    std::size_t length = 0;
    if (input.size() >= 2) {
      length =
          (std::to_integer<std::size_t>(input[0]) << 8 | std::to_integer<std::size_t>(input[1]));
      input = input.subspan(2);
    }
    length = std::min(length, input.size());
    parts[i] = input.first(length);
    input = input.subspan(length);
  }
  parts[2] = input;
  return parts;
}

std::string_view text_of(std::span<const std::byte> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

void check_entry(const testing::ZipFile& zip, std::size_t i, const ArchiveEntry& entry) {
  const auto& local = zip.locals[i];
  const auto& central = zip.central[i];
  require(local.name == entry.name && central.name == entry.name, "the entry name", local.name,
          entry.name);
  require(local.method == 8 && central.method == 8, "every entry is deflated");
  require(central.uncompressed_size == entry.content.size() &&
              local.uncompressed_size == central.uncompressed_size,
          "the uncompressed size");
  require(local.compressed_size == central.compressed_size &&
              central.compressed_size == local.data.size(),
          "the compressed size");
  const std::uint32_t crc = testing::crc32_of(entry.content);
  require(local.crc32 == crc && central.crc32 == crc, "the CRC-32");
  const auto inflated = testing::inflate_raw(local.data);
  require(inflated.has_value(), "the data inflates", inflated ? "" : inflated.error());
  require(text_of(*inflated) == text_of(entry.content), "the content comes back",
          text_of(*inflated), text_of(entry.content));
}

constexpr std::string_view kLargeFile = "Large file option has not been set";

// Limits from the input's last four bytes: small enough that the inputs reach them.
ZipLimits limits_from(std::span<const std::byte> input) {
  const auto at = [&](std::size_t k) {
    return std::to_integer<std::uint64_t>(input[input.size() - 4 + k]);
  };
  return ZipLimits{.uncompressed = 2 + ((at(0) << 8 | at(1)) % 4096),
                   .compressed = 2 + ((at(2) << 8 | at(3)) % 4096)};
}

// The failure that `limits` must cause, from each entry's content and compressed size: an
// entry whose uncompressed size reaches the marker value (the limit less one) fails its
// write; one whose compressed size reaches it fails when it is completed, that is when the next
// entry is added or at the finish, where the second attempt fails the same way.
std::optional<ArchiveFailure> expected_failure(std::span<const ArchiveEntry> entries,
                                               const testing::ZipFile& zip, ZipLimits limits) {
  const std::string large(kLargeFile);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string name(entries[i].name);
    if (entries[i].content.size() >= limits.uncompressed - 1)
      return ArchiveFailure{"failed to write " + name + " into zip: " + large, ""};
    if (zip.locals[i].data.size() < limits.compressed - 1) continue;
    if (i + 1 < entries.size())
      return ArchiveFailure{
          "failed to add " + std::string(entries[i + 1].name) + " to zip: i/o error: " + large, ""};
    return ArchiveFailure{"failed to finalize zip: i/o error: " + large,
                          "ZipWriter drop failed: i/o error: " + large};
  }
  return std::nullopt;
}

void check_limits(std::span<const ArchiveEntry> entries, const testing::ZipFile& zip,
                  const MemoryOutput& unlimited, ZipLimits limits) {
  MemoryOutput output;
  const auto written = write_archive(output, entries, limits);
  const auto expected = expected_failure(entries, zip, limits);
  if (!expected) {
    require(written.has_value(), "below the limits the archive is written",
            written ? "" : written.error().message);
    require(output.bytes() == unlimited.bytes(), "the limits change no byte");
    return;
  }
  require(!written.has_value(), "a limit reached fails the run", "", expected->message);
  require(written.error().message == expected->message, "the failure at the limit",
          written.error().message, expected->message);
  require(written.error().drop_report == expected->drop_report, "the second attempt's report",
          written.error().drop_report, expected->drop_report);
}

}  // namespace
}  // namespace plugin_sign::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace plugin_sign;
  using namespace plugin_sign::fuzzing;
  const auto input = std::as_bytes(std::span(data, size));
  const auto parts = split(input);
  const ArchiveEntry entries[] = {
      {"plugin.toml", parts[0]}, {"main.wasm", parts[1]}, {"signature.sig", parts[2]}};
  MemoryOutput output;
  const auto written = write_archive(output, entries);
  require(written.has_value(), "the archive is written", written ? "" : written.error().message);
  const auto zip = testing::parse_zip(output.bytes());
  require(zip.has_value(), "the archive reads back", zip ? "" : zip.error());
  require(zip->locals.size() == 3 && zip->central.size() == 3, "three entries");
  for (std::size_t i = 0; i < 3; ++i) check_entry(*zip, i, entries[i]);
  std::uint64_t compressed = 0;
  for (const auto& local : zip->locals) compressed += local.data.size();
  require(output.bytes().size() == 316 + compressed, "316 bytes plus the compressed data");
  if (input.size() >= 4) check_limits(entries, *zip, output, limits_from(input));
  return 0;
}
