#include "io/new_file.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "io/file_io.hpp"

namespace plugin_sign {
namespace {

// Attempts at a temporary name before giving up: each collides only with a file that someone
// else made with the same random name.
constexpr int kNameAttempts = 64;

// Every attempt at a temporary name was taken: told apart from EEXIST on the final path, which
// callers report as a file already in place.
IoError no_free_temporary_name() {
  return IoError{.os_error = 0, .fixed = "no free temporary name beside it"};
}

std::string directory_of(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string_view base_of(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A hidden name beside `path` that no one is likely to have taken: ".NAME.XXXXXXXXXXXX.tmp".
std::string temporary_name(std::string_view path, int attempt) {
  std::uint64_t random = 0;
  if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random)
    random = (static_cast<std::uint64_t>(::getpid()) << 16) ^ static_cast<std::uint64_t>(attempt);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string suffix;
  for (int i = 0; i < 12; ++i, random >>= 4) suffix += kDigits[random & 0xF];
  const std::string dir = directory_of(path);
  // Short enough for the 255 bytes a name may have, however long the final name is.
  const std::string name = "." + std::string(base_of(path).substr(0, 200)) + "." + suffix + ".tmp";
  return path.find('/') == std::string_view::npos ? name : dir + "/" + name;
}

// The result of `call`, made again while a signal interrupts it, as every other call on a
// file is.
template <typename Call>
int retrying(Call call) {
  for (;;) {
    const int result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

std::expected<void, IoError> sync(int fd) {
  while (::fsync(fd) != 0)
    if (errno != EINTR) return std::unexpected(last_os_error());
  return {};
}

// Whether an unnamed file can be given a name later: O_TMPFILE needs /proc to link it.
bool can_link_unnamed() {
  return ::access("/proc/self/fd", X_OK) == 0;
}

// A file under a fresh temporary name beside `path`, opened for writing; never an existing
// file and never through a symbolic link.
std::expected<std::pair<FileDescriptor, std::string>, IoError> create_named(std::string_view path,
                                                                            mode_t mode) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = temporary_name(path, attempt);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) return std::pair{FileDescriptor(fd), std::move(name)};
    if (errno != EEXIST && errno != EINTR) return std::unexpected(last_os_error());
  }
  return std::unexpected(no_free_temporary_name());
}

// Gives the unnamed file `fd` a fresh temporary name beside `path`.
std::expected<std::string, IoError> link_unnamed(int fd, std::string_view path) {
  const std::string source = "/proc/self/fd/" + std::to_string(fd);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = temporary_name(path, attempt);
    if (::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
      return name;
    if (errno != EEXIST && errno != EINTR) return std::unexpected(last_os_error());
  }
  return std::unexpected(no_free_temporary_name());
}

// The content of `file` complete and flushed under a temporary name, which is returned. The
// file is written unnamed where the file system allows it, so that a run killed while
// writing leaves nothing behind; it is named only once it is complete.
std::expected<std::string, IoError> stage(const NewFile& file, bool unnamed) {
  if (unnamed) {
    const std::string dir = directory_of(file.path);
    const int fd =
        retrying([&] { return ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, file.mode); });
    // EISDIR and EOPNOTSUPP say that the kernel or the file system has no unnamed files.
    if (fd < 0 && errno != EISDIR && errno != EOPNOTSUPP) return std::unexpected(last_os_error());
    if (fd >= 0) {
      FileDescriptor descriptor(fd);
      if (auto written = write_all(fd, file.content); !written)
        return std::unexpected(written.error());
      if (auto synced = sync(fd); !synced) return std::unexpected(synced.error());
      auto name = link_unnamed(fd, file.path);
      if (!name) return std::unexpected(name.error());
      if (auto closed = descriptor.close(); !closed) {
        ::unlink(name->c_str());
        return std::unexpected(closed.error());
      }
      return name;
    }
  }
  auto created = create_named(file.path, file.mode);
  if (!created) return std::unexpected(created.error());
  auto& [descriptor, name] = *created;
  auto result = write_all(descriptor.get(), file.content);
  if (result) result = sync(descriptor.get());
  if (auto closed = descriptor.close(); result && !closed) result = std::unexpected(closed.error());
  if (!result) {
    ::unlink(name.c_str());
    return std::unexpected(result.error());
  }
  return std::move(name);
}

// Moves `temporary` to `path`; with kRefuse an existing `path` fails with EEXIST. On success
// `temporary` no longer exists.
std::expected<void, IoError> put_in_place(const std::string& temporary, const std::string& path,
                                          ExistingFile existing) {
  if (existing == ExistingFile::kReplace) {
    if (retrying([&] { return ::rename(temporary.c_str(), path.c_str()); }) != 0)
      return std::unexpected(last_os_error());
    return {};
  }
  if (retrying([&] {
        return ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
      }) == 0)
    return {};
  // A file system without RENAME_NOREPLACE still refuses to link over an existing name.
  if (errno != EINVAL && errno != ENOSYS) return std::unexpected(last_os_error());
  if (retrying([&] { return ::link(temporary.c_str(), path.c_str()); }) != 0)
    return std::unexpected(last_os_error());
  ::unlink(temporary.c_str());
  return {};
}

// A second name, fresh and beside `path`, for the file that `path` names (a symbolic link
// itself, never its target).
std::expected<std::string, IoError> link_beside(const std::string& path) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = temporary_name(path, attempt);
    if (::linkat(AT_FDCWD, path.c_str(), AT_FDCWD, name.c_str(), 0) == 0) return name;
    if (errno != EEXIST && errno != EINTR) return std::unexpected(last_os_error());
  }
  return std::unexpected(no_free_temporary_name());
}

