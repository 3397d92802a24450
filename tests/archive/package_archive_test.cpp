#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/package_archive.hpp"
#include "archive/zip_test_support.hpp"
#include "io/file_io.hpp"
#include "support/tool_runner.hpp"

namespace plugin_sign {
namespace {

using testing::as_bytes;
using testing::MemoryOutput;
using testing::ScratchDir;

class PackageFiles {
 public:
  PackageFiles() : module_(testing::noise(200'000, 9)) {
    for (std::size_t i = 0; i < module_.size(); i += 3) module_[i] = std::byte{0};
  }
  [[nodiscard]] std::vector<ArchiveEntry> entries() const {
    return {{"plugin.toml", as_bytes(testing::kSampleToml)},
            {"main.wasm", module_},
            {"signature.sig", as_bytes(testing::kSampleSignature)}};
  }
  /// The three contents as files in `dir`, for tools to compare against.
  void write_contents(const std::filesystem::path& dir) const {
    for (const ArchiveEntry& e : entries())
      testing::write_file(
          dir / e.name,
          std::string_view(reinterpret_cast<const char*>(e.content.data()), e.content.size()));
  }

 private:
  std::vector<std::byte> module_;
};

TEST(WritePackageArchive, WritesAFileThatReadsBack) {
  ScratchDir dir;
  PackageFiles files;
  const auto path = dir.path() / "demo-v1.2.0.zip";
  ASSERT_TRUE(write_package_archive(path.string(), files.entries()).has_value());

  const std::string text = testing::read_file(path);
  auto zip = testing::parse_zip(as_bytes(text));
  ASSERT_TRUE(zip.has_value()) << zip.error();
  ASSERT_EQ(zip->central.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    auto inflated = testing::inflate_raw(zip->locals[i].data);
    ASSERT_TRUE(inflated.has_value()) << inflated.error();
    EXPECT_TRUE(std::ranges::equal(*inflated, files.entries()[i].content));
  }
  // Two files from the same entries are byte for byte the same, whatever their names.
  const auto other = dir.path() / "other.zip";
  ASSERT_TRUE(write_package_archive(other.string(), files.entries()).has_value());
  EXPECT_EQ(testing::read_file(other), text);
}

TEST(WritePackageArchive, CreateFailureNamesThePathAndWritesNothing) {
  ScratchDir dir;
  PackageFiles files;
  struct Case {
    const char* name;
    std::string path;
    std::string message;
  };
  const std::string base = dir.path().string();
  const Case cases[] = {
      {"existing directory", base, "failed to create " + base + ": Is a directory (os error 21)"},
      {"missing directory", base + "/missing/out.zip",
       "failed to create " + base + "/missing/out.zip: No such file or directory (os error 2)"},
      {"NUL byte", std::string("out\0.zip", 8),
       "failed to create " + std::string("out\0.zip", 8) +
           ": file name contained an unexpected NUL byte"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = write_package_archive(c.path, files.entries());
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message, c.message);
    EXPECT_EQ(result.error().drop_report, "");
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
  EXPECT_FALSE(std::filesystem::exists("out"));
}

TEST(WritePackageArchive, PipeFailsWhenTheFirstEntryNeedsItsPosition) {
  ScratchDir dir;
  PackageFiles files;
  const auto fifo = dir.path() / "out.zip";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A reader that stays open, so that opening the pipe for writing does not block.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  auto result = write_package_archive(fifo.string(), files.entries());
  close(reader);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().message,
            "failed to add plugin.toml to zip: i/o error: Illegal seek (os error 29)");
}

TEST(WritePackageArchive, FullDeviceFailsAtTheFirstHeader) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full is not writable here";
  PackageFiles files;
  auto result = write_package_archive("/dev/full", files.entries());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().message,
            "failed to add plugin.toml to zip: i/o error: No space left on device (os error 28)");
}

struct CommandResult {
  int status = -1;
  std::string output;
};

// Runs `command` under /bin/sh with standard error folded into the captured output.
CommandResult run_command(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    result.output.append(buffer, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

bool have_tool(const char* name) {
  return run_command(std::string("command -v ") + name).status == 0;
}

std::string quoted(const std::filesystem::path& path) {
  return "'" + path.string() + "'";
}

// Where the archive sits for the tools: an ordinary file, or a sparse file in which the
// archive starts at 5 GiB, so that every offset needs the ZIP64 records.
enum class Placement { kPlain, kBeyondFourGiB };

class RealTools : public ::testing::TestWithParam<Placement> {
 protected:
  void SetUp() override {
    files_.write_contents(dir_.path());
    archive_ = dir_.path() / "package.zip";
    if (GetParam() == Placement::kPlain) {
      ASSERT_TRUE(write_package_archive(archive_.string(), files_.entries()).has_value());
      return;
    }
    constexpr std::uint64_t kBase = std::uint64_t{5} << 30;
    MemoryOutput output(kBase);
    ASSERT_TRUE(write_archive(output, files_.entries()).has_value());
    FileDescriptor fd(open(archive_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ASSERT_GE(fd.get(), 0);
    ASSERT_TRUE(seek_to(fd.get(), kBase).has_value());
    ASSERT_TRUE(write_all(fd.get(), output.bytes()).has_value());
  }

  void require(const char* tool) {
    if (!have_tool(tool)) GTEST_SKIP() << tool << " is not installed; its check is skipped";
  }

  ScratchDir dir_;
  PackageFiles files_;
  std::filesystem::path archive_;
};

TEST_P(RealTools, UnzipTestsEveryEntry) {
  require("unzip");
  const CommandResult run = run_command("unzip -t " + quoted(archive_));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("No errors detected"), std::string::npos) << run.output;
}

TEST_P(RealTools, PythonZipfileReadsEveryEntry) {
  require("python3");
  const std::string script =
      "import sys, zipfile\n"
      "z = zipfile.ZipFile(sys.argv[1])\n"
      "assert z.testzip() is None\n"
      "infos = z.infolist()\n"
      "assert [i.filename for i in infos] == ['plugin.toml', 'main.wasm', 'signature.sig']\n"
      "for i in infos:\n"
      "    assert i.compress_type == zipfile.ZIP_DEFLATED, i\n"
      "    assert i.date_time == (1980, 1, 1, 0, 0, 0), i.date_time\n"
      "    assert i.external_attr >> 16 == 0o100644, oct(i.external_attr)\n"
      "    assert i.comment == b'', i\n"
      "    assert i.extra == b'' or (i.extra[:4] == b'\\x01\\x00\\x08\\x00' and\n"
      "        int.from_bytes(i.extra[4:], 'little') == i.header_offset), i.extra\n"
      "    assert z.read(i) == open(sys.argv[2] + '/' + i.filename, 'rb').read(), i\n"
      "assert z.comment == b''\n";
  const auto script_path = dir_.path() / "check.py";
  testing::write_file(script_path, script);
  const CommandResult run = run_command("python3 " + quoted(script_path) + " " + quoted(archive_) +
                                        " " + quoted(dir_.path()));
  EXPECT_EQ(run.status, 0) << run.output;
}

TEST_P(RealTools, BsdtarListsAndExtractsEveryEntry) {
  require("bsdtar");
  const CommandResult list = run_command("bsdtar -tf " + quoted(archive_));
  EXPECT_EQ(list.status, 0) << list.output;
  EXPECT_EQ(list.output, "plugin.toml\nmain.wasm\nsignature.sig\n");
  for (const ArchiveEntry& e : files_.entries()) {
    SCOPED_TRACE(e.name);
    const CommandResult same =
        run_command("bsdtar -xOf " + quoted(archive_) + " " + std::string(e.name) + " | cmp - " +
                    quoted(dir_.path() / e.name));
    EXPECT_EQ(same.status, 0) << same.output;
  }
}

INSTANTIATE_TEST_SUITE_P(Placements, RealTools,
                         ::testing::Values(Placement::kPlain, Placement::kBeyondFourGiB),
                         [](const auto& info) {
                           return info.param == Placement::kPlain ? "Plain" : "BeyondFourGiB";
                         });

}  // namespace
}  // namespace plugin_sign
