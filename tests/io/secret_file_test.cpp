#include "io/secret_file.hpp"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>
#include <span>
#include <string>
#include <thread>

#include "support/tool_runner.hpp"

namespace plugin_sign {
namespace {

using testing::ScratchDir;
using testing::write_file;

// Nothing of a secret refused is left: no text, and not a byte of it in the room either.
void expect_wiped(SecretBuffer& buffer) {
  EXPECT_EQ("", buffer.text());
  const std::span<char> room = buffer.spare_to_terminator();
  ASSERT_EQ(SecretBuffer::kCapacity + 1, room.size());
  EXPECT_TRUE(std::all_of(room.begin(), room.end(), [](char c) { return c == '\0'; }));
}

TEST(ReadSecretFile, TakesUpToTheCapacityAndReportsTheMode) {
  // Every permission bit is reported, the lowest and the special ones too.
  const struct {
    const char* name;
    std::size_t size;
    bool fits;
    mode_t mode;
  } cases[] = {
      {"empty", 0, true, 0640},
      {"a key and a line feed", 45, true, 0601},
      {"exactly the capacity", SecretBuffer::kCapacity, true, 04600},
      {"one byte more", SecretBuffer::kCapacity + 1, false, 0640},
      {"twice the capacity", 2 * SecretBuffer::kCapacity, false, 0600},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string path = (dir.path() / "k").string();
    const std::string content(c.size, 'k');
    write_file(path, content);
    ASSERT_EQ(0, ::chmod(path.c_str(), c.mode));
    SecretBuffer buffer;
    auto mode = read_secret_file(path, buffer);
    if (c.fits) {
      ASSERT_TRUE(mode.has_value()) << io_error_text(mode.error());
      EXPECT_EQ(c.mode, *mode);
      EXPECT_EQ(content, buffer.text());
      EXPECT_EQ(content, std::string(buffer.c_str()));
    } else {
      ASSERT_FALSE(mode.has_value());
      EXPECT_EQ("larger than 4096 bytes", io_error_text(mode.error()));
      expect_wiped(buffer);
    }
  }
}

TEST(ReadSecretFile, RefusesWhatIsNoRegularFile) {
  ScratchDir dir;
  SecretBuffer buffer;
  auto directory = read_secret_file(dir.path().string(), buffer);
  ASSERT_FALSE(directory.has_value());
  EXPECT_EQ("not a regular file", io_error_text(directory.error()));
  auto missing = read_secret_file((dir.path() / "missing").string(), buffer);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(ENOENT, missing.error().os_error);
  auto nul = read_secret_file(std::string("k\0", 2), buffer);
  ASSERT_FALSE(nul.has_value());
  EXPECT_EQ("file name contained an unexpected NUL byte", io_error_text(nul.error()));
}

// Standard input read in pieces, as a pipe delivers them: the secret is refused as soon as a
// piece takes it past the capacity, and the pieces kept before are wiped with the rest.
TEST(ReadSecretFile, StandardInputTooLargeInItsSecondPieceLeavesNothing) {
  int pipe_ends[2];
  ASSERT_EQ(0, ::pipe(pipe_ends));
  const int saved_stdin = ::dup(STDIN_FILENO);
  ASSERT_GE(saved_stdin, 0);
  ASSERT_EQ(STDIN_FILENO, ::dup2(pipe_ends[0], STDIN_FILENO));
  std::thread writer([&] {
    const std::string first(10, 'k');
    const std::string rest(SecretBuffer::kCapacity, 'k');
    EXPECT_EQ(10, ::write(pipe_ends[1], first.data(), first.size()));
    // The second piece only once the first was read: two reads, the first one kept.
    for (int waiting = 1; waiting > 0;) {
      ASSERT_EQ(0, ::ioctl(pipe_ends[1], FIONREAD, &waiting));
      if (waiting > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(static_cast<ssize_t>(rest.size()), ::write(pipe_ends[1], rest.data(), rest.size()));
    ::close(pipe_ends[1]);
  });
  SecretBuffer buffer;
  auto mode = read_secret_file("-", buffer);
  writer.join();
  ::dup2(saved_stdin, STDIN_FILENO);
  ::close(saved_stdin);
  ::close(pipe_ends[0]);
  ASSERT_FALSE(mode.has_value());
  EXPECT_EQ("larger than 4096 bytes", io_error_text(mode.error()));
  expect_wiped(buffer);
}

// An encoder may fill more of the room than it keeps: the C string ends with what was kept.
TEST(SecretBuffer, TheCStringEndsWithTheCommittedContent) {
  SecretBuffer buffer;
  std::fill_n(buffer.spare().begin(), 10, 'k');
  buffer.commit(4);
  EXPECT_EQ(std::string(buffer.c_str()), "kkkk");
  EXPECT_EQ(buffer.text(), "kkkk");
}

TEST(SecretBuffer, DestructorZeroesTheBytes) {
  alignas(SecretBuffer) unsigned char storage[sizeof(SecretBuffer)];
  auto* buffer = new (storage) SecretBuffer();
  const std::string secret = "nWGxne/9WmC6hEr0kuwsxERJxWl7MmkZcDusAxyuf2A=";
  std::copy(secret.begin(), secret.end(), buffer->spare().begin());
  buffer->commit(secret.size());
  ASSERT_EQ(secret, buffer->text());
  buffer->~SecretBuffer();
  EXPECT_EQ(std::string(secret.size(), '\0'),
            std::string(reinterpret_cast<const char*>(storage), secret.size()));
}

}  // namespace
}  // namespace plugin_sign
