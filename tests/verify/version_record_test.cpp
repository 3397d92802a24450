// The version record: its format, the rules that refuse a rollback, and the file under its
// lock, through the library (the tools' runs are in tests/e2e).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "plugin_sign/revocations.hpp"
#include "plugin_sign/verify.hpp"
#include "plugin_sign/version_record.hpp"
#include "support/guard_page.hpp"
#include "verify/signed_package.hpp"
#include "verify/version_record.hpp"

namespace plugin_sign {
namespace {

namespace fs = std::filesystem;

const std::string kHeader = "plugin_sign version record 1\n";
const std::string kKeyA = "0123456789abcdef";
const std::string kKeyB = "fedcba9876543210";
const std::string kSha1(64, '1');
const std::string kSha2(64, '2');

std::string record(const std::vector<std::string>& lines) {
  std::string text = kHeader;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TEST(VersionRecordFormat, AnyNameAndVersionRoundTrip) {
  const std::vector<RecordedVersion> entries = {
      {"hello", kKeyB, "1.4.0", kSha1},
      {"my plugin 100%", kKeyA, "2.0.0-rc.1+build 7", kSha2},
      {"-", kKeyA, "", kSha1},
      {"caf\xc3\xa9 \xe2\x80\xae", kKeyA, "v1", kSha1},
      {"hello", kKeyA, "not semver", kSha2},
      {"!\"#$&'()*+,./:;<=>?@[\\]^_`{|}~", kKeyA, "1.0.0", kSha1},
  };
  const std::string text = format_version_record(entries);
  EXPECT_TRUE(text.starts_with(kHeader));
  const auto parsed = parse_version_record(text);
  ASSERT_TRUE(parsed.has_value()) << parsed.error();
  ASSERT_EQ(parsed->size(), entries.size());
  for (const RecordedVersion& entry : entries) {
    bool found = false;
    for (const RecordedVersion& got : *parsed)
      found |= got.name == entry.name && got.key_id == entry.key_id &&
               got.version == entry.version && got.manifest_sha256 == entry.manifest_sha256;
    EXPECT_TRUE(found) << entry.name;
  }
  EXPECT_EQ(format_version_record(*parsed), text);
  EXPECT_EQ(parse_version_record(kHeader).value().size(), 0u);
}

TEST(VersionRecordFormat, KeysOfOneNameAreSortedByTheirWholeID) {
  // Only the last digit tells these keys apart: the written record is in key ID order, so
  // that it reads back.
  const std::string low = "0123456789abcde0", high = "0123456789abcde1";
  const std::vector<RecordedVersion> entries = {{"hello", high, "1.0.0", kSha1},
                                                {"hello", low, "2.0.0", kSha2}};
  const std::string text = format_version_record(entries);
  EXPECT_EQ(text, kHeader + "hello " + low + " 2.0.0 " + kSha2 + "\nhello " + high + " 1.0.0 " +
                      kSha1 + "\n");
  EXPECT_TRUE(parse_version_record(text).has_value());
}

TEST(VersionRecordFormat, DamageIsRefusedNamingTheLine) {
  const std::string good = "hello " + kKeyA + " 1.4.0 " + kSha1;
  const struct {
    const char* name;
    std::string text;
    std::string error;
  } cases[] = {
      {"empty file", "",
       "line 1: not a version record (the first line must be \"plugin_sign version record 1\")"},
      {"another format version", "plugin_sign version record 2\n",
       "line 1: not a version record (the first line must be \"plugin_sign version record 1\")"},
      {"header without its line feed", "plugin_sign version record 1",
       "line 1: not a version record (the first line must be \"plugin_sign version record 1\")"},
      {"cut short", kHeader + good.substr(0, 30), "line 2: ends without a line feed (cut short?)"},
      {"cut before the line feed", kHeader + good, "line 2: ends without a line feed (cut short?)"},
      {"three fields", record({"hello " + kKeyA + " " + kSha1}),
       "line 2: an entry is NAME KEYID VERSION MANIFEST_SHA256, one space apart"},
      {"two spaces", record({"hello  " + kKeyA + " 1.4.0 " + kSha1}),
       "line 2: the key ID is not 16 lowercase hexadecimal digits"},
      {"empty name", record({" " + kKeyA + " 1.4.0 " + kSha1}),
       "line 2: the name is not escaped as written"},
      {"CRLF", kHeader + good + "\r\n",
       "line 2: the manifest_sha256 is not 64 lowercase hexadecimal digits"},
      {"a fifth field after the digest", record({good + " extra"}),
       "line 2: the manifest_sha256 is not 64 lowercase hexadecimal digits"},
      {"blank line", record({good, ""}),
       "line 3: an entry is NAME KEYID VERSION MANIFEST_SHA256, one space apart"},
      {"uppercase key ID", record({"hello 0123456789ABCDEF 1.4.0 " + kSha1}),
       "line 2: the key ID is not 16 lowercase hexadecimal digits"},
      {"the byte after 9 in the key ID", record({"hello 0123456789abcde: 1.4.0 " + kSha1}),
       "line 2: the key ID is not 16 lowercase hexadecimal digits"},
      {"the letter after f in the key ID", record({"hello 0123456789abcdeg 1.4.0 " + kSha1}),
       "line 2: the key ID is not 16 lowercase hexadecimal digits"},
      {"a key ID of 17 digits", record({"hello " + kKeyA + "0 1.4.0 " + kSha1}),
       "line 2: the key ID is not 16 lowercase hexadecimal digits"},
      // One entry to a line: a line feed where a space belongs never joins two lines into one.
      {"line feed after the name", record({"hello\n" + kKeyA + " 1.4.0 " + kSha1}),
       "line 2: an entry is NAME KEYID VERSION MANIFEST_SHA256, one space apart"},
      {"line feed after the key ID", record({"hello " + kKeyA + "\n1.4.0 " + kSha1}),
       "line 2: an entry is NAME KEYID VERSION MANIFEST_SHA256, one space apart"},
      {"line feed before the digest", record({"hello " + kKeyA + " 1.4.0\n" + kSha1}),
       "line 2: an entry is NAME KEYID VERSION MANIFEST_SHA256, one space apart"},
      {"lowercase escape", record({"my%2fplugin " + kKeyA + " 1.4.0 " + kSha1}),
       "line 2: the name is not escaped as written"},
      {"escaped letter", record({"%68ello " + kKeyA + " 1.4.0 " + kSha1}),
       "line 2: the name is not escaped as written"},
      {"version with a raw byte", record({"hello " + kKeyA + " 1.4.0\xc3\xa9 " + kSha1}),
       "line 2: the version is not escaped as written"},
      {"short digest", record({"hello " + kKeyA + " 1.4.0 " + kSha1.substr(1)}),
       "line 2: the manifest_sha256 is not 64 lowercase hexadecimal digits"},
      {"duplicate", record({good, "hello " + kKeyA + " 1.5.0 " + kSha2}),
       "line 3: not after the line before it (entries are sorted by name, then key ID, and each "
       "name and key ID has one entry)"},
      {"unsorted", record({"zeta " + kKeyA + " 1.0.0 " + kSha1, good}),
       "line 3: not after the line before it (entries are sorted by name, then key ID, and each "
       "name and key ID has one entry)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto parsed = parse_version_record(c.text);
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error(), c.error);
  }
}

// The result of checking `version` with `manifest` from key A against `lines`.
std::string verdict(const std::vector<std::string>& lines, std::string_view version,
                    const std::string& manifest = kSha2, const Revocations* revoked = nullptr) {
  const std::string text = record(lines);
  const auto parsed = parse_record_lines(text);
  EXPECT_TRUE(parsed.has_value()) << parsed.error();
  const RecordCandidate candidate{
      .name = "hello", .version = version, .key_id = kKeyA, .manifest_sha256 = manifest};
  const auto checked = check_record_lines(*parsed, candidate, revoked);
  if (checked) return "accepted";
  EXPECT_EQ(checked.error().kind, VerifyErrorKind::kRollback);
  return checked.error().message;
}

// A record read into a buffer of exactly its size has nothing after its last byte: a last line
// cut anywhere in its fields, or whole but for its line feed, is judged without a look past it.
TEST(VersionRecordFormat, ReadsNothingPastTheRecord) {
  const std::string entry = "hello " + kKeyA + " 1.4.0 " + kSha1;
  for (std::size_t cut = 0; cut <= entry.size(); ++cut) {
    SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
    testing::expect_no_read_past_end(kHeader + entry.substr(0, cut), [](std::string_view text) {
      (void)parse_record_lines(text);
      (void)find_name_lines(text, "hello");
    });
  }
}

TEST(VersionRecordRules, OlderVersionsAreRollbacks) {
  const std::vector<std::string> at_1_4 = {"hello " + kKeyA + " 1.4.0 " + kSha1};
  const struct {
    std::string_view version;
    std::string verdict;
  } cases[] = {
      {"1.5.0", "accepted"},
      {"1.4.1-alpha", "accepted"},
      {"1.10.0", "accepted"},
      {"1.2.0", "hello 1.2.0 is older than 1.4.0, accepted before"},
      {"1.4.0-rc.1", "hello 1.4.0-rc.1 is older than 1.4.0, accepted before"},
      {"1.3.99", "hello 1.3.99 is older than 1.4.0, accepted before"},
      {"1.4.0",
       "hello 1.4.0 was accepted before with other contents (manifest_sha256 " + kSha1 + ")"},
      {"1.4.0+rebuilt",
       "hello 1.4.0+rebuilt is the same version as 1.4.0, accepted before with "
       "other contents (manifest_sha256 " +
           kSha1 + ")"},
      {"1.4", "hello 1.4 is not a semantic version and cannot follow 1.4.0, accepted before"},
  };
  for (const auto& c : cases) EXPECT_EQ(verdict(at_1_4, c.version), c.verdict) << c.version;
  EXPECT_EQ(verdict(at_1_4, "1.4.0", kSha1), "accepted");
  // Another name's entries do not count.
  EXPECT_EQ(verdict({"hello2 " + kKeyA + " 9.0.0 " + kSha1}, "1.0.0"), "accepted");
  EXPECT_EQ(verdict({"hell " + kKeyA + " 9.0.0 " + kSha1}, "1.0.0"), "accepted");
}

// A version that is not a semantic version ranks below every one that is, and is ordered
// against another such version only when it is the same text: it can be recorded, but never
// silently replaced by a version that cannot be shown to be newer.
TEST(VersionRecordRules, VersionsThatAreNotSemanticAreOnlyEqualToThemselves) {
  const std::vector<std::string> at_2020 = {"hello " + kKeyA + " 2020.1 " + kSha1};
  EXPECT_EQ(verdict(at_2020, "2020.1", kSha1), "accepted");
  EXPECT_EQ(verdict(at_2020, "2020.2"),
            "hello 2020.2 is not a semantic version and cannot follow 2020.1, accepted before");
  EXPECT_EQ(verdict(at_2020, "2019.9"),
            "hello 2019.9 is not a semantic version and cannot follow 2020.1, accepted before");
  EXPECT_EQ(verdict(at_2020, "2020.1"),
            "hello 2020.1 was accepted before with other contents (manifest_sha256 " + kSha1 + ")");
  EXPECT_EQ(verdict(at_2020, "0.0.1"), "accepted");
}

// Only keys that are not revoked raise the floor: a leaked key's 99.0.0 stops counting once
// the key is revoked, and the real publisher's key keeps its own floor.
TEST(VersionRecordRules, RevokedKeysRecordsDoNotCount) {
  const std::vector<std::string> lines = {"hello " + kKeyA + " 1.4.0 " + kSha1,
                                          "hello " + kKeyB + " 99.0.0 " + kSha1};
  EXPECT_EQ(verdict(lines, "1.5.0"), "hello 1.5.0 is older than 99.0.0, accepted before");
  Revocations revoked;
  revoked.key_ids.push_back(kKeyB);
  EXPECT_EQ(verdict(lines, "1.5.0", kSha2, &revoked), "accepted");
  EXPECT_EQ(verdict(lines, "1.3.0", kSha2, &revoked),
            "hello 1.3.0 is older than 1.4.0, accepted before");
  revoked.key_ids.push_back(kKeyA);
  EXPECT_EQ(verdict(lines, "0.1.0", kSha2, &revoked), "accepted");
}

TEST(VersionRecordRules, AddingKeepsTheHighestPerNameAndKey) {
  const std::string text =
      record({"hello " + kKeyA + " 1.4.0 " + kSha1, "hello " + kKeyB + " 2.0.0 " + kSha1});
  const auto lines = parse_record_lines(text).value();
  const auto with = [&](std::string_view name, std::string_view version, const std::string& key) {
    const RecordCandidate candidate{
        .name = name, .version = version, .key_id = key, .manifest_sha256 = kSha2};
    const auto all = record_text_with(text, lines, candidate);
    const auto by_name = find_name_lines(text, name).value();
    EXPECT_EQ(record_text_with(text, by_name.lines, candidate, by_name.insert_at), all);
    return all;
  };
  EXPECT_EQ(with("hello", "1.5.0", kKeyA),
            record({"hello " + kKeyA + " 1.5.0 " + kSha2, "hello " + kKeyB + " 2.0.0 " + kSha1}));
  EXPECT_EQ(with("hello", "1.3.0", kKeyA), std::nullopt);
  EXPECT_EQ(with("hello", "1.4.0", kKeyA), std::nullopt);
  EXPECT_EQ(with("a b", "", kKeyA),
            record({"a%20b " + kKeyA + " - " + kSha2, "hello " + kKeyA + " 1.4.0 " + kSha1,
                    "hello " + kKeyB + " 2.0.0 " + kSha1}));
  EXPECT_EQ(with("zeta", "1.0.0", kKeyA),
            record({"hello " + kKeyA + " 1.4.0 " + kSha1, "hello " + kKeyB + " 2.0.0 " + kSha1,
                    "zeta " + kKeyA + " 1.0.0 " + kSha2}));
  EXPECT_EQ(with("hello", "1.0.0", "0000000000000000"),
            record({"hello 0000000000000000 1.0.0 " + kSha2, "hello " + kKeyA + " 1.4.0 " + kSha1,
                    "hello " + kKeyB + " 2.0.0 " + kSha1}));
}

class VersionRecordFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("version_record_test." + std::to_string(::getpid()) + "." +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    fs::permissions(dir_, fs::perms::owner_all);
    path_ = (dir_ / "record").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string contents() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void write(const std::string& text) const { std::ofstream(path_, std::ios::binary) << text; }

  fs::path dir_;
  std::string path_;
};

TEST_F(VersionRecordFile, IsCreatedWhenMissingAndUpdated) {
  const RecordCandidate hello{
      .name = "hello", .version = "1.4.0", .key_id = kKeyA, .manifest_sha256 = kSha1};
  {
    // With no umask to narrow it: readable by all, writable by its user alone.
    const mode_t mask = ::umask(0);
    auto locked = LockedVersionRecord::open(path_, "hello");
    ASSERT_TRUE(locked.has_value()) << locked.error().message;
    ASSERT_TRUE(locked->check(hello, nullptr).has_value());
    ASSERT_TRUE(locked->add(hello).has_value());
    ::umask(mask);
  }
  EXPECT_EQ(contents(), record({"hello " + kKeyA + " 1.4.0 " + kSha1}));
  struct stat status {};
  ASSERT_EQ(::stat(path_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u);
  auto again = LockedVersionRecord::open(path_, "hello");
  ASSERT_TRUE(again.has_value());
  const RecordCandidate older{
      .name = "hello", .version = "1.2.0", .key_id = kKeyA, .manifest_sha256 = kSha2};
  EXPECT_EQ(again->check(older, nullptr).error().message,
            "hello 1.2.0 is older than 1.4.0, accepted before");
}

TEST_F(VersionRecordFile, DamagedOrUnsafeRecordsRefuseAndStayAsTheyAre) {
  const std::string torn = kHeader + "hello " + kKeyA + " 1.4";
  write(torn);
  auto damaged = LockedVersionRecord::open(path_, "hello");
  ASSERT_FALSE(damaged.has_value());
  EXPECT_EQ(damaged.error().kind, VerifyErrorKind::kUnreadable);
  EXPECT_EQ(damaged.error().message,
            "version record " + path_ +
                ": line 2: ends without a line feed (cut short?) (damaged: it is left as it is; "
                "repair or remove it)");
  EXPECT_EQ(contents(), torn);

  write(kHeader);
  fs::permissions(path_, fs::perms::others_write, fs::perm_options::add);
  auto writable = LockedVersionRecord::open(path_, "hello");
  ASSERT_FALSE(writable.has_value());
  EXPECT_EQ(writable.error().message, "version record " + path_ +
                                          ": refused, every user can write to it (chmod o-w " +
                                          path_ + ")");

  // Whoever can write to its directory (without the sticky bit) could replace it: a record
  // there is never written.
  const fs::path open_dir = dir_ / "open";
  fs::create_directory(open_dir);
  fs::permissions(open_dir, fs::perms::all);
  const std::string open_record = (open_dir / "record").string();
  auto in_open_dir = LockedVersionRecord::open(open_record, "hello");
  ASSERT_TRUE(in_open_dir.has_value()) << in_open_dir.error().message;
  auto added = in_open_dir->add({.name = "hello",
                                 .version = "1.0.0",
                                 .key_id = "0123456789abcdef",
                                 .manifest_sha256 = std::string(64, 'a')});
  ASSERT_FALSE(added.has_value());
  EXPECT_EQ(added.error().message,
            "version record " + open_record + ": refused, every user can write to directory " +
                open_dir.string() + " (chmod go-w " + open_dir.string() + ")");
  EXPECT_FALSE(fs::exists(open_record));

  fs::remove(path_);
  fs::create_directory(path_);
  EXPECT_EQ(LockedVersionRecord::open(path_, "hello").error().kind, VerifyErrorKind::kUnreadable);
  EXPECT_EQ(
      LockedVersionRecord::open((dir_ / "missing" / "record").string(), "hello").error().message,
      "version record " + (dir_ / "missing" / "record").string() + ": failed to open " +
          (dir_ / "missing" / "record.lock").string() + ": No such file or directory (os error 2)");
}

// The lock beside the record: only its user may open it (whoever can open it can hold it and
// stall every host), and a link put in its place is never followed to make a file elsewhere.
TEST_F(VersionRecordFile, TheLockIsTheUsersOwn) {
  ASSERT_TRUE(LockedVersionRecord::open(path_, "hello").has_value());
  struct stat status {};
  ASSERT_EQ(::lstat((path_ + ".lock").c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0600u);

  // Nor does a program the host starts meanwhile inherit it, to hold it after the host let go.
  {
    const auto locked = LockedVersionRecord::open(path_, "hello");
    ASSERT_TRUE(locked.has_value());
    const fs::path listing = dir_ / "descriptors";
    ASSERT_EQ(std::system(("ls -l /proc/self/fd/ > " + listing.string()).c_str()), 0);
    std::ifstream in(listing);
    const std::string descriptors{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(descriptors.find("record.lock"), std::string::npos) << descriptors;
  }

  fs::remove(path_ + ".lock");
  fs::create_symlink(dir_ / "elsewhere", path_ + ".lock");
  const auto linked = LockedVersionRecord::open(path_, "hello");
  ASSERT_FALSE(linked.has_value());
  EXPECT_EQ(linked.error().message, "version record " + path_ + ": failed to open " + path_ +
                                        ".lock: Too many levels of symbolic links (os error 40)");
  EXPECT_FALSE(fs::exists(dir_ / "elsewhere"));
}

// The lock is held from the record's opening to its end: another process finds it taken
// (flock's locks belong to an open file, so a second open stands for one), and free again
// once the record is let go.
TEST_F(VersionRecordFile, TheLockIsHeldWhileTheRecordIsOpen) {
  const auto lock_is_free = [&] {
    const int fd = ::open((path_ + ".lock").c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    EXPECT_TRUE(free || errno == EWOULDBLOCK) << std::strerror(errno);
    ::close(fd);
    return free;
  };
  {
    const auto locked = LockedVersionRecord::open(path_, "hello");
    ASSERT_TRUE(locked.has_value()) << locked.error().message;
    EXPECT_FALSE(lock_is_free());
  }
  EXPECT_TRUE(lock_is_free());
}

// A directory that cannot be checked when the record is written (here removed while the host
// held the lock) refuses the update with the reason, not as a directory others could write to.
TEST_F(VersionRecordFile, ADirectoryThatCannotBeCheckedRefusesTheUpdate) {
  const fs::path sub = dir_ / "sub";
  fs::create_directory(sub);
  const std::string path = (sub / "record").string();
  auto locked = LockedVersionRecord::open(path, "hello");
  ASSERT_TRUE(locked.has_value()) << locked.error().message;
  fs::remove_all(sub);
  const auto added =
      locked->add({.name = "hello", .version = "1.0.0", .key_id = kKeyA, .manifest_sha256 = kSha1});
  ASSERT_FALSE(added.has_value());
  EXPECT_EQ(added.error().kind, VerifyErrorKind::kUnreadable);
  EXPECT_EQ(added.error().message, "version record " + path + ": failed to check " + sub.string() +
                                       ": No such file or directory (os error 2)");
}

// A host that closed its standard input gets descriptor 0 for the lock, whatever errno an
// earlier interrupted call left: the lock works, and is let go with the record.
TEST_F(VersionRecordFile, TheLockMayBeDescriptorZero) {
  const int saved_stdin = ::dup(0);
  ASSERT_GE(saved_stdin, 0);
  ::close(0);
  errno = EINTR;
  bool opened = false, added = false;
  {
    auto locked = LockedVersionRecord::open(path_, "hello");
    opened = locked.has_value();
    if (opened)
      added =
          locked
              ->add(
                  {.name = "hello", .version = "1.0.0", .key_id = kKeyA, .manifest_sha256 = kSha1})
              .has_value();
  }
  const bool zero_left_open = ::fcntl(0, F_GETFD) != -1;
  ::dup2(saved_stdin, 0);
  ::close(saved_stdin);
  EXPECT_TRUE(opened);
  EXPECT_TRUE(added);
  EXPECT_FALSE(zero_left_open);
  EXPECT_EQ(contents(), record({"hello " + kKeyA + " 1.0.0 " + kSha1}));
}

// A host started as a daemon leads a session without a terminal: a terminal found where the
// lock belongs must not become its controlling terminal, from which it could then get SIGHUP
// or SIGINT. Made so by root alone: a pseudo-terminal bound over the lock's path, in a mount
// namespace of the child's own (a device node made elsewhere with its number does not open).
TEST_F(VersionRecordFile, ATerminalAtTheLocksPathDoesNotBecomeTheHostsTerminal) {
  if (::geteuid() != 0) GTEST_SKIP() << "binding a terminal over the lock's path needs root";
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    if (master >= 0) ::close(master);
    GTEST_SKIP() << "no pseudo-terminal to be had here";
  }
  const std::string terminal = ::ptsname(master);
  const std::string lock_path = path_ + ".lock";
  ASSERT_TRUE(std::ofstream(lock_path).good());
  enum Outcome { kNoTerminal, kTerminalTaken, kNoBind, kNotObservable };
  // Whether this session now has a controlling terminal.
  auto has_terminal = [] {
    const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty >= 0) ::close(tty);
    return tty >= 0;
  };
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(terminal.c_str(), lock_path.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        ::setsid() < 0)
      ::_exit(kNoBind);
    // Whether the record can be used with such a lock is not the question here.
    [[maybe_unused]] const auto locked = LockedVersionRecord::open(path_, "hello");
    if (has_terminal()) ::_exit(kTerminalTaken);
    // The same path opened without O_NOCTTY takes it: the check above could see a fault.
    const int plain = ::open(lock_path.c_str(), O_RDWR);
    ::_exit(plain >= 0 && has_terminal() ? kNoTerminal : kNotObservable);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(master);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kNoBind)
    GTEST_SKIP() << "no mount namespace to bind " << terminal << " over the lock's path";
  if (WEXITSTATUS(status) == kNotObservable)
    GTEST_SKIP() << "a session leader opening " << terminal << " does not take it here";
  EXPECT_EQ(WEXITSTATUS(status), kNoTerminal)
      << "the lock made " << terminal << " the host's controlling terminal";
}

// Through verify_package: the record and the floors after every other check, and a package
// that fails any check leaves no trace in the record.
TEST_F(VersionRecordFile, VerifyRecordsOnlyWhatItAccepts) {
  const auto package = [](std::string_view name, std::string_view version) {
    return testing::package_of(testing::signed_contents(1,
                                                        "[package]\nname = \"" + std::string(name) +
                                                            "\"\nversion = \"" +
                                                            std::string(version) + "\"\n",
                                                        {}));
  };
  const std::vector<TrustedKey> keys = {testing::trusted(1)};
  VerifyOptions options;
  options.record = path_;
  ASSERT_TRUE(verify_package(package("hello", "1.4.0"), keys, options).has_value());
  const std::string after_first = contents();

  auto older = verify_package(package("hello", "1.2.0"), keys, options);
  ASSERT_FALSE(older.has_value());
  EXPECT_EQ(older.error().kind, VerifyErrorKind::kRollback);
  EXPECT_EQ(older.error().message, "hello 1.2.0 is older than 1.4.0, accepted before");

  options.expected_name = "other";
  EXPECT_EQ(verify_package(package("hello", "1.5.0"), keys, options).error().kind,
            VerifyErrorKind::kNameMismatch);
  options.expected_name.reset();
  auto floors = parse_revocations("below hello 1.6.0\n").value();
  options.revocations = &floors;
  auto below = verify_package(package("hello", "1.5.0"), keys, options);
  ASSERT_FALSE(below.has_value());
  EXPECT_EQ(below.error().kind, VerifyErrorKind::kRevoked);
  EXPECT_EQ(below.error().message, "hello 1.5.0 is revoked (below 1.6.0)");
  EXPECT_EQ(verify_package(package("hello", "1.6.0-rc.1"), keys, options).error().message,
            "hello 1.6.0-rc.1 is revoked (below 1.6.0)");
  EXPECT_EQ(verify_package(package("hello", "2020.1"), keys, options).error().message,
            "hello 2020.1 is revoked (below 1.6.0)");
  EXPECT_EQ(contents(), after_first);

  ASSERT_TRUE(verify_package(package("hello", "1.6.0"), keys, options).has_value());
  ASSERT_TRUE(verify_package(package("other", "0.1.0"), keys, options).has_value());
  const auto entries = parse_version_record(contents()).value();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "hello");
  EXPECT_EQ(entries[0].version, "1.6.0");
  EXPECT_EQ(entries[1].name, "other");
}

}  // namespace
}  // namespace plugin_sign
