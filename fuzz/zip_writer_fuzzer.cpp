// Arbitrary contents for the three package entries, written by the real writer into memory
// and read back with the tests' own ZIP reader and raw inflate: the same bytes come back.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

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

}  // namespace
}  // namespace plugin_sign::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace plugin_sign;
  using namespace plugin_sign::fuzzing;
  const auto parts = split(std::as_bytes(std::span(data, size)));
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
  return 0;
}
