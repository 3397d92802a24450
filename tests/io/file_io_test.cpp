#include "io/file_io.hpp"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "io/new_file.hpp"
#include "io/secret_file.hpp"
#include "support/tool_runner.hpp"

namespace plugin_sign {
namespace {

using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

constexpr std::size_t kMiB = std::size_t{1} << 20;

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
  // Below 128 KiB the buffer is allocated, from there on mapped: sizes on both sides, one
  // that ends inside a page, and a single byte.
  for (const std::size_t size :
       {std::size_t{1}, std::size_t{100'000}, std::size_t{300'000}, kMiB * 5 + 123}) {
    SCOPED_TRACE(size);
    ScratchDir dir;
    std::string content(size, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    write_file(dir.path() / "main.wasm", content);

    auto got = read_plugin_file(dir.path().string(), "main.wasm");
    ASSERT_TRUE(got.has_value());
    EXPECT_TRUE(text_of(*got) == content);
    // A performance contract rather than behaviour, pinned on purpose: the size from fstat is
    // reserved once and the end-of-file probe does not grow it, so a large module is never
    // copied into a bigger buffer nor given twice its memory.
    EXPECT_EQ(got->capacity(), content.size());
  }
}

// A mapping is whole pages: a capacity one byte past a page boundary needs the page that byte
// starts, or writing it faults.
TEST(ByteBuffer, EveryReservedByteOfAMappingCanBeWritten) {
  for (const std::size_t capacity : {kMiB + 1, kMiB * 2 + 4095, kMiB * 3}) {
    ByteBuffer buffer;
    ASSERT_TRUE(buffer.reserve(capacity));
    ASSERT_GE(buffer.spare().size(), capacity);
    buffer.spare()[capacity - 1] = std::byte{1};
    buffer.commit(capacity);
    EXPECT_EQ(buffer.bytes()[capacity - 1], std::byte{1}) << capacity;
  }
}

// Growing from allocated into mapped storage and within it keeps the content, moves hand the
// mapping over, and destroying the buffer returns all of it. The last part is a resource
// contract that no result shows, pinned on purpose with mincore: a mapping left behind is
// memory that neither valgrind nor the sanitizers report.
TEST(ByteBuffer, MappedStorageKeepsItsContentAndIsReturned) {
  auto fill = [](ByteBuffer& buffer, std::size_t count) {
    const std::size_t from = buffer.size();
    for (std::size_t i = 0; i < count; ++i)
      buffer.spare()[i] = static_cast<std::byte>((from + i) * 13);
    buffer.commit(count);
  };
  auto holds_pattern = [](const ByteBuffer& buffer) {
    const auto bytes = buffer.bytes();
    for (std::size_t i = 0; i < bytes.size(); ++i)
      if (bytes[i] != static_cast<std::byte>(i * 13)) return false;
    return true;
  };
  ByteBuffer buffer;
  ASSERT_TRUE(buffer.reserve(100));
  fill(buffer, 100);
  ASSERT_TRUE(buffer.reserve(kMiB * 3 + 5, Prefault::kYes));  // allocated to mapped
  fill(buffer, kMiB * 3 + 5 - 100);
  ASSERT_TRUE(buffer.reserve(kMiB * 7));  // mapped to mapped, pages left to fault
  fill(buffer, 1000);
  EXPECT_EQ(buffer.size(), kMiB * 3 + 1005);
  EXPECT_TRUE(holds_pattern(buffer));

  const std::byte* storage = buffer.bytes().data();
  std::vector<unsigned char> residency(kMiB * 7 / 4096);
  {
    ByteBuffer moved(std::move(buffer));
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(buffer.capacity(), 0u);
    // The mapping of a buffer assigned over is returned at once.
    ByteBuffer assigned;
    ASSERT_TRUE(assigned.reserve(kMiB * 2));
    const std::byte* replaced = assigned.spare().data();
    assigned = std::move(moved);
    EXPECT_EQ(assigned.bytes().data(), storage);
    EXPECT_TRUE(holds_pattern(assigned));
    ASSERT_EQ(::mincore(const_cast<std::byte*>(storage), kMiB * 7, residency.data()), 0);
    errno = 0;
    EXPECT_EQ(::mincore(const_cast<std::byte*>(replaced), kMiB * 2, residency.data()), -1);
    EXPECT_EQ(errno, ENOMEM);
    // What was moved from is empty, and can be filled again.
    EXPECT_EQ(moved.size(), 0u);
    EXPECT_EQ(moved.capacity(), 0u);
    ASSERT_TRUE(moved.reserve(10));
    fill(moved, 10);
    EXPECT_TRUE(holds_pattern(moved));
  }
  // mincore fails with ENOMEM for any part of a range that is no longer mapped.
  errno = 0;
  EXPECT_EQ(::mincore(const_cast<std::byte*>(storage), kMiB * 7, residency.data()), -1);
  EXPECT_EQ(errno, ENOMEM);
}

// A reservation never loses the content nor shrinks the buffer below it, whether the storage
// stays allocated, moves into a mapping, or is asked for less than it holds.
TEST(ByteBuffer, AReservationKeepsTheContent) {
  struct Case {
    const char* name;
    std::size_t held;
    std::size_t reserved;
  };
  const Case cases[] = {
      {"one byte into a mapping", 1, kMiB},
      {"less than it holds", 100, 10},
      {"less than a mapping holds", kMiB, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteBuffer buffer;
    ASSERT_TRUE(buffer.reserve(c.held));
    for (std::size_t i = 0; i < c.held; ++i) buffer.spare()[i] = static_cast<std::byte>(i + 1);
    buffer.commit(c.held);
    ASSERT_TRUE(buffer.reserve(c.reserved));
    ASSERT_GE(buffer.capacity(), c.held);
    ASSERT_EQ(buffer.size(), c.held);
    bool kept = true;
    for (std::size_t i = 0; i < c.held; ++i)
      kept = kept && buffer.bytes()[i] == static_cast<std::byte>(i + 1);
    EXPECT_TRUE(kept);
  }
}

TEST(ReadPluginFile, EmptyFileIsZeroBytes) {
  ScratchDir dir;
  write_file(dir.path() / "plugin.toml", "");
  auto got = read_plugin_file(dir.path().string() + "/", "plugin.toml");
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->size(), 0u);
}

TEST(ReadPluginFile, FileWithoutSizeHintIsReadWhole) {
  // Files under /proc report size 0 but have content: the buffer has to grow. The mount
  // table stays the same while the test runs, so a reader of its own can tell a cut read.
  const std::string whole = read_file("/proc/self/mountinfo");
  ASSERT_GT(whole.size(), 64u);
  auto got = read_plugin_file("/proc/self", "mountinfo");
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(whole, text_of(*got));
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

// A FIFO would block the open until a writer came, and a device would be read until memory
// ran out: both fail at once. A symbolic link to a regular file is followed.
TEST(ReadPluginFile, RefusesEverythingButARegularFile) {
  ScratchDir dir;
  ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", dir.path() / "device");
  write_file(dir.path() / "real.wasm", "module");
  std::filesystem::create_symlink("real.wasm", dir.path() / "linked.wasm");

  for (const char* file : {"fifo", "device"}) {
    SCOPED_TRACE(file);
    auto got = read_plugin_file(dir.path().string(), file);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(io_error_text(got.error()), "not a regular file");
  }
  auto linked = read_plugin_file(dir.path().string(), "linked.wasm");
  ASSERT_TRUE(linked.has_value());
  EXPECT_EQ(text_of(*linked), "module");
}

TEST(ReadPluginFile, RefusesAFileBeyondTheLimitBeforeReadingIt) {
  ScratchDir dir;
  write_file(dir.path() / "main.wasm", std::string(1001, 'x'));
  auto at_limit = read_plugin_file(dir.path().string(), "main.wasm", 1001);
  ASSERT_TRUE(at_limit.has_value());
  EXPECT_EQ(at_limit->size(), 1001u);
  auto beyond = read_plugin_file(dir.path().string(), "main.wasm", 1000);
  ASSERT_FALSE(beyond.has_value());
  EXPECT_EQ(io_error_text(beyond.error()), "larger than 1000 bytes");
  // A file that reports no size is held to the limit as it grows.
  auto grown = read_plugin_file("/proc/self", "maps", 16);
  ASSERT_FALSE(grown.has_value());
  EXPECT_EQ(io_error_text(grown.error()), "larger than 16 bytes");
}

// /proc/version reports size 0: the limit holds for what is read, exactly, and the buffer
// never grows past it (a limit exceeded by the read loop let a 125-byte file through 64).
// /proc/sys/kernel/ostype is shorter than the probe that finds the end: it fits its limit
// exactly too.
TEST(ReadPluginFile, HoldsAFileThatReportsNoSizeToTheLimitExactly) {
  const std::string short_file = read_file("/proc/sys/kernel/ostype");
  ASSERT_GT(short_file.size(), 1u);
  ASSERT_LT(short_file.size(), 64u);
  auto short_at_limit = read_plugin_file("/proc/sys/kernel", "ostype", short_file.size());
  ASSERT_TRUE(short_at_limit.has_value()) << io_error_text(short_at_limit.error());
  EXPECT_EQ(text_of(*short_at_limit), short_file);
  auto short_over = read_plugin_file("/proc/sys/kernel", "ostype", short_file.size() - 1);
  ASSERT_FALSE(short_over.has_value());
  EXPECT_EQ(short_over.error().kind, IoErrorKind::kTooLarge);

  const std::string whole = read_file("/proc/version");
  ASSERT_GT(whole.size(), 1u);
  auto at_limit = read_plugin_file("/proc", "version", whole.size());
  ASSERT_TRUE(at_limit.has_value());
  EXPECT_EQ(text_of(*at_limit), whole);
  EXPECT_LE(at_limit->capacity(), whole.size());
  auto one_over = read_plugin_file("/proc", "version", whole.size() - 1);
  ASSERT_FALSE(one_over.has_value());
  EXPECT_EQ(one_over.error().kind, IoErrorKind::kTooLarge);
  EXPECT_EQ(io_error_text(one_over.error()),
            "larger than " + std::to_string(whole.size() - 1) + " bytes");
}

// Anyone on the machine could add a trusted key to a file that every user can write. A name
// that starts with more slashes than one names the same file and is checked the same way. A
// plugin's own files are read whoever may write them.
TEST(ReadTrustFile, RefusesAFileEveryUserCanWriteAndNoOther) {
  ScratchDir dir;
  const auto path = dir.path() / "keys";
  write_file(path, "key\n");
  struct Case {
    mode_t mode;
    bool refused;
  };
  for (const Case& c : {Case{0600, false}, Case{0664, false}, Case{0602, true}, Case{0666, true}}) {
    ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
    auto plugin_file = read_plugin_file(dir.path().string(), "keys");
    ASSERT_TRUE(plugin_file.has_value()) << c.mode;
    EXPECT_EQ(text_of(*plugin_file), "key\n");
    for (const std::string& name : {path.string(), "//" + path.string()}) {
      SCOPED_TRACE(std::to_string(c.mode) + " " + name);
      auto got = read_trust_file(name);
      if (!c.refused) {
        ASSERT_TRUE(got.has_value()) << io_error_text(got.error());
        EXPECT_EQ(text_of(*got), "key\n");
        continue;
      }
      ASSERT_FALSE(got.has_value());
      EXPECT_EQ(got.error().kind, IoErrorKind::kWorldWritable);
      EXPECT_EQ(io_error_text(got.error()), "every user can write to it (chmod o-w " + name + ")");
    }
  }
}

// A name that cannot be checked is no name to trust.
TEST(CheckTrustPath, FailsForAMissingPathOrANulByte) {
  ScratchDir dir;
  write_file(dir.path() / "keys", "key\n");
  ::chmod((dir.path() / "keys").c_str(), 0644);
  ASSERT_TRUE(check_trust_path((dir.path() / "keys").string()).has_value());
  auto missing = check_trust_path((dir.path() / "missing").string());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().os_error, ENOENT);
  // Cut at the NUL, the name would be that of the directory.
  auto nul = check_trust_path(dir.path().string() + std::string("\0/keys", 6));
  ASSERT_FALSE(nul.has_value());
  EXPECT_EQ(nul.error().os_error, EINVAL);
}

// Whoever could change a directory above a trust file could replace the file: each one up to
// the root must be the user's or root's, writable by no one else, unless it is sticky.
TEST(ReadTrustFile, RefusesAFileInADirectoryOthersControl) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a directory to another user needs root";
  ScratchDir scratch;
  const auto top = scratch.path() / "top";
  const auto dir = top / "dir";
  std::filesystem::create_directories(dir);
  write_file(dir / "keys", "key\n");
  ::chmod((dir / "keys").c_str(), 0644);
  std::filesystem::create_symlink(dir / "keys", scratch.path() / "link");
  // A link whose own directory lies on no path to the file.
  const auto elsewhere = scratch.path() / "elsewhere";
  std::filesystem::create_directory(elsewhere);
  ::chmod(elsewhere.c_str(), 0755);
  std::filesystem::create_symlink(dir / "keys", elsewhere / "link");
  constexpr ::uid_t kNobody = 65534;
  struct Case {
    const char* name;
    std::filesystem::path changed;  // the directory or file changed
    ::mode_t mode;
    ::uid_t owner;
    ::gid_t group;
    std::string read;    // the path read
    std::string reason;  // empty: read
  };
  const std::string d = dir.string();
  const std::string t = top.string();
  const std::string keys = (dir / "keys").string();
  const std::string link = (scratch.path() / "link").string();
  const Case cases[] = {
      {"safe", dir, 0755, 0, 0, keys, ""},
      {"a parent every user can write", dir, 0777, 0, 0, keys,
       "every user can write to directory " + d + " (chmod go-w " + d + ")"},
      {"a grandparent every user can write", top, 0757, 0, 0, keys,
       "every user can write to directory " + t + " (chmod go-w " + t + ")"},
      {"a sticky directory every user can write", dir, 01777, 0, 0, keys, ""},
      {"a parent another group can write", dir, 0775, 0, kNobody, keys,
       "group 65534 can write to directory " + d + " (chmod go-w " + d + ")"},
      {"a parent the user's private group can write", dir, 0775, 0, 0, keys, ""},
      {"a parent another user owns", dir, 0755, kNobody, 0, keys,
       "directory " + d + " is owned by user 65534, neither you nor root (chown 0 " + d + ")"},
      {"a file another user owns", dir / "keys", 0644, kNobody, 0, keys,
       "it is owned by user 65534, neither you nor root (chown 0 " + keys + ")"},
      {"a sticky file every user can write", dir / "keys", 01646, 0, 0, keys,
       "every user can write to it (chmod o-w " + keys + ")"},
      {"a file another group can write", dir / "keys", 0664, 0, kNobody, keys,
       "group 65534 can write to it (chmod go-w " + keys + ")"},
      {"a link whose target's directory others control", dir, 0777, 0, 0, link,
       "every user can write to directory " + d + " (chmod go-w " + d + ")"},
      {"a link in a directory others control", elsewhere, 0777, 0, 0, (elsewhere / "link").string(),
       "every user can write to directory " + elsewhere.string() + " (chmod go-w " +
           elsewhere.string() + ")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    struct stat before {};
    ASSERT_EQ(::stat(c.changed.c_str(), &before), 0);
    ASSERT_EQ(::chown(c.changed.c_str(), c.owner, c.group), 0);
    ASSERT_EQ(::chmod(c.changed.c_str(), c.mode), 0);
    auto got = read_trust_file(c.read);
    auto checked = check_trust_path(c.read);
    if (c.reason.empty()) {
      ASSERT_TRUE(got.has_value()) << io_error_text(got.error());
      EXPECT_EQ(text_of(*got), "key\n");
      EXPECT_TRUE(checked.has_value()) << io_error_text(checked.error());
    } else {
      ASSERT_FALSE(got.has_value());
      EXPECT_EQ(got.error().kind, IoErrorKind::kWorldWritable);
      EXPECT_EQ(io_error_text(got.error()), c.reason);
      ASSERT_FALSE(checked.has_value());
      EXPECT_EQ(io_error_text(checked.error()), c.reason);
    }
    ASSERT_EQ(::chown(c.changed.c_str(), before.st_uid, before.st_gid), 0);
    ASSERT_EQ(::chmod(c.changed.c_str(), before.st_mode & 07777), 0);
  }
}

// What `run` returns in a forked child, or nullopt when the child ended otherwise (it calls
// _exit itself where it cannot set up what it needs).
std::optional<std::string> outcome_in_child(const std::function<std::string()>& run) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t pid = ::fork();
  if (pid < 0) return std::nullopt;
  if (pid == 0) {
    ::close(report[0]);
    const std::string outcome = run();
    const bool sent =
        ::write(report[1], outcome.data(), outcome.size()) == static_cast<ssize_t>(outcome.size());
    ::_exit(sent ? 0 : 5);
  }
  ::close(report[1]);
  std::string outcome;
  char chunk[256];
  for (ssize_t n; (n = ::read(report[0], chunk, sizeof chunk)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    outcome.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(report[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return outcome;
}

// What reading `path` as a trust file gives a child that runs as `uid`, with the user and
// group databases replaced by the files `users` and `groups` (in a mount namespace of its own,
// so that nothing else sees them): the content, or "refused: " and the message. Nullopt when
// the child could not become that user with those databases.
std::optional<std::string> read_trust_file_as(::uid_t uid, const std::string& users,
                                              const std::string& groups, const std::string& path) {
  return outcome_in_child([&] {
    // Private first, so that the files bound over the databases stay in this namespace.
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(users.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(groups.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) != 0)
      ::_exit(2);
    // A name service daemon would answer from the machine's databases instead.
    const passwd* account = ::getpwuid(uid);
    if (account == nullptr || account->pw_uid != uid) ::_exit(3);
    if (::setgroups(0, nullptr) != 0 || ::setgid(account->pw_gid) != 0 || ::setuid(uid) != 0)
      ::_exit(4);
    auto got = read_trust_file(path);
    return got ? text_of(*got) : "refused: " + io_error_text(got.error());
  });
}

// Directories `levels` deep below the working directory, each with a name of 200 bytes, and
// the working directory moved to the deepest; returns the path from the old one to it.
std::string make_deep_directories(int levels) {
  const std::string name(200, 'n');
  std::string path;
  for (int level = 0; level < levels; ++level) {
    if (::mkdir(name.c_str(), 0755) != 0 || ::chdir(name.c_str()) != 0) ::_exit(2);
    path += (level == 0 ? "" : "/") + name;
  }
  return path;
}

// A name whose directories or whose real path cannot be looked at again is refused: what
// cannot be checked is not trusted. Each case runs in a child of its own, as some change the
// working directory.
TEST(ReadTrustFile, RefusesAFileWhoseNamesCannotBeChecked) {
  ScratchDir scratch;
  const std::string s = scratch.path().string();
  const auto refused = [](const std::string& name) {
    auto got = read_trust_file(name);
    return got ? text_of(*got) : "refused: " + io_error_text(got.error());
  };
  struct Case {
    const char* name;
    std::function<std::string()> run;
    std::string outcome;
  };
  const Case cases[] = {
      {"a working directory that was removed: no absolute name for a relative one",
       [&] {
         write_file(s + "/keys", "key\n");
         if (::mkdir((s + "/gone").c_str(), 0755) != 0 || ::chdir((s + "/gone").c_str()) != 0 ||
             ::rmdir((s + "/gone").c_str()) != 0)
           ::_exit(2);
         return refused("../keys");
       },
       "refused: No such file or directory (os error 2)"},
      {"directories above the name too deep to look at one by one",
       [&] {
         if (::chdir(s.c_str()) != 0) ::_exit(2);
         make_deep_directories(12);
         if (::mkdir("x", 0755) != 0) ::_exit(2);
         write_file("keys", "key\n");
         ::chmod("keys", 0644);
         std::string name;
         for (int i = 0; i < 400; ++i) name += "x/../";
         return refused(name + "keys");
       },
       "refused: File name too long (os error 36)"},
      {"a real path too long to name, reached through two links",
       [&] {
         if (::chdir(s.c_str()) != 0 || ::mkdir("d", 0755) != 0 || ::chdir("d") != 0) ::_exit(2);
         const std::string first = make_deep_directories(12);
         const std::string second = make_deep_directories(12);
         write_file("keys", "key\n");
         ::chmod("keys", 0644);
         if (::chdir(s.c_str()) != 0 || ::symlink(("d/" + first).c_str(), "l1") != 0 ||
             ::symlink((second + "/keys").c_str(), ("d/" + first + "/l2").c_str()) != 0)
           ::_exit(2);
         return refused(s + "/l1/l2");
       },
       "refused: File name too long (os error 36)"},
      // The link of an open file that was removed names "PATH (deleted)": here another file.
      {"a name that resolves to another file than the one opened",
       [&] {
         write_file(s + "/removed", "old\n");
         write_file(s + "/removed (deleted)", "other\n");
         const int fd = ::open((s + "/removed").c_str(), O_RDONLY | O_CLOEXEC);
         if (fd < 0 || ::unlink((s + "/removed").c_str()) != 0) ::_exit(2);
         return refused("/proc/self/fd/" + std::to_string(fd));
       },
       "refused: it was replaced while it was read"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto outcome = outcome_in_child(c.run);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(*outcome, c.outcome);
  }
}

// The root directory is a directory like the others, and the one whose names are shortest:
// it is checked above a trust file, and a new file is put in place in it. Run in a child whose
// root is a scratch directory (that every user can write, for the first).
TEST(ReadTrustFile, TheRootDirectoryIsCheckedAndWrittenInLikeAnyOther) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing the root directory needs root";
  ScratchDir scratch;
  std::filesystem::create_directory(scratch.path() / "a");
  write_file(scratch.path() / "a" / "keys", "key\n");
  ::chmod((scratch.path() / "a").c_str(), 0755);
  ::chmod((scratch.path() / "a" / "keys").c_str(), 0644);
  ::chmod(scratch.path().c_str(), 0757);
  const auto in_root = [&](const std::function<std::string()>& run) {
    return outcome_in_child([&] {
      if (::chroot(scratch.path().c_str()) != 0 || ::chdir("/") != 0) ::_exit(2);
      return run();
    });
  };
  const auto trusted = in_root([] {
    auto got = read_trust_file("/a/keys");
    return got ? text_of(*got) : io_error_text(got.error());
  });
  ASSERT_TRUE(trusted.has_value());
  EXPECT_EQ(*trusted, "every user can write to directory / (chmod go-w /)");
  const auto placed = in_root([] {
    const std::string_view content = "placed";
    const NewFile files[] = {{"/new", std::as_bytes(std::span(content)), 0644}};
    auto written = write_new_files(files, ExistingFile::kRefuse);
    return written ? read_file("/new") : io_error_text(written.error().error);
  });
  ASSERT_TRUE(placed.has_value());
  EXPECT_EQ(*placed, "placed");
}

// A host reads its trust files and plugins on each verification, for as long as it runs:
// reading gives back all the memory it took, the names it looked up included. A resource
// contract that no result shows, pinned on purpose by the allocator's own count.
TEST(ReadTrustFile, ReadingAgainAndAgainHoldsNoMoreMemory) {
  ScratchDir dir;
  write_file(dir.path() / "keys", "key\n");
  ::chmod((dir.path() / "keys").c_str(), 0644);
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const auto read_all = [&] {
    for (int i = 0; i < 1000; ++i) {
      // A relative name: its absolute form and its real path are both looked up.
      if (!read_trust_file("keys") || !read_plugin_file(".", "keys")) return false;
    }
    return true;
  };
  ASSERT_TRUE(read_all());  // warms up whatever the C library keeps for good
  const std::size_t before = ::mallinfo2().uordblks;
  const bool read = read_all();
  const std::size_t after = ::mallinfo2().uordblks;
  std::filesystem::current_path(previous);
  ASSERT_TRUE(read);
  EXPECT_LE(after, before + 4096);
}

// The checks as another user than root sees them: the user's own files are theirs to trust,
// and a group's write bit is harmless only in a group that is the user's alone (their primary
// group, listing no one else). Root's primary group lists nobody, so only another user, with
// groups made for the purpose, can tell these apart.
TEST(ReadTrustFile, AsAnotherUserTrustsTheirOwnFilesAndTheirPrivateGroupOnly) {
  if (::geteuid() != 0) GTEST_SKIP() << "running as other users needs root";
  ScratchDir scratch;
  std::filesystem::permissions(scratch.path(), std::filesystem::perms(0755));
  const auto passwd = scratch.path() / "passwd";
  const auto group = scratch.path() / "group";
  write_file(passwd,
             "root:x:0:0:root:/root:/bin/sh\n"
             "alone:x:4001:4001::/:/bin/false\n"
             "listed:x:4002:4002::/:/bin/false\n"
             "shared:x:4003:4003::/:/bin/false\n"
             "orphan:x:4004:4005::/:/bin/false\n"
             "other:x:4006:4006::/:/bin/false\n");
  // 4005, the primary group of orphan, has no entry: nothing tells who else is in it.
  write_file(group,
             "root:x:0:\n"
             "alone:x:4001:\n"
             "listed:x:4002:listed\n"
             "shared:x:4003:shared,other\n"
             "other:x:4006:\n");
  ::chmod(passwd.c_str(), 0644);
  ::chmod(group.c_str(), 0644);
  const auto keys = scratch.path() / "keys";
  write_file(keys, "key\n");
  const std::string k = keys.string();
  struct Case {
    const char* name;
    ::uid_t user;
    ::uid_t owner;
    ::gid_t group;
    ::mode_t mode;
    std::string outcome;
  };
  const Case cases[] = {
      {"the user's own file", 4001, 4001, 4001, 0644, "key\n"},
      {"root's file", 4001, 0, 0, 0644, "key\n"},
      {"another user's file", 4001, 4006, 4001, 0644,
       "refused: it is owned by user 4006, neither you nor root (chown 4001 " + k + ")"},
      {"a private group with no members", 4001, 4001, 4001, 0664, "key\n"},
      {"a private group that lists only the user", 4002, 4002, 4002, 0664, "key\n"},
      {"the user's primary group that lists another user too", 4003, 4003, 4003, 0664,
       "refused: group 4003 can write to it (chmod go-w " + k + ")"},
      {"a primary group with no entry", 4004, 4004, 4005, 0664,
       "refused: group 4005 can write to it (chmod go-w " + k + ")"},
      {"a group the user is not in", 4001, 4001, 4006, 0664,
       "refused: group 4006 can write to it (chmod go-w " + k + ")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(::chown(keys.c_str(), c.owner, c.group), 0);
    ASSERT_EQ(::chmod(keys.c_str(), c.mode), 0);
    const auto outcome = read_trust_file_as(c.user, passwd.string(), group.string(), k);
    if (!outcome)
      GTEST_SKIP() << "no mount namespace with a user database of its own could be made here";
    EXPECT_EQ(*outcome, c.outcome);
  }
}

// A host may run with its standard input closed: the first file it opens then gets
// descriptor 0, which is a descriptor like any other. Each way of opening a file works there,
// and gives the descriptor back when done.
TEST(Descriptors, EachFileWorksAsDescriptorZeroAndIsClosedAgain) {
  ScratchDir scratch;
  const auto dir = scratch.path();
  write_file(dir / "main.wasm", "module");
  write_file(dir / "secret", "c2VjcmV0");
  const auto bytes = [](const char* text) {
    return std::as_bytes(std::span(text, std::char_traits<char>::length(text)));
  };
  // A descriptor handed out is closed on exec, so that no program the host starts inherits it.
  const auto written = [&](std::expected<FileDescriptor, IoError> file, const char* name) {
    if (!file) return "failed: " + io_error_text(file.error());
    if ((::fcntl(file->get(), F_GETFD) & FD_CLOEXEC) == 0) return std::string("inherited");
    if (!write_all(file->get(), bytes("output"))) return std::string("write failed");
    if (!file->close()) return std::string("close failed");
    return read_file(dir / name);
  };
  const auto placed = [&](const char* name) {
    const NewFile files[] = {{(dir / name).string(), bytes("placed"), 0644}};
    auto result = write_new_files(files, ExistingFile::kRefuse);
    return result ? read_file(dir / name) : "failed: " + io_error_text(result.error().error);
  };
  struct Case {
    const char* name;
    std::function<std::string()> run;
    std::string outcome;
  };
  const Case cases[] = {
      {"a plugin file read",
       [&] {
         auto got = read_plugin_file(dir.string(), "main.wasm");
         return got ? text_of(*got) : "failed: " + io_error_text(got.error());
       },
       "module"},
      {"an output file created",
       [&] { return written(create_output_file((dir / "out").string()), "out"); }, "output"},
      {"a regular output file created",
       [&] { return written(create_regular_output_file((dir / "regular").string()), "regular"); },
       "output"},
      {"a secret file read",
       [&] {
         SecretBuffer secret;
         auto got = read_secret_file((dir / "secret").string(), secret);
         return got ? std::string(secret.text()) : "failed: " + io_error_text(got.error());
       },
       "c2VjcmV0"},
      {"a secret read from standard input that is closed",
       [&] {
         SecretBuffer secret;
         auto got = read_secret_file("-", secret);
         return got ? "read " + std::string(secret.text())
                    : "failed: " + io_error_text(got.error());
       },
       "failed: Bad file descriptor (os error 9)"},
      {"a secret read from standard input that is a directory",
       [&] {
         FileDescriptor input(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
         SecretBuffer secret;
         auto got = read_secret_file("-", secret);
         return got ? "read " + std::string(secret.text())
                    : "failed: " + io_error_text(got.error());
       },
       "failed: Is a directory (os error 21)"},
      {"a descriptor assigned over",
       [&] {
         FileDescriptor file(::open("/dev/null", O_RDONLY | O_CLOEXEC));
         file = FileDescriptor();
         return std::to_string(file.get());
       },
       "-1"},
      {"a descriptor moved onto itself",
       [&] {
         FileDescriptor file(::open("/dev/null", O_RDONLY | O_CLOEXEC));
         FileDescriptor& same = file;
         file = std::move(same);
         return ::fcntl(file.get(), F_GETFD) == -1 ? std::string("closed") : std::string("open");
       },
       "open"},
      {"a new file put in place", [&] { return placed("new"); }, "placed"},
      // Without /proc an unnamed file cannot be given a name: the file is written under a
      // temporary name instead.
      {"a new file put in place where /proc is missing",
       [&] {
         if (::unshare(CLONE_NEWNS) != 0 ||
             ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             ::mount("none", "/proc", "tmpfs", 0, nullptr) != 0)
           return std::string("no /proc to hide");
         return placed("named");
       },
       "placed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto outcome = outcome_in_child([&] {
      ::alarm(20);  // a read that never ends fails the case
      ::close(STDIN_FILENO);
      std::string result = c.run();
      if (::fcntl(STDIN_FILENO, F_GETFD) != -1) result += " (descriptor 0 left open)";
      return result;
    });
    ASSERT_TRUE(outcome.has_value());
    if (*outcome == "no /proc to hide") {
      std::cout << "skipped " << c.name << ": no mount namespace could be made here\n";
      continue;
    }
    EXPECT_EQ(*outcome, c.outcome);
  }
}

// A host may start programs from another thread while it reads a plugin or writes a file: a
// descriptor that is open only for the length of a call is still closed on exec, or the
// program started would inherit it. A watcher looks at the descriptors open under the
// scratch directory while the calls run again and again.
TEST(Descriptors, EachDescriptorOpenDuringACallIsClosedOnExec) {
  ScratchDir scratch;
  const std::string dir = scratch.path().string();
  write_file(scratch.path() / "main.wasm", "module");
  write_file(scratch.path() / "secret", "c2VjcmV0");
  const auto content = std::as_bytes(std::span(std::string_view("placed")));
  int serial = 0;
  struct Case {
    const char* name;
    std::function<bool()> call;
  };
  const Case cases[] = {
      {"a plugin file read", [&] { return read_plugin_file(dir, "main.wasm").has_value(); }},
      {"a trust file read", [&] { return read_trust_file(dir + "/main.wasm").has_value(); }},
      {"a secret file read",
       [&] {
         SecretBuffer secret;
         return read_secret_file(dir + "/secret", secret).has_value();
       }},
      {"a new file put in place",
       [&] {
         const std::string path = dir + "/new" + std::to_string(serial++);
         const NewFile files[] = {{path, content, 0644}};
         return write_new_files(files, ExistingFile::kRefuse).has_value() &&
                ::unlink(path.c_str()) == 0;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<bool> done = false;
    std::atomic<int> seen = 0, inherited = 0;
    std::thread watcher([&] {
      char target[4096];
      while (!done) {
        for (int fd = 3; fd < 64; ++fd) {
          const std::string link = "/proc/self/fd/" + std::to_string(fd);
          const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
          if (n <= 0 || std::string_view(target, static_cast<std::size_t>(n)).find(dir) != 0)
            continue;
          const int flags = ::fcntl(fd, F_GETFD);
          if (flags == -1) continue;
          ++seen;
          if ((flags & FD_CLOEXEC) == 0) ++inherited;
        }
      }
    });
    bool worked = true;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (worked && seen < 50 && std::chrono::steady_clock::now() < until) worked = c.call();
    done = true;
    watcher.join();
    ASSERT_TRUE(worked);
    EXPECT_EQ(inherited, 0);
    if (seen == 0) std::cout << "no descriptor of " << c.name << " was caught open\n";
  }
  // Without /proc a new file is written under a temporary name instead. The watcher then
  // looks at every descriptor that was not open before, in a child with /proc hidden.
  const auto named = outcome_in_child([&] {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("none", "/proc", "tmpfs", 0, nullptr) != 0)
      return std::string("no /proc to hide");
    std::vector<bool> open_before(64);
    for (int fd = 3; fd < 64; ++fd) open_before[fd] = ::fcntl(fd, F_GETFD) != -1;
    std::atomic<bool> done = false;
    std::atomic<int> seen = 0, inherited = 0;
    std::thread watcher([&] {
      while (!done) {
        for (int fd = 3; fd < 64; ++fd) {
          const int flags = open_before[fd] ? -1 : ::fcntl(fd, F_GETFD);
          if (flags == -1) continue;
          ++seen;
          if ((flags & FD_CLOEXEC) == 0) ++inherited;
        }
      }
    });
    bool worked = true;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (worked && seen < 50 && std::chrono::steady_clock::now() < until)
      worked = cases[3].call();
    done = true;
    watcher.join();
    return worked ? "inherited " + std::to_string(inherited) : std::string("failed");
  });
  ASSERT_TRUE(named.has_value());
  if (*named != "no /proc to hide") {
    EXPECT_EQ(*named, "inherited 0");
  }
}

// A signal that interrupts a blocked read or write of a host (one whose handler does not ask
// for calls to restart) interrupts nothing that the caller sees: the call goes on. Each case
// runs in a child, where another thread sends signals while the pipe keeps the call waiting,
// then feeds or drains the pipe.
TEST(Descriptors, ReadsAndWritesGoOnAfterASignal) {
  const auto while_signalled = [](const std::function<std::string(int pipe_end)>& call,
                                  bool reading) {
    return outcome_in_child([&] {
      ::alarm(20);  // a call that never ends fails the case
      struct sigaction on_signal {};
      on_signal.sa_handler = [](int) {};
      if (::sigaction(SIGUSR1, &on_signal, nullptr) != 0) ::_exit(2);
      int ends[2];
      if (::pipe2(ends, O_CLOEXEC) != 0) ::_exit(2);
      const pthread_t caller = ::pthread_self();
      std::string drained;
      std::thread other([&] {
        for (int i = 0; i < 10; ++i) {
          ::usleep(20000);
          ::pthread_kill(caller, SIGUSR1);
        }
        if (reading) {
          (void)!::write(ends[1], "c2VjcmV0", 8);
          ::close(ends[1]);
          return;
        }
        char chunk[65536];
        for (ssize_t n; (n = ::read(ends[0], chunk, sizeof chunk)) != 0;)
          if (n > 0) drained.append(chunk, static_cast<std::size_t>(n));
      });
      std::string result = call(reading ? ends[0] : ends[1]);
      if (!reading) ::close(ends[1]);
      other.join();
      return result + (reading ? "" : " drained " + std::to_string(drained.size()));
    });
  };
  const auto secret = while_signalled(
      [](int input) {
        if (::dup2(input, STDIN_FILENO) != STDIN_FILENO) ::_exit(2);
        SecretBuffer buffer;
        auto got = read_secret_file("-", buffer);
        return got ? std::string(buffer.text()) : io_error_text(got.error());
      },
      true);
  ASSERT_TRUE(secret.has_value());
  EXPECT_EQ(*secret, "c2VjcmV0");
  const auto written = while_signalled(
      [](int output) {
        const std::string bytes(1 << 20, 'w');
        auto done = write_all(output, std::as_bytes(std::span(bytes)));
        return done ? std::string("written") : io_error_text(done.error());
      },
      false);
  ASSERT_TRUE(written.has_value());
  EXPECT_EQ(*written, "written drained 1048576");
}

// A terminal or a FIFO named where a file belongs is refused without waiting for a writer,
// and a terminal never becomes the controlling terminal of a process that has none (a
// daemon's, say), which would then get its hangups and its keyboard's signals.
TEST(Descriptors, ATerminalOrAFifoNamedAsAFileIsRefusedAndNotTaken) {
  const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal < 0 || ::grantpt(terminal) != 0 || ::unlockpt(terminal) != 0)
    GTEST_SKIP() << "no pseudo-terminal can be had here";
  const FileDescriptor owned(terminal);
  ScratchDir scratch;
  const std::string fifo = (scratch.path() / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    const char* name;
    std::function<std::string(const std::filesystem::path&)> open;
    // Writing to a FIFO that nobody reads fails at once as well.
    std::string at_fifo = "failed: not a regular file";
  };
  const auto text = [](const auto& got) {
    return got ? std::string("opened") : "failed: " + io_error_text(got.error());
  };
  const Case cases[] = {
      {"a plugin file",
       [&](const std::filesystem::path& path) {
         return text(read_plugin_file(path.parent_path().string(), path.filename().string()));
       }},
      {"a trust file",
       [&](const std::filesystem::path& path) { return text(read_trust_file(path.string())); }},
      {"a secret file",
       [&](const std::filesystem::path& path) {
         SecretBuffer secret;
         return text(read_secret_file(path.string(), secret));
       }},
      {"a regular output file",
       [&](const std::filesystem::path& path) {
         return text(create_regular_output_file(path.string()));
       },
       "failed: No such device or address (os error 6)"},
  };
  for (const Case& c : cases) {
    for (const std::string& path : {std::string(::ptsname(terminal)), fifo}) {
      SCOPED_TRACE(std::string(c.name) + " at " + path);
      const auto outcome = outcome_in_child([&] {
        ::alarm(20);  // an open that waits for a writer fails the case
        if (::setsid() < 0) ::_exit(2);
        std::string result = c.open(path);
        if (::open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC) >= 0)
          result += " (became the controlling terminal)";
        return result;
      });
      ASSERT_TRUE(outcome.has_value());
      EXPECT_EQ(*outcome, path == fifo ? c.at_fifo : "failed: not a regular file");
    }
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
