#include "io/new_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "support/tool_runner.hpp"

namespace plugin_sign {
namespace {

namespace fs = std::filesystem;
using testing::mode_of;
using testing::names_in;
using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

std::span<const std::byte> bytes_of(std::string_view text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

const std::string kSecret = "c2VjcmV0\n";
const std::string kPublic = "cHVibGlj\n";

struct Case {
  const char* name;
  std::function<void(const fs::path&)> before;  // what the directory holds before the call
  ExistingFile existing = ExistingFile::kRefuse;
  std::optional<std::string> failed_path;  // relative to the directory; nullopt: success
  int os_error = 0;
  std::vector<std::string> names_after;
  std::function<void(const fs::path&)> check;  // more to check afterwards
};

void expect_written(const fs::path& dir) {
  EXPECT_EQ(kSecret, read_file(dir / "key"));
  EXPECT_EQ(kPublic, read_file(dir / "key.pub"));
  EXPECT_EQ(0600u, mode_of(dir / "key"));
  EXPECT_EQ(0644u, mode_of(dir / "key.pub"));
}

TEST(WriteNewFiles, PutsCompleteFilesInPlaceOrNone) {
  const std::vector<Case> cases = {
      {"new files",
       nullptr,
       ExistingFile::kRefuse,
       std::nullopt,
       0,
       {"key", "key.pub"},
       expect_written},
      // Found before anything is written: not even a temporary name enters the directory,
      // which would change its time of modification.
      {"an existing file is refused and kept",
       [](const fs::path& d) {
         write_file(d / "key.pub", "old");
         const timespec long_ago[2] = {{1000, 0}, {1000, 0}};
         ASSERT_EQ(0, ::utimensat(AT_FDCWD, d.c_str(), long_ago, 0));
       },
       ExistingFile::kRefuse,
       "key.pub",
       EEXIST,
       {"key.pub"},
       [](const fs::path& d) {
         EXPECT_EQ("old", read_file(d / "key.pub"));
         struct stat status {};
         ASSERT_EQ(0, ::stat(d.c_str(), &status));
         EXPECT_EQ(1000, status.st_mtim.tv_sec);
       }},
      {"a dangling symbolic link is refused and kept",
       [](const fs::path& d) { fs::create_symlink("nowhere", d / "key"); },
       ExistingFile::kRefuse,
       "key",
       EEXIST,
       {"key"},
       [](const fs::path& d) {
         EXPECT_TRUE(fs::is_symlink(d / "key"));
         EXPECT_FALSE(fs::exists(d / "nowhere"));
       }},
      {"a symbolic link to a file is refused and its target kept",
       [](const fs::path& d) {
         write_file(d / "target", "target");
         fs::create_symlink("target", d / "key");
       },
       ExistingFile::kRefuse,
       "key",
       EEXIST,
       {"key", "target"},
       [](const fs::path& d) { EXPECT_EQ("target", read_file(d / "target")); }},
      {"replace: existing files are replaced and get the new mode",
       [](const fs::path& d) {
         write_file(d / "key", "old secret, longer than the new one");
         write_file(d / "key.pub", "old");
         fs::permissions(d / "key", fs::perms::all);
       },
       ExistingFile::kReplace,
       std::nullopt,
       0,
       {"key", "key.pub"},
       expect_written},
      {"replace: a symbolic link is replaced, its target untouched",
       [](const fs::path& d) {
         write_file(d / "target", "target");
         fs::create_symlink("target", d / "key");
         fs::create_symlink("nowhere", d / "key.pub");
       },
       ExistingFile::kReplace,
       std::nullopt,
       0,
       {"key", "key.pub", "target"},
       [](const fs::path& d) {
         expect_written(d);
         EXPECT_EQ("target", read_file(d / "target"));
       }},
      {"replace: a directory in the way of a later file leaves the earlier one as it was",
       [](const fs::path& d) {
         write_file(d / "key", "old secret");
         fs::create_directory(d / "key.pub");
         write_file(d / "key.pub" / "inside", "");
       },
       ExistingFile::kReplace,
       "key.pub",
       EISDIR,
       {"key", "key.pub"},
       [](const fs::path& d) {
         EXPECT_EQ("old secret", read_file(d / "key"));
         EXPECT_EQ(std::vector<std::string>{"inside"}, names_in(d / "key.pub"));
       }},
      {"replace: an empty directory is not replaced either",
       [](const fs::path& d) { fs::create_directory(d / "key"); },
       ExistingFile::kReplace,
       "key",
       EISDIR,
       {"key"},
       [](const fs::path& d) { EXPECT_TRUE(fs::is_directory(d / "key")); }},
      {"replace: one file new, the other replaced",
       [](const fs::path& d) { write_file(d / "key.pub", "old"); },
       ExistingFile::kReplace,
       std::nullopt,
       0,
       {"key", "key.pub"},
       expect_written},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    const fs::path& dir = scratch.path();
    if (c.before) c.before(dir);
    const std::string key = (dir / "key").string();
    const std::string pub = (dir / "key.pub").string();
    const NewFile files[] = {{key, bytes_of(kSecret), 0600}, {pub, bytes_of(kPublic), 0644}};
    const mode_t previous_umask = ::umask(022);
    auto written = write_new_files(files, c.existing);
    ::umask(previous_umask);
    if (c.failed_path) {
      ASSERT_FALSE(written.has_value());
      EXPECT_EQ((dir / *c.failed_path).string(), written.error().path);
      EXPECT_EQ(c.os_error, written.error().error.os_error);
    } else {
      ASSERT_TRUE(written.has_value()) << written.error().path;
    }
    EXPECT_EQ(c.names_after, names_in(dir));
    if (c.check) c.check(dir);
  }
}

TEST(WriteNewFiles, TheSamePathTwiceLeavesNeither) {
  ScratchDir scratch;
  const std::string path = (scratch.path() / "twice").string();
  const NewFile files[] = {{path, bytes_of("first"), 0644}, {path, bytes_of("second"), 0644}};
  auto written = write_new_files(files, ExistingFile::kRefuse);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(path, written.error().path);
  EXPECT_EQ(EEXIST, written.error().error.os_error);
  EXPECT_TRUE(names_in(scratch.path()).empty());
}

TEST(WriteNewFiles, TheUmaskIsTakenFromTheMode) {
  const struct {
    mode_t umask;
    mode_t mode;
    mode_t created;
  } cases[] = {{022, 0644, 0644}, {077, 0644, 0600}, {0, 0600, 0600}, {027, 0666, 0640}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.umask);
    ScratchDir scratch;
    const std::string path = (scratch.path() / "f").string();
    const NewFile files[] = {{path, bytes_of("x"), c.mode}};
    const mode_t previous_umask = ::umask(c.umask);
    auto written = write_new_files(files, ExistingFile::kRefuse);
    ::umask(previous_umask);
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(c.created, mode_of(path));
  }
}

TEST(WriteNewFiles, AMissingDirectoryFailsBeforeAnythingIsInPlace) {
  ScratchDir scratch;
  const std::string first = (scratch.path() / "first").string();
  const std::string second = (scratch.path() / "missing" / "second").string();
  const NewFile files[] = {{first, bytes_of("1"), 0644}, {second, bytes_of("2"), 0644}};
  auto written = write_new_files(files, ExistingFile::kRefuse);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(second, written.error().path);
  EXPECT_EQ(ENOENT, written.error().error.os_error);
  EXPECT_TRUE(names_in(scratch.path()).empty());
}

// A file size limit makes a write fail with EFBIG, as a full disk would with ENOSPC.
TEST(WriteNewFiles, AFailedWriteLeavesNoTemporaryBehind) {
  ScratchDir scratch;
  const std::string small = (scratch.path() / "small").string();
  const std::string large = (scratch.path() / "large").string();
  const std::string content(8192, 'x');
  const NewFile files[] = {{small, bytes_of("1"), 0644}, {large, bytes_of(content), 0644}};
  rlimit previous{};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &previous));
  rlimit limited = previous;
  limited.rlim_cur = 4096;
  const auto previous_handler = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &limited));
  auto written = write_new_files(files, ExistingFile::kRefuse);
  ::setrlimit(RLIMIT_FSIZE, &previous);
  ::signal(SIGXFSZ, previous_handler);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(large, written.error().path);
  EXPECT_EQ(EFBIG, written.error().error.os_error);
  EXPECT_TRUE(names_in(scratch.path()).empty());
}

