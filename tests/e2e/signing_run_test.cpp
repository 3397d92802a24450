// Whole runs of the binary: the signature it leaves, the success line, the output streams.
#include <gtest/gtest.h>
#include <sodium.h>

#include <sched.h>

#include <cstdint>
#include <cstring>
#include <filesystem>

#include "e2e/independent_crypto.hpp"
#include "support/tool_runner.hpp"

namespace plugin_sign::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kWasm("\0asm\x01\0\0\0", 8);

// Verifies `signature_text` the way a package consumer would: rebuild the manifest from the
// two files and check it under the public key that belongs to the test key.
bool verifies(std::string_view signature_text, std::string_view plugin_toml,
              std::string_view main_wasm) {
  unsigned char seed[32], signature[64], public_key[32], secret_key[64];
  size_t length = 0;
  if (sodium_base642bin(seed, sizeof seed, kTestKey, std::strlen(kTestKey), nullptr, &length,
                        nullptr, sodium_base64_VARIANT_ORIGINAL) != 0 ||
      length != 32)
    return false;
  if (sodium_base642bin(signature, sizeof signature, signature_text.data(), signature_text.size(),
                        nullptr, &length, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0 ||
      length != 64)
    return false;
  crypto_sign_seed_keypair(public_key, secret_key, seed);
  const std::string manifest = "{\"plugin.toml\":\"" + sha256_hex(plugin_toml) +
                               "\",\"main.wasm\":\"" + sha256_hex(main_wasm) + "\"}";
  return crypto_sign_verify_detached(signature,
                                     reinterpret_cast<const unsigned char*>(manifest.data()),
                                     manifest.size(), public_key) == 0;
}

// Text-like bytes that compress well but never repeat for long: words of a small vocabulary
// with numbers between them, from a fixed-seed generator.
std::string varied_module(std::size_t size) {
  static constexpr const char* kWords[] = {"local.get", "i32.add", "call",  "br_if", "block",
                                           "end",       "memory",  "(func", "$f",    "i64.const"};
  std::string out("\0asm\x01\0\0\0", 8);
  std::uint32_t state = 12345;
  while (out.size() < size) {
    state = state * 1664525u + 1013904223u;
    out += kWords[(state >> 24) % 10];
    out += ' ';
    if ((state >> 8) % 3 == 0) out += std::to_string((state >> 4) % 100000) + '\n';
  }
  out.resize(size);
  return out;
}

// The archive's bytes are the same on one core as on all of them: the module spans several
// of the blocks that are compressed on worker threads.
TEST(SigningRun, OneCoreAndAllCoresWriteTheSameArchive) {
  cpu_set_t cores;
  ASSERT_EQ(0, sched_getaffinity(0, sizeof cores, &cores));
  if (CPU_COUNT(&cores) < 2) GTEST_SKIP() << "a single core: nothing to compare with";
  if (!fs::exists("/usr/bin/taskset")) GTEST_SKIP() << "no taskset";
  int first = 0;
  while (!CPU_ISSET(first, &cores)) ++first;
  ScratchDir dir;
  const std::string wasm = varied_module(1'700'000);  // six and a half blocks of 256 KiB
  make_plugin(dir.path() / "plug", kSamplePluginToml, wasm);
  const ToolResult all =
      run_tool({.args = {"plug", "all.zip"}, .key = kTestKey, .cwd = dir.path()});
  ASSERT_EQ(0, all.status) << all.err;
  const ToolResult one =
      run_tool({.args = {"-c", std::to_string(first), PLUGIN_SIGN_BINARY, "plug", "one.zip"},
                .key = kTestKey,
                .cwd = dir.path(),
                .argv0 = "taskset",
                .binary = "/usr/bin/taskset"});
  ASSERT_EQ(0, one.status) << one.err;
  const std::string archive = read_file(dir.path() / "all.zip");
  EXPECT_LT(archive.size(), wasm.size() / 2);
  EXPECT_TRUE(archive == read_file(dir.path() / "one.zip"));
}

TEST(SigningRun, WritesAVerifiableSignatureAndReportsTheArchive) {
  ScratchDir dir;
  make_plugin(dir.path() / "plug", kSamplePluginToml, kWasm);
  ToolResult r = run_tool({.args = {"plug"}, .key = kTestKey, .cwd = dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "署名済みZIPを作成しました: demo-v1.2.0.zip\n");
  EXPECT_EQ(r.err, "");
  const std::string signature = read_file(dir.path() / "plug" / "signature.sig");
  ASSERT_EQ(signature.size(), 88u);
  EXPECT_TRUE(signature.ends_with("=="));
  EXPECT_TRUE(verifies(signature, kSamplePluginToml, kWasm));
  EXPECT_FALSE(verifies(signature, kSamplePluginToml, std::string(kWasm) + "!"));
  EXPECT_TRUE(fs::exists(dir.path() / "demo-v1.2.0.zip"));
}

TEST(SigningRun, SameInputsGiveTheSameSignatureAndAnyChangedByteAnother) {
  ScratchDir dir;
  make_plugin(dir.path() / "plug", kSamplePluginToml, kWasm);
  auto sign = [&] {
    ToolResult r = run_tool({.args = {"plug", "out.zip"}, .key = kTestKey, .cwd = dir.path()});
    EXPECT_EQ(r.status, 0) << r.err;
    return read_file(dir.path() / "plug" / "signature.sig");
  };
  const std::string first = sign();
  EXPECT_EQ(sign(), first);
  write_file(dir.path() / "plug" / "main.wasm", std::string(kWasm) + "\x01");
  EXPECT_NE(sign(), first);
}

TEST(SigningRun, LongerOldSignatureIsReplacedCompletely) {
  ScratchDir dir;
  make_plugin(dir.path() / "plug", kSamplePluginToml, kWasm);
  write_file(dir.path() / "plug" / "signature.sig", std::string(500, 'x'));
  ToolResult r = run_tool({.args = {"plug"}, .key = kTestKey, .cwd = dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fs::file_size(dir.path() / "plug" / "signature.sig"), 88u);
}

TEST(SigningRun, EmptyDirectoryTextMeansTheWorkingDirectory) {
  ScratchDir dir;
  make_plugin(dir.path(), kSamplePluginToml, kWasm);
  ToolResult r = run_tool({.args = {"", "pkg.zip"}, .key = kTestKey, .cwd = dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "署名済みZIPを作成しました: pkg.zip\n");
  EXPECT_TRUE(verifies(read_file(dir.path() / "signature.sig"), kSamplePluginToml, kWasm));
}

TEST(SigningRun, ArgumentsAfterTheOutputPathAreIgnored) {
  ScratchDir dir;
  make_plugin(dir.path() / "plug", kSamplePluginToml, kWasm);
  ToolResult r =
      run_tool({.args = {"plug", "out.zip", "extra", "more"}, .key = kTestKey, .cwd = dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "署名済みZIPを作成しました: out.zip\n");
  EXPECT_FALSE(fs::exists(dir.path() / "extra"));
}

TEST(SigningRun, InvalidPluginTomlLeavesTheFreshSignatureAndNoArchive) {
  ScratchDir dir;
  make_plugin(dir.path() / "plug", "[plugin]\ntitle = \"demo\"\n", kWasm);
  ToolResult r = run_tool({.args = {"plug", "out.zip"}, .key = kTestKey, .cwd = dir.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "plugin_sign: invalid plugin.toml: TOML parse error at line 1, column 1\n"
            "  |\n"
            "1 | [plugin]\n"
            "  | ^\n"
            "missing field `package`\n"
            "\n");
  EXPECT_TRUE(verifies(read_file(dir.path() / "plug" / "signature.sig"),
                       "[plugin]\ntitle = \"demo\"\n", kWasm));
  EXPECT_FALSE(fs::exists(dir.path() / "out.zip"));
}

TEST(SigningRun, ClosedStandardOutputStillSucceeds) {
  ScratchDir dir;
  make_plugin(dir.path() / "plug", kSamplePluginToml, kWasm);
  ToolResult r = run_tool(
      {.args = {"plug"}, .key = kTestKey, .cwd = dir.path(), .stdout_mode = Stdout::kClosed});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(fs::exists(dir.path() / "demo-v1.2.0.zip"));
}

TEST(SigningRun, BrokenStandardOutputIsAnInternalErrorAfterACompleteArchive) {
  ScratchDir dir;
  make_plugin(dir.path() / "plug", kSamplePluginToml, kWasm);
  ToolResult reference =
      run_tool({.args = {"plug", "ref.zip"}, .key = kTestKey, .cwd = dir.path()});
  ASSERT_EQ(reference.status, 0) << reference.err;
  ToolResult r = run_tool({.args = {"plug", "out.zip"},
                           .key = kTestKey,
                           .cwd = dir.path(),
                           .stdout_mode = Stdout::kBrokenPipe});
  EXPECT_EQ(r.status, 101);
  EXPECT_NE(r.err.find("Broken pipe (os error 32)"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(dir.path() / "out.zip"), read_file(dir.path() / "ref.zip"));
}

// Memory that runs out beyond the input buffers throws: here the parser's copy of a large
// plugin.toml, once the file itself has been read. The address space allows the file once
// more than the process needs and no more, so the copy cannot be had.
TEST(SigningRun, OutOfMemoryIsAnInternalErrorOfOneLine) {
  if (PLUGIN_SIGN_SANITIZED) GTEST_SKIP() << "the sanitizers reserve more than the limit";
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  constexpr std::uint64_t kFileSize = 64 * kMiB;
  std::string plugin_toml(kSamplePluginToml);
  plugin_toml += "#" + std::string(kFileSize - plugin_toml.size() - 2, 'x') + "\n";
  ScratchDir dir;
  make_plugin(dir.path() / "plug", plugin_toml, kWasm);
  ToolResult r = run_tool({.args = {"plug", "out.zip"},
                           .key = kTestKey,
                           .cwd = dir.path(),
                           .address_space_limit = 2 * kFileSize});
  EXPECT_EQ(r.status, 101);
  EXPECT_EQ(r.err, "plugin_sign (internal error): out of memory\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read_file(dir.path() / "plug" / "signature.sig").size(), 88u);
  EXPECT_FALSE(fs::exists(dir.path() / "out.zip"));
}

}  // namespace
}  // namespace plugin_sign::testing
