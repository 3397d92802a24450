// The package archive as the binary leaves it: records, content, files replaced or refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "archive/zip_test_support.hpp"
#include "support/tool_runner.hpp"

namespace plugin_sign::testing {
namespace {

namespace fs = std::filesystem;

std::span<const std::byte> bytes_of(const std::string& text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

mode_t mode_of(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0);
  return status.st_mode & 07777;
}

// Checks every record of the archive at `zip_path` and that its entries are the plugin's
// files as read and the signature.sig that the run left.
void expect_package_of(const fs::path& zip_path, const fs::path& plugin_dir,
                       const std::string& plugin_toml, const std::string& main_wasm) {
  const std::string archive = read_file(zip_path);
  const std::string signature = read_file(plugin_dir / "signature.sig");
  const ArchiveEntry entries[] = {{"plugin.toml", bytes_of(plugin_toml)},
                                  {"main.wasm", bytes_of(main_wasm)},
                                  {"signature.sig", bytes_of(signature)}};
  auto zip = parse_zip(bytes_of(archive));
  ASSERT_TRUE(zip.has_value()) << zip.error();
  expect_package_records(*zip, entries);
  EXPECT_EQ(archive.size(), 316 + compressed_total(*zip));
}

std::string module_text(std::size_t size) {
  const auto module = sample_module(size);
  return std::string(reinterpret_cast<const char*>(module.data()), module.size());
}

TEST(ArchiveRun, DefaultNameAndExplicitPathHoldTheSignedFiles) {
  ScratchDir dir;
  const std::string wasm = module_text(100'000);
  make_plugin(dir.path() / "plug", kSamplePluginToml, wasm);
  ToolResult r = run_tool({.args = {"plug"}, .key = kTestKey, .cwd = dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_package_of(dir.path() / "demo-v1.2.0.zip", dir.path() / "plug", kSamplePluginToml, wasm);

  fs::create_directory(dir.path() / "dist");
  r = run_tool({.args = {"plug", "dist/x.zip"}, .key = kTestKey, .cwd = dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "署名済みZIPを作成しました: dist/x.zip\n");
  EXPECT_EQ(read_file(dir.path() / "dist/x.zip"), read_file(dir.path() / "demo-v1.2.0.zip"));
}

TEST(ArchiveRun, BytesDependOnlyOnTheInputsAndTheKey) {
  ScratchDir dir;
  const std::string wasm = module_text(50'000);
  make_plugin(dir.path() / "a", kSamplePluginToml, wasm);
  make_plugin(dir.path() / "b", kSamplePluginToml, wasm);
  // Other permissions, other times, another umask, another output path.
  fs::permissions(dir.path() / "b" / "main.wasm", fs::perms::owner_read | fs::perms::owner_write);
  fs::last_write_time(
      dir.path() / "b" / "plugin.toml",
      fs::last_write_time(dir.path() / "a" / "plugin.toml") - std::chrono::hours(900));
  ToolResult first = run_tool({.args = {"a", "first.zip"}, .key = kTestKey, .cwd = dir.path()});
  const mode_t old_mask = ::umask(077);
  ToolResult second =
      run_tool({.args = {"b", "other-name.zip"}, .key = kTestKey, .cwd = dir.path()});
  ::umask(old_mask);
  ASSERT_EQ(first.status, 0) << first.err;
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(read_file(dir.path() / "first.zip"), read_file(dir.path() / "other-name.zip"));
}

TEST(ArchiveRun, ExistingFileIsReplacedAndKeepsItsMode) {
  ScratchDir dir;
  make_plugin(dir.path() / "plug", kSamplePluginToml, "wasm");
  write_file(dir.path() / "out.zip", std::string(100'000, 'x'));
  fs::permissions(dir.path() / "out.zip",
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ToolResult r = run_tool({.args = {"plug", "out.zip"}, .key = kTestKey, .cwd = dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_package_of(dir.path() / "out.zip", dir.path() / "plug", kSamplePluginToml, "wasm");
  EXPECT_EQ(mode_of(dir.path() / "out.zip"), 0640u);
}

TEST(ArchiveRun, NewFileGetsTheModeTheUmaskAllows) {
  ScratchDir dir;
  make_plugin(dir.path() / "plug", kSamplePluginToml, "wasm");
  const mode_t old_mask = ::umask(027);
  ToolResult r = run_tool({.args = {"plug", "out.zip"}, .key = kTestKey, .cwd = dir.path()});
  ::umask(old_mask);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(mode_of(dir.path() / "out.zip"), 0640u);
}

TEST(ArchiveRun, OutputThatCannotBeCreatedIsReportedAfterTheSignature) {
  ScratchDir dir;
  make_plugin(dir.path() / "plug", kSamplePluginToml, "wasm");
  make_plugin(dir.path() / "slash", "[package]\nname = \"nodir/demo\"\nversion = \"1\"\n", "wasm");
  fs::create_directory(dir.path() / "taken");
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"plug", "taken"}, "failed to create taken: Is a directory (os error 21)"},
      {{"plug", "missing/out.zip"},
       "failed to create missing/out.zip: No such file or directory (os error 2)"},
      // The default name is a path like any other: its directory is not created.
      {{"slash"}, "failed to create nodir/demo-v1.zip: No such file or directory (os error 2)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    fs::remove(dir.path() / c.args[0] / "signature.sig");
    ToolResult r = run_tool({.args = c.args, .key = kTestKey, .cwd = dir.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("plugin_sign: ") + c.message + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(fs::file_size(dir.path() / c.args[0] / "signature.sig"), 88u);
  }
  EXPECT_FALSE(fs::exists(dir.path() / "missing"));
  EXPECT_FALSE(fs::exists(dir.path() / "nodir"));
}

TEST(ArchiveRun, DefaultNameWithSlashLandsInThatDirectory) {
  ScratchDir dir;
  make_plugin(dir.path() / "plug", "[package]\nname = \"dist/demo\"\nversion = \"2\"\n", "w");
  fs::create_directory(dir.path() / "dist");
  ToolResult r = run_tool({.args = {"plug"}, .key = kTestKey, .cwd = dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "署名済みZIPを作成しました: dist/demo-v2.zip\n");
  EXPECT_TRUE(fs::exists(dir.path() / "dist" / "demo-v2.zip"));
}

TEST(ArchiveRun, InvalidUtf8InTheNameBecomesReplacementCharacterInTheDefaultName) {
  ScratchDir dir;
  const std::string toml = "[package]\nname = \"de\xFFmo\"\nversion = \"1\"\n";
  make_plugin(dir.path() / "plug", toml, "w");
  ToolResult r = run_tool({.args = {"plug"}, .key = kTestKey, .cwd = dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "署名済みZIPを作成しました: de\xEF\xBF\xBDmo-v1.zip\n");
  // The archive still holds the file's own bytes, as signed.
  expect_package_of(dir.path() / "de\xEF\xBF\xBDmo-v1.zip", dir.path() / "plug", toml, "w");
}

TEST(ArchiveRun, OutputOverAnInputKeepsTheBytesReadAtTheStart) {
  ScratchDir dir;
  make_plugin(dir.path() / "plug", kSamplePluginToml, "wasm");
  ToolResult r =
      run_tool({.args = {"plug", "plug/plugin.toml"}, .key = kTestKey, .cwd = dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_package_of(dir.path() / "plug" / "plugin.toml", dir.path() / "plug", kSamplePluginToml,
                    "wasm");
}

TEST(ArchiveRun, PipeWithAReaderFailsWhenTheFirstEntryNeedsItsPosition) {
  ScratchDir dir;
  make_plugin(dir.path() / "plug", kSamplePluginToml, "wasm");
  const fs::path fifo = dir.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ToolResult r = run_tool({.args = {"plug", "fifo"}, .key = kTestKey, .cwd = dir.path()});
  ::close(reader);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(
      r.err,
      "plugin_sign: failed to add plugin.toml to zip: i/o error: Illegal seek (os error 29)\n");
  EXPECT_EQ(r.out, "");
}

TEST(ArchiveRun, FullDeviceFailsAtTheFirstHeader) {
  ScratchDir dir;
  make_plugin(dir.path() / "plug", kSamplePluginToml, "wasm");
  ToolResult r = run_tool({.args = {"plug", "/dev/full"}, .key = kTestKey, .cwd = dir.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "plugin_sign: failed to add plugin.toml to zip: i/o error: No space left on device "
            "(os error 28)\n");
}

// A small file system that fills while main.wasm is compressed into it.
class FullFileSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    mount_point_ = dir_.path() / "small";
    fs::create_directory(mount_point_);
    if (::mount("tmpfs", mount_point_.c_str(), "tmpfs", 0, "size=2m") != 0)
      GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << std::strerror(errno);
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) ::umount2(mount_point_.c_str(), MNT_DETACH);
  }

  ScratchDir dir_;
  fs::path mount_point_;
  bool mounted_ = false;
};

TEST_F(FullFileSystem, DiskFillingDuringMainWasmLeavesThePartialFile) {
  const auto noise_bytes = noise(8 << 20);
  const std::string wasm(reinterpret_cast<const char*>(noise_bytes.data()), noise_bytes.size());
  make_plugin(dir_.path() / "plug", kSamplePluginToml, wasm);
  ToolResult r = run_tool({.args = {"plug", "small/out.zip"}, .key = kTestKey, .cwd = dir_.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(
      r.err,
      "plugin_sign: failed to write main.wasm into zip: No space left on device (os error 28)\n");
  EXPECT_EQ(r.out, "");
  // The partial file stays: plugin.toml's entry complete, with its header filled in.
  const std::string partial = read_file(mount_point_ / "out.zip");
  ASSERT_GT(partial.size(), 30u + 11u);
  EXPECT_EQ(partial.substr(0, 4), "PK\x03\x04");
  std::uint32_t crc = 0;
  std::memcpy(&crc, partial.data() + 14, 4);
  EXPECT_EQ(crc, crc32_of(bytes_of(kSamplePluginToml)));
  EXPECT_EQ(fs::file_size(dir_.path() / "plug" / "signature.sig"), 88u);
}

TEST(ArchiveRun, UnwritablePluginDirectoryStopsBeforeTheArchive) {
  ScratchDir dir;
  make_plugin(dir.path() / "plug", kSamplePluginToml, "wasm");
  fs::permissions(dir.path(), fs::perms::all);
  fs::permissions(dir.path() / "plug", fs::perms::owner_all | fs::perms::group_read |
                                           fs::perms::group_exec | fs::perms::others_read |
                                           fs::perms::others_exec);
  ToolResult r = run_tool(
      {.args = {"plug", "out.zip"}, .key = kTestKey, .cwd = dir.path(), .as_nobody = true});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "plugin_sign: failed to write signature.sig: Permission denied (os error 13)\n");
  EXPECT_FALSE(fs::exists(dir.path() / "out.zip"));
}

}  // namespace
}  // namespace plugin_sign::testing
