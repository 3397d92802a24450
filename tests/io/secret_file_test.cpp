#include "io/secret_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <string>

#include "support/tool_runner.hpp"

namespace plugin_sign {
namespace {

using testing::ScratchDir;
using testing::write_file;

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
      // The byte that showed the file too large was read into the buffer: the C string still
      // ends where the content does.
      EXPECT_EQ(buffer.text(), std::string_view(buffer.c_str()));
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
