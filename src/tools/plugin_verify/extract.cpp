#include "tools/plugin_verify/extract.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "io/file_io.hpp"
#include "io/new_file.hpp"

namespace plugin_sign {

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
