#include "tools/plugin_verify/extract.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>
#include <utility>

#include "io/file_io.hpp"
#include "io/new_file.hpp"

namespace plugin_sign {
namespace {

// The directory itself, not what a link at its name points to: "out/" names the target.
std::string without_trailing_slashes(std::string path) {
  while (path.size() > 1 && path.ends_with('/')) path.pop_back();
  return path;
}

// A DIR that was there before must be one only this user controls: whoever else may write to
// it could replace main.wasm with their own bytes once it was verified and written.
std::expected<void, std::string> check_existing_directory(const std::string& directory) {
  struct stat status {};
  if (::lstat(without_trailing_slashes(directory).c_str(), &status) != 0)
    return std::unexpected("failed to use directory " + directory + ": " +
                           io_error_text(last_os_error()));
  const std::string refused = "refusing to extract into " + directory + ": ";
  if (S_ISLNK(status.st_mode))
    return std::unexpected(refused +
                           "it is a symbolic link; name the directory itself, or a new one");
  if (!S_ISDIR(status.st_mode))
    return std::unexpected(refused + "it is not a directory; name a directory, or a new one");
  if (status.st_uid != ::geteuid())
    return std::unexpected(refused + "it is owned by user " + std::to_string(status.st_uid) +
                           ", not by you; extract into a new directory, or one of your own");
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    return std::unexpected(refused + "others can write to it; run chmod go-w " + directory +
                           ", or extract into a new directory");
  return {};
}

}  // namespace

std::expected<void, std::string> extract_package(std::string_view dir,
                                                 const VerifiedPackage& package) {
  const std::string directory(dir);
  if (directory.find('\0') != std::string::npos)
    return std::unexpected("failed to create directory " + directory +
                           ": the name contains a NUL byte");
  const bool created = ::mkdir(directory.c_str(), 0755) == 0;
  if (!created && errno != EEXIST)
    return std::unexpected("failed to create directory " + directory + ": " +
                           io_error_text(last_os_error()));
  if (!created) {
    if (auto ours = check_existing_directory(directory); !ours)
      return std::unexpected(std::move(ours.error()));
  }
  // The archive's own entry names never reach the file system: these three are ours.
  const std::array files = {
      NewFile{.path = join_plugin_path(dir, "plugin.toml"),
              .content = package.plugin_toml.bytes(),
              .mode = 0644},
      NewFile{.path = join_plugin_path(dir, "main.wasm"),
              .content = package.main_wasm.bytes(),
              .mode = 0644},
      NewFile{.path = join_plugin_path(dir, "signature.sig"),
              .content = package.signature.bytes(),
              .mode = 0644},
  };
  auto written = write_new_files(files, ExistingFile::kRefuse);
  if (written) return {};
  // Empty again after the failure: a directory this run made is not left behind either.
  if (created) ::rmdir(directory.c_str());
  return std::unexpected("failed to extract " + written.error().path + ": " +
                         io_error_text(written.error().error));
}

}  // namespace plugin_sign