// Moves `temporary` to `path` and returns the name under which the file that `path` named
// is kept until the whole call succeeds (empty when there was none), so that a later failure
// can put it back. On success `temporary` no longer names the new file.
std::expected<std::string, IoError> replace_keeping(const std::string& temporary,
                                                    const std::string& path) {
  // Exchanging the two names leaves the old file under the temporary name in the same step.
  if (retrying([&] {
        return ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE);
      }) == 0)
    return temporary;
  const bool can_exchange = errno != EINVAL && errno != ENOSYS;
  if (can_exchange && errno != ENOENT) return std::unexpected(last_os_error());
  std::string kept;
  if (!can_exchange) {
    // A file system that cannot exchange names keeps the old file by a second link instead.
    auto linked = link_beside(path);
    if (!linked && linked.error().os_error != ENOENT) return std::unexpected(linked.error());
    if (linked) kept = std::move(*linked);
  }
  if (kept.empty()) {
    auto placed = put_in_place(temporary, path, ExistingFile::kRefuse);
    if (!placed) return std::unexpected(placed.error());
    return kept;
  }
  if (retrying([&] { return ::rename(temporary.c_str(), path.c_str()); }) != 0) {
    const IoError error = last_os_error();
    ::unlink(kept.c_str());
    return std::unexpected(error);
  }
  return kept;
}

std::expected<void, IoError> sync_directory(const std::string& dir) {
  const int fd = retrying([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return std::unexpected(last_os_error());
  FileDescriptor descriptor(fd);
  auto synced = sync(fd);
  // Some file systems cannot flush a directory at all; the files are in place regardless.
  if (!synced && synced.error().os_error == EINVAL) return {};
  return synced;
}

// Removes the files it holds when destroyed.
class RemoveOnFailure {
 public:
  RemoveOnFailure() = default;
  RemoveOnFailure(const RemoveOnFailure&) = delete;
  RemoveOnFailure& operator=(const RemoveOnFailure&) = delete;
  ~RemoveOnFailure() {
    for (const std::string& path : paths_) ::unlink(path.c_str());
  }
  void add(std::string path) { paths_.push_back(std::move(path)); }
  void forget(const std::string& path) { std::erase(paths_, path); }

 private:
  std::vector<std::string> paths_;
};

bool exists_as_link_or_file(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

bool is_directory(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// A new file in place, and the name under which the file it replaced is kept (empty when it
// replaced none).
struct Placed {
  std::string path;
  std::string previous;
};

// Takes the files of a failed call out of place again, the last first, and puts back each
// file they replaced. Returns those that could not be put back, which keep their temporary
// names rather than being lost.
std::vector<DisplacedFile> undo(const std::vector<Placed>& placed) {
  std::vector<DisplacedFile> displaced;
  for (auto it = placed.rbegin(); it != placed.rend(); ++it) {
    if (it->previous.empty()) {
      ::unlink(it->path.c_str());
    } else if (retrying([&] { return ::rename(it->previous.c_str(), it->path.c_str()); }) != 0) {
      displaced.push_back(DisplacedFile{it->path, it->previous});
    }
  }
  return displaced;
}

}  // namespace

std::expected<void, NewFileError> write_new_files(std::span<const NewFile> files,
                                                  ExistingFile existing) {
  for (const NewFile& file : files) {
    if (file.path.find('\0') != std::string::npos)
      return std::unexpected(
          NewFileError{file.path, IoError{0, "file name contained an unexpected NUL byte"}, {}});
    // Found before anything is written; put_in_place checks again, atomically.
    if (existing == ExistingFile::kRefuse && exists_as_link_or_file(file.path))
      return std::unexpected(NewFileError{file.path, IoError{EEXIST, {}}, {}});
    // Exchanging names would move a directory aside where renaming refuses to replace it.
    if (existing == ExistingFile::kReplace && is_directory(file.path))
      return std::unexpected(NewFileError{file.path, IoError{EISDIR, {}}, {}});
  }
  const bool unnamed = can_link_unnamed();
  RemoveOnFailure cleanup;
  std::vector<std::string> temporaries;
  for (const NewFile& file : files) {
    auto name = stage(file, unnamed);
    if (!name) return std::unexpected(NewFileError{file.path, name.error(), {}});
    cleanup.add(*name);
    temporaries.push_back(std::move(*name));
  }
  std::vector<Placed> placed;
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::string previous;
    if (existing == ExistingFile::kReplace) {
      auto kept = replace_keeping(temporaries[i], files[i].path);
      if (!kept) return std::unexpected(NewFileError{files[i].path, kept.error(), undo(placed)});
      previous = std::move(*kept);
    } else if (auto put = put_in_place(temporaries[i], files[i].path, existing); !put) {
      return std::unexpected(NewFileError{files[i].path, put.error(), undo(placed)});
    }
    // After an exchange the temporary name holds the replaced file, which must not go with
    // the temporaries.
    cleanup.forget(temporaries[i]);
    placed.push_back(Placed{files[i].path, std::move(previous)});
  }
  std::vector<std::string> synced_dirs;
  for (const NewFile& file : files) {
    std::string dir = directory_of(file.path);
    if (std::find(synced_dirs.begin(), synced_dirs.end(), dir) != synced_dirs.end()) continue;
    if (auto synced = sync_directory(dir); !synced)
      return std::unexpected(NewFileError{file.path, synced.error(), undo(placed)});
    synced_dirs.push_back(std::move(dir));
  }
  // Only now, with every new file in place, is what they replaced let go.
  for (const Placed& file : placed)
    if (!file.previous.empty()) ::unlink(file.previous.c_str());
  return {};
}

}  // namespace plugin_sign
