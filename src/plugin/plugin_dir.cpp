#include "plugin/plugin_dir.hpp"

#include <span>

namespace plugin_sign {
namespace {

std::unexpected<std::string> write_failure(const IoError& error) {
  return std::unexpected("failed to write " + std::string(kSignatureName) + ": " +
                         io_error_text(error));
}

}  // namespace

std::expected<ByteBuffer, std::string> read_plugin_input(std::string_view dir,
                                                         std::string_view name) {
  auto bytes = read_plugin_file(dir, name);
  if (!bytes)
    return std::unexpected("failed to read " + std::string(dir) + "/" + std::string(name) + ": " +
                           io_error_text(bytes.error()));
  return std::move(*bytes);
}

std::expected<void, std::string> write_signature_file(std::string_view dir, std::string_view text) {
  // The plugin directory may come from someone else: a link planted as signature.sig must not
  // redirect the write to a file outside it.
  auto file = create_regular_output_file(join_plugin_path(dir, kSignatureName));
  if (!file) return write_failure(file.error());
  if (auto written = write_all(file->get(), std::as_bytes(std::span(text))); !written)
    return write_failure(written.error());
  // On NFS or under a quota a write error may show only when the file is closed.
  if (auto closed = file->close(); !closed) return write_failure(closed.error());
  return {};
}

}  // namespace plugin_sign
