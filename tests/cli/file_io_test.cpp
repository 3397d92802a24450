#include "cli/file_io.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "support/tool_runner.hpp"

namespace plugin_sign {
namespace {

using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

std::string text_of(const ByteBuffer& buffer) {
  auto bytes = buffer.bytes();
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

TEST(JoinPluginPath, JoinsWithExactlyOneSlashUnlessEmpty) {
  struct Case {
    const char* dir;
    const char* path;
  };
  const Case cases[] = {
      {"", "plugin.toml"},   {"plug", "plug/plugin.toml"}, {"plug/", "plug/plugin.toml"},
      {"/", "/plugin.toml"}, {"a//", "a//plugin.toml"},    {".", "./plugin.toml"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir);
    EXPECT_EQ(join_plugin_path(c.dir, "plugin.toml"), c.path);
  }
}

TEST(ReadPluginFile, ReadsWholeContentIntoOneReservation) {
  ScratchDir dir;
  std::string content(300'000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  write_file(dir.path() / "main.wasm", content);

  auto got = read_plugin_file(dir.path().string(), "main.wasm");
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(text_of(*got), content);
  // The size from fstat was reserved once, and the end-of-file probe did not grow it.
  EXPECT_EQ(got->capacity(), content.size());
}

TEST(ReadPluginFile, EmptyFileIsZeroBytes) {
  ScratchDir dir;
  write_file(dir.path() / "plugin.toml", "");
  auto got = read_plugin_file(dir.path().string() + "/", "plugin.toml");
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->size(), 0u);
}

TEST(ReadPluginFile, FileWithoutSizeHintIsReadWhole) {
  // Files under /proc report size 0 but have content: the buffer has to grow.
  auto got = read_plugin_file("/proc/self", "maps");
  ASSERT_TRUE(got.has_value());
  EXPECT_GT(got->size(), 0u);
  EXPECT_NE(text_of(*got).find('\n'), std::string::npos);
}

TEST(ReadPluginFile, ReportsTheOsError) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.path() / "plugin.toml");
  struct Case {
    const char* file;
    int error;
  };
  for (const Case& c : {Case{"missing", ENOENT}, Case{"plugin.toml", EISDIR}}) {
    SCOPED_TRACE(c.file);
    auto got = read_plugin_file(dir.path().string(), c.file);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().os_error, c.error);
  }
}

TEST(CreateOutputFile, TruncatesAndKeepsTheModeOfAnExistingFile) {
  ScratchDir dir;
  const auto path = dir.path() / "out.zip";
  write_file(path, "old content that is longer");
  ::chmod(path.c_str(), 0600);
  {
    auto fd = create_output_file(path.string());
    ASSERT_TRUE(fd.has_value());
    ASSERT_TRUE(write_all(fd->get(), std::as_bytes(std::span("new", 3))).has_value());
  }
  EXPECT_EQ(read_file(path), "new");
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST(CreateOutputFile, NewFileGetsModeLessUmask) {
  ScratchDir dir;
  const auto path = dir.path() / "new.zip";
  const mode_t old_mask = ::umask(027);
  auto fd = create_output_file(path.string());
  ::umask(old_mask);
  ASSERT_TRUE(fd.has_value());
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
}

TEST(CreateOutputFile, RefusesNulBeforeAnySystemCall) {
  auto fd = create_output_file(std::string_view("a\0b", 3));
  ASSERT_FALSE(fd.has_value());
  EXPECT_EQ(io_error_text(fd.error()), "file name contained an unexpected NUL byte");
}

TEST(WriteAll, ReportsTheOsErrorOfAFullDisk) {
  FileDescriptor full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_GE(full.get(), 0);
  auto written = write_all(full.get(), std::as_bytes(std::span("x", 1)));
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().os_error, ENOSPC);
}

}  // namespace
}  // namespace plugin_sign
