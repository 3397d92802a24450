// Arbitrary bytes as a package: the strict reader and verify_package must never crash, must
// agree with each other, and whatever the reader accepts must be byte for byte the archive
// the writer's record code makes of the entries found, so nothing outside that layout passes.
// Since that record code is what the reader compares with, the accepted layout is also read
// back field by field with plain byte arithmetic, against the values the format fixes.
// Until the signature verified, verify_package maps no more than 16 times the package's size,
// whatever its entries declare: the fuzzer is linked with mmap and munmap wrapped (see
// CMakeLists.txt), so that the library itself carries no hook for it.
#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "archive/zip_reader.hpp"
#include "archive/zip_records.hpp"
#include "fuzz_check.hpp"
#include "plugin_sign/verify.hpp"
#include "signing/signing_key.hpp"

// The bytes mapped while `tracking`, and their peak; the fuzzer runs one input at a time.
namespace {
bool tracking = false;
std::size_t mapped = 0;
std::size_t peak_mapped = 0;
}  // namespace

extern "C" void* __real_mmap(void* address, std::size_t length, int protection, int flags, int fd,
                             off_t offset);
extern "C" int __real_munmap(void* address, std::size_t length);

extern "C" void* __wrap_mmap(void* address, std::size_t length, int protection, int flags, int fd,
                             off_t offset) {
  void* result = __real_mmap(address, length, protection, flags, fd, offset);
  if (tracking && result != MAP_FAILED) peak_mapped = std::max(peak_mapped, mapped += length);
  return result;
}

extern "C" int __wrap_munmap(void* address, std::size_t length) {
  if (tracking) mapped -= std::min(mapped, length);
  return __real_munmap(address, length);
}

