// The archive's bytes, pinned: fixed plugins signed with a fixed key give archives whose SHA-256
// is written here. A change of the output bytes (the compression, the records, the signature)
// fails this test; such a change must be deliberate and documented in README.md, with the new
// digests here.
#include <gtest/gtest.h>
#include <sched.h>

#include <cstdint>
#include <string>

#include "e2e/independent_crypto.hpp"
#include "support/tool_runner.hpp"

namespace plugin_sign::testing {
namespace {

// Pinned with the inputs below; another key gives other signatures.
constexpr const char* kGoldenKey = "wlzTOxY1BXW4vjAi0Hw5zkUbTHrq78owtIiI53D+16I=";

// The smallest module with a function: the header, a type, a function and its empty body.
const std::string kSmallModule(
    "\0asm\1\0\0\0"
    "\1\4\1\x60\0\0"
    "\3\2\1\0"
    "\x0a\4\1\2\0\x0b",
    24);

// Runs of letters between pseudo-random kilobytes: compresses, and in blocks each block
// refers back across its start.
std::string module_of_size(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t state = 2463534242u;  // xorshift32
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    bytes[i] = (i / 1024) % 4 == 0 ? static_cast<char>(state & 0xff)
                                   : static_cast<char>('a' + (i * 7 + i / 4096) % 26);
  }
  return bytes;
}

struct GoldenCase {
  const char* name;
  std::string plugin_toml;
  std::string main_wasm;
  const char* archive_sha256;
};

// The plugin signed in the calling thread's CPU set, which the child inherits and the
// compressor sizes its workers by.
std::string signed_archive(const GoldenCase& c, const cpu_set_t* cpus) {
  ScratchDir dir;
  make_plugin(dir.path() / "plug", c.plugin_toml, c.main_wasm);
  cpu_set_t saved;
  EXPECT_EQ(::sched_getaffinity(0, sizeof saved, &saved), 0);
  if (cpus != nullptr) {
    EXPECT_EQ(::sched_setaffinity(0, sizeof *cpus, cpus), 0);
  }
  const ToolResult r =
      run_tool({.args = {"plug", "out.zip"}, .key = kGoldenKey, .cwd = dir.path()});
  EXPECT_EQ(::sched_setaffinity(0, sizeof saved, &saved), 0);
  EXPECT_EQ(r.status, 0) << r.err;
  return read_file(dir.path() / "out.zip");
}

TEST(GoldenArchive, FixedInputsGiveThePinnedBytesOnAnyNumberOfCores) {
  const GoldenCase cases[] = {
      {"small module", "[package]\nname = \"hello\"\nversion = \"0.1.0\"\n", kSmallModule,
       "fe71907dc12b4bf361ec2af718d5013954ce286a6fedfab86b1ca229ecddef45"},
      // Below 512 KiB: one DEFLATE stream.
      {"300 KiB module", "[package]\nname = \"medium\"\nversion = \"1.0.0\"\n",
       module_of_size(300 * 1024),
       "d6598de6b7303bf1ce43f48a8a54b3a43e3bceb0a003a0718e3a646417254724"},
      // Five 256 KiB blocks compressed apart and part of a sixth.
      {"1.3 MiB module in blocks", "[package]\nname = \"large\"\nversion = \"2.0.0\"\n",
       module_of_size(1'363'149),
       "f646169b76240c619f54e2f964b9becabe4ac04bd6db8fb119c7b731ff93d35b"},
      {"empty main.wasm", "[package]\nname = \"empty\"\nversion = \"0.0.1\"\n", "",
       "6b45432e3abbeecaab6522e0c121ee01bfb5074877783d3166a3fe4d8b028caf"},
  };
  cpu_set_t one_cpu;
  ASSERT_EQ(::sched_getaffinity(0, sizeof one_cpu, &one_cpu), 0);
  int first = 0;
  while (!CPU_ISSET(first, &one_cpu)) ++first;
  CPU_ZERO(&one_cpu);
  CPU_SET(first, &one_cpu);

  for (const GoldenCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(sha256_hex(signed_archive(c, nullptr)), c.archive_sha256)
        << "the archive's bytes changed (every core); with zlib-ng or another DEFLATE "
           "library they differ by design";
    EXPECT_EQ(sha256_hex(signed_archive(c, &one_cpu)), c.archive_sha256) << "(one core)";
  }
}

}  // namespace
}  // namespace plugin_sign::testing
