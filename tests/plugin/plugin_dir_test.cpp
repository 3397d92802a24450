#include "plugin/plugin_dir.hpp"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/tool_runner.hpp"

namespace plugin_sign {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

// The shape of a signature text: 88 characters of Base64.
const std::string kText = std::string(86, 'A') + "==";

std::string text_of(const ByteBuffer& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.bytes().data()), buffer.size());
}

mode_t mode_of(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(0, ::stat(path.c_str(), &status));
  return status.st_mode & 07777;
}

class WriteSignatureFile : public ::testing::Test {
 protected:
  // Tests take write permission from the directory; its removal needs it back.
  void TearDown() override {
    fs::permissions(scratch_.path(), fs::perms::owner_all, fs::perm_options::add);
  }
  fs::path sig() const { return scratch_.path() / "signature.sig"; }
  std::string dir() const { return scratch_.path().string(); }

  ScratchDir scratch_;
};

TEST_F(WriteSignatureFile, ReplacesALongerFileCompletely) {
  write_file(sig(), std::string(300, 'x'));
  ASSERT_TRUE(write_signature_file(dir(), kText).has_value());
  EXPECT_EQ(kText, read_file(sig()));
}

TEST_F(WriteSignatureFile, FindsTheFileAsTheOtherPluginFilesAre) {
  ASSERT_TRUE(write_signature_file(dir() + "/", kText).has_value());
  EXPECT_EQ(kText, read_file(sig()));

  const fs::path previous = fs::current_path();
  fs::current_path(scratch_.path());
  fs::remove(sig());
  const bool written = write_signature_file("", kText).has_value();
  fs::current_path(previous);
  ASSERT_TRUE(written);
  EXPECT_EQ(kText, read_file(sig()));
}

TEST_F(WriteSignatureFile, KeepsTheModeOfAnExistingFile) {
  write_file(sig(), "old");
  ASSERT_EQ(0, ::chmod(sig().c_str(), 0604));
  ASSERT_TRUE(write_signature_file(dir(), kText).has_value());
  EXPECT_EQ(0604u, mode_of(sig()));
  EXPECT_EQ(kText, read_file(sig()));
}

TEST_F(WriteSignatureFile, CreatesANewFileWithTheModeTheUmaskAllows) {
  const struct {
    mode_t umask;
    mode_t mode;
  } cases[] = {{022, 0644}, {077, 0600}, {0, 0666}, {0222, 0444}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.umask);
    fs::remove(sig());
    const mode_t previous = ::umask(c.umask);
    const bool written = write_signature_file(dir(), kText).has_value();
    ::umask(previous);
    ASSERT_TRUE(written);
    EXPECT_EQ(c.mode, mode_of(sig()));
    EXPECT_EQ(kText, read_file(sig()));
  }
}

TEST_F(WriteSignatureFile, ReportsAnOpenThatFails) {
  fs::create_directory(sig());
  const struct {
    const char* name;
    std::string plugin_dir;
    const char* message;
  } cases[] = {
      {"missing directory", dir() + "/missing",
       "failed to write signature.sig: No such file or directory (os error 2)"},
      {"signature.sig is a directory", dir(),
       "failed to write signature.sig: Is a directory (os error 21)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto written = write_signature_file(c.plugin_dir, kText);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(c.message, written.error());
  }
  EXPECT_FALSE(fs::exists(scratch_.path() / "missing"));
  EXPECT_TRUE(fs::is_empty(sig()));
}

// A plugin directory written by someone else must not redirect the write: a link is not
// followed, whether its target exists or not, and a FIFO or a device is neither waited on
// nor written to.
TEST_F(WriteSignatureFile, RefusesWhatIsNotARegularFileAndLeavesItAlone) {
  const fs::path victim = scratch_.path() / "victim.txt";
  const fs::path absent = scratch_.path() / "absent.txt";
  const fs::path fifo = scratch_.path() / "fifo";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  const struct {
    const char* name;
    fs::path target;  // what signature.sig links to; the FIFO itself when empty
    const char* message;
  } cases[] = {
      {"link to a file outside", victim,
       "failed to write signature.sig: Too many levels of symbolic links (os error 40)"},
      {"link to nothing", absent,
       "failed to write signature.sig: Too many levels of symbolic links (os error 40)"},
      {"link to a device", "/dev/null",
       "failed to write signature.sig: Too many levels of symbolic links (os error 40)"},
      {"FIFO without a reader",
       {},
       "failed to write signature.sig: No such device or address (os error 6)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(victim, "victim");
    fs::remove(sig());
    if (c.target.empty())
      fs::rename(fifo, sig());
    else
      fs::create_symlink(c.target, sig());
    auto written = write_signature_file(dir(), kText);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(c.message, written.error());
    EXPECT_EQ("victim", read_file(victim));
    EXPECT_FALSE(fs::exists(absent));
    if (c.target.empty()) fs::rename(sig(), fifo);
  }
  // With a reader the FIFO opens, and its type refuses it.
  fs::remove(sig());
  fs::rename(fifo, sig());
  const int reader = ::open(sig().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  auto written = write_signature_file(dir(), kText);
  char byte = 0;
  const ssize_t got = ::read(reader, &byte, 1);
  ::close(reader);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ("failed to write signature.sig: not a regular file", written.error());
  EXPECT_EQ(0, got) << "nothing was written into the FIFO";
}

TEST_F(WriteSignatureFile, ReadOnlyDirectoryStillRewritesAWritableFile) {
  write_file(sig(), std::string(100, 'x'));
  fs::permissions(scratch_.path(), fs::perms::owner_read | fs::perms::owner_exec);
  ASSERT_TRUE(write_signature_file(dir(), kText).has_value());
  EXPECT_EQ(kText, read_file(sig()));
}

// Root is not bound by directory permissions: as root the call runs in a child that has
// dropped to user and group 65534, the directory's owner, as the end-to-end tests do.
TEST_F(WriteSignatureFile, ReadOnlyDirectoryWithoutTheFileIsRefused) {
  const bool as_root = ::geteuid() == 0;
  if (as_root) {
    ASSERT_EQ(0, ::chown(scratch_.path().c_str(), 65534, 65534));
  }
  fs::permissions(scratch_.path(), fs::perms::owner_read | fs::perms::owner_exec);
  int report[2];
  ASSERT_EQ(0, ::pipe(report));
  const pid_t child = ::fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    ::close(report[0]);
    if (as_root && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
      ::_exit(126);
    auto written = write_signature_file(dir(), kText);
    const std::string text = written ? "written" : written.error();
    const bool sent = ::write(report[1], text.data(), text.size()) == ssize_t(text.size());
    ::_exit(sent ? 0 : 125);
  }
  ::close(report[1]);
  std::string text;
  char chunk[256];
  for (ssize_t got; (got = ::read(report[0], chunk, sizeof chunk)) > 0;) text.append(chunk, got);
  ::close(report[0]);
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ("failed to write signature.sig: Permission denied (os error 13)", text);
  EXPECT_FALSE(fs::exists(sig()));
}

// The message quotes the directory as given, with "/" and the name after it.
TEST(ReadPluginInput, NamesTheFileAsTheDirectoryWasGiven) {
  ScratchDir scratch;
  write_file(scratch.path() / "main.wasm", "module");
  auto read = read_plugin_input(scratch.path().string(), kMainWasmName);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ("module", text_of(*read));

  const std::string dir = scratch.path().string() + "/";
  auto missing = read_plugin_input(dir, kPluginTomlName);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ("failed to read " + dir + "/plugin.toml: No such file or directory (os error 2)",
            missing.error());
}

}  // namespace
}  // namespace plugin_sign