namespace plugin_sign::fuzzing {
namespace {

// The key the seeds are signed with: test key 1, a seed of 32 bytes of 1.
TrustedKey seed_key() {
  std::array<std::byte, 32> seed;
  seed.fill(std::byte{1});
  return {.key = public_key_of(SigningKey(seed)), .names = {}};
}

// The archive the writer's record code makes of `entries`.
std::vector<std::byte> reencoded(std::span<const std::byte> input,
                                 const std::array<LocatedEntry, 3>& entries) {
  std::vector<std::byte> bytes;
  std::vector<ZipEntryRecord> records;
  for (const LocatedEntry& e : entries) {
    std::vector<std::byte> header = encode_local_header(e.record.name);
    std::ranges::copy(encode_local_sizes(e.record), header.begin() + kLocalHeaderSizesOffset);
    bytes.insert(bytes.end(), header.begin(), header.end());
    bytes.insert(bytes.end(), e.data.begin(), e.data.end());
    records.push_back(e.record);
  }
  const std::vector<std::byte> directory = encode_directory(records, bytes.size());
  bytes.insert(bytes.end(), directory.begin(), directory.end());
  require(records[0].header_offset == 0 && input.size() == bytes.size(), "record offsets");
  return bytes;
}

std::uint64_t le(std::span<const std::byte> bytes, std::size_t at, int width) {
  require(at + width <= bytes.size(), "a field within the file");
  std::uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i)
    value = value << 8 | std::to_integer<std::uint64_t>(bytes[at + i]);
  return value;
}

bool holds_name(std::span<const std::byte> bytes, std::size_t at, std::string_view name) {
  return at + name.size() <= bytes.size() &&
         std::ranges::equal(bytes.subspan(at, name.size()), std::as_bytes(std::span(name)));
}

// An accepted archive under 4 GiB, read without the reader's or the writer's code: three
// local entries from offset 0, back to back, then their central headers, then the end record
// and nothing after it.
void check_layout(std::span<const std::byte> input) {
  constexpr std::string_view kNames[] = {"plugin.toml", "main.wasm", "signature.sig"};
  std::size_t local[3], at = 0;
  std::uint64_t crc[3], compressed[3], size[3];
  for (int i = 0; i < 3; ++i) {
    local[i] = at;
    require(le(input, at, 4) == 0x04034b50, "local header signature");
    require(le(input, at + 4, 2) == 20, "local version needed 2.0");
    require(le(input, at + 6, 2) == 0 && le(input, at + 8, 2) == 8, "no flags, DEFLATE");
    require(le(input, at + 10, 2) == 0 && le(input, at + 12, 2) == 0x21, "time 0, date 1980-01-01");
    crc[i] = le(input, at + 14, 4);
    compressed[i] = le(input, at + 18, 4);
    size[i] = le(input, at + 22, 4);
    require(le(input, at + 26, 2) == kNames[i].size() && le(input, at + 28, 2) == 0,
            "name, no extra");
    require(holds_name(input, at + 30, kNames[i]), "the entry's name");
    at += 30 + kNames[i].size() + compressed[i];
  }
  require(size[2] == 88, "signature.sig holds 88 bytes");
  const std::size_t directory = at;
  for (int i = 0; i < 3; ++i) {
    require(le(input, at, 4) == 0x02014b50, "central header signature");
    require(le(input, at + 4, 2) == 0x0314 && le(input, at + 6, 2) == 20, "made by Unix 2.0");
    require(le(input, at + 8, 2) == 0 && le(input, at + 10, 2) == 8, "no flags, DEFLATE");
    require(le(input, at + 12, 2) == 0 && le(input, at + 14, 2) == 0x21, "the local time and date");
    require(le(input, at + 16, 4) == crc[i] && le(input, at + 20, 4) == compressed[i] &&
                le(input, at + 24, 4) == size[i],
            "the local CRC-32 and sizes");
    require(le(input, at + 28, 2) == kNames[i].size() && le(input, at + 30, 2) == 0 &&
                le(input, at + 32, 2) == 0,
            "name, no extra field, no comment");
    require(le(input, at + 34, 2) == 0 && le(input, at + 36, 2) == 0, "disk 0, binary");
    require(le(input, at + 38, 4) == 0x81A40000, "a regular file, mode 0644");
    require(le(input, at + 42, 4) == local[i], "the offset of its local header");
    require(holds_name(input, at + 46, kNames[i]), "the central name");
    at += 46 + kNames[i].size();
  }
  require(le(input, at, 4) == 0x06054b50, "end record signature");
  require(le(input, at + 4, 4) == 0, "disk 0, directory on disk 0");
  require(le(input, at + 8, 2) == 3 && le(input, at + 10, 2) == 3, "three entries");
  require(le(input, at + 12, 4) == at - directory && le(input, at + 16, 4) == directory,
          "the directory's size and offset");
  require(le(input, at + 20, 2) == 0 && at + 22 == input.size(), "no comment, nothing after");
}

}  // namespace
}  // namespace plugin_sign::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace plugin_sign;
  using fuzzing::require;
  static const TrustedKey keys[] = {fuzzing::seed_key()};
  const VerifyLimits limits;
  const PackageSizeLimits size_limits{.plugin_toml = limits.plugin_toml,
                                      .main_wasm = limits.main_wasm};
  const auto input = std::as_bytes(std::span(data, size));

  auto located = locate_package_entries(input, size_limits);
  if (located) {
    const std::vector<std::byte> again = fuzzing::reencoded(input, *located);
    require(std::ranges::equal(again, input), "accepted bytes are exactly the writer's layout");
    fuzzing::check_layout(input);
  }
  auto read = read_package_archive(input, size_limits);
  require(read.has_value() <= located.has_value(), "reading needs locating");
  tracking = true;
  mapped = peak_mapped = 0;
  auto verified = verify_package(input, keys, limits);
  tracking = false;
  if (!verified && (!read || verified.error().kind == VerifyErrorKind::kBadSignature))
    require(peak_mapped <= 16 * size, "memory before the signature within 16 x the package",
            std::to_string(peak_mapped), std::to_string(16 * size));
  // What the signature established comes with exactly the failures after it.
  if (!verified) {
    const VerifyErrorKind kind = verified.error().kind;
    const bool after_signature = kind == VerifyErrorKind::kNameNotAllowed ||
                                 kind == VerifyErrorKind::kRevoked ||
                                 kind == VerifyErrorKind::kNameMismatch;
    if (after_signature) require(verified.error().facts.has_value(), "facts after the signature");
    if (kind == VerifyErrorKind::kBadSignature || !read)
      require(!verified.error().facts.has_value(), "no facts before the signature");
    if (verified.error().facts)
      require(verified.error().facts->manifest_sha256.size() == 64, "facts hold the manifest");
  }
  // A key trusted for another name only: a package refused for its name never gets its module,
  // only plugin.toml within its limit beyond what the signature's checks held.
  static const TrustedKey scoped[] = {
      {.key = fuzzing::seed_key().key, .names = {"no package is named this"}}};
  tracking = true;
  mapped = peak_mapped = 0;
  auto refused = verify_package(input, scoped, limits);
  tracking = false;
  if (!refused && refused.error().kind == VerifyErrorKind::kNameNotAllowed)
    require(peak_mapped <= 16 * size + limits.plugin_toml,
            "memory of a package refused for its name within 16 x the package and plugin.toml",
            std::to_string(peak_mapped), std::to_string(16 * size + limits.plugin_toml));
  if (!read) {
    require(!verified.has_value(), "verify refuses what the reader refuses");
    // A layout fault also says what it most likely means; the field it names is the reader's.
    const std::string expected =
        read.error().message +
        (read.error().layout
             ? " (the archive is not in the layout plugin_sign writes: was it re-zipped or edited?)"
             : "");
    require(verified.error().message == expected, "the reader's message", verified.error().message,
            expected);
    return 0;
  }
  require(read->signature.size() == kSignatureTextSize, "signature.sig is 88 bytes");
  if (verified) {
    require(std::ranges::equal(verified->main_wasm.bytes(), read->main_wasm.bytes()),
            "verified main.wasm is what was read");
    require(std::ranges::equal(verified->plugin_toml.bytes(), read->plugin_toml.bytes()),
            "verified plugin.toml is what was read");
  }
  return 0;
}