// Every name a file has on its way in place, the name of a replaced file kept until the end
// included, is a hidden one beside it: ".NAME." and twelve hexadecimal digits, ".tmp". Seen
// by inotify, as each is created or renamed away.
TEST(WriteNewFiles, TemporaryNamesAreHiddenOnesBesideTheFile) {
  ScratchDir scratch;
  const fs::path& dir = scratch.path();
  write_file(dir / "key", "old secret");
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, dir.c_str(), IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO), 0);
  const NewFile files[] = {{(dir / "key").string(), bytes_of(kSecret), 0600},
                           {(dir / "key.pub").string(), bytes_of(kPublic), 0644}};
  ASSERT_TRUE(write_new_files(files, ExistingFile::kReplace).has_value());
  std::vector<std::string> temporary;
  alignas(inotify_event) char events[65536];
  for (ssize_t n; (n = ::read(watch, events, sizeof events)) > 0;) {
    for (char* at = events; at < events + n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      const std::string name = event->len > 0 ? event->name : "";
      if (name != "key" && name != "key.pub") temporary.push_back(name);
      at += sizeof(inotify_event) + event->len;
    }
  }
  ::close(watch);
  ASSERT_FALSE(temporary.empty());
  const std::regex hidden(R"(\.(key|key\.pub)\.[0-9a-f]{12}\.tmp)");
  for (const std::string& name : temporary) EXPECT_TRUE(std::regex_match(name, hidden)) << name;
  EXPECT_EQ((std::vector<std::string>{"key", "key.pub"}), names_in(dir));
}

// Cut at the NUL, the name would be another file's: nothing is written at all.
TEST(WriteNewFiles, ANameWithANulByteIsRefusedBeforeAnythingIsWritten) {
  ScratchDir scratch;
  const std::string first = (scratch.path() / "first").string();
  const std::string cut = (scratch.path() / "key").string() + std::string("\0.pub", 5);
  const NewFile files[] = {{first, bytes_of("1"), 0644}, {cut, bytes_of("2"), 0644}};
  auto written = write_new_files(files, ExistingFile::kRefuse);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(cut, written.error().path);
  EXPECT_EQ("file name contained an unexpected NUL byte", io_error_text(written.error().error));
  EXPECT_TRUE(names_in(scratch.path()).empty());
}

TEST(WriteNewFiles, ARelativePathInTheWorkingDirectory) {
  ScratchDir scratch;
  const fs::path previous = fs::current_path();
  fs::current_path(scratch.path());
  const NewFile files[] = {{"here", bytes_of("x"), 0644}};
  auto written = write_new_files(files, ExistingFile::kRefuse);
  fs::current_path(previous);
  ASSERT_TRUE(written.has_value()) << io_error_text(written.error().error);
  EXPECT_EQ("x", read_file(scratch.path() / "here"));
  EXPECT_EQ(std::vector<std::string>{"here"}, names_in(scratch.path()));
}

}  // namespace
}  // namespace plugin_sign
