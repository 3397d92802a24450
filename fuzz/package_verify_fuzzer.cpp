// Arbitrary bytes as a package: the strict reader and verify_package must never crash, must
// agree with each other, and whatever the reader accepts must be byte for byte the archive
// the writer's record code makes of the entries found, so nothing outside that layout passes.
// Until the signature verified, verify_package maps no more than 16 times the package's size,
// whatever its entries declare: the fuzzer is linked with mmap and munmap wrapped (see
// CMakeLists.txt), so that the library itself carries no hook for it.
#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
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
  if (!read) {
    require(!verified.has_value(), "verify refuses what the reader refuses");
    require(verified.error().message == read.error().message, "the reader's message",
            verified.error().message, read.error().message);
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
