#include "tools/plugin_sign/run.hpp"

#include <array>
#include <span>
#include <string_view>
#include <utility>

#include "archive/package_archive.hpp"
#include "plugin/plugin_dir.hpp"
#include "plugin/plugin_toml.hpp"
#include "signing/manifest.hpp"
#include "signing/signature.hpp"
#include "signing/signing_key.hpp"

namespace plugin_sign {
namespace {

std::unexpected<ErrorExit> fail(std::string message) {
  return std::unexpected(ErrorExit{.message = std::move(message), .preamble = {}});
}

std::span<const std::byte> as_bytes(std::string_view text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

// The signature text of `manifest`. The seed lives only in here, from decoding to signing,
// so that it is wiped before the caller writes any file.
std::expected<std::string, std::string> signature_text(std::string_view manifest) {
  auto key = signing_key_from_environment();
  if (!key) return std::unexpected(std::move(key.error()));
  return encode_base64(sign_manifest(*key, as_bytes(manifest)));
}

}  // namespace

std::expected<std::string, ErrorExit> run(const Arguments& arguments) {
  const std::string& dir = arguments.plugin_dir;

  // Each file is read exactly once: the bytes digested are the bytes parsed and archived.
  auto plugin_toml = read_plugin_input(dir, kPluginTomlName);
  if (!plugin_toml) return fail(std::move(plugin_toml.error()));
  auto main_wasm = read_plugin_input(dir, kMainWasmName);
  if (!main_wasm) return fail(std::move(main_wasm.error()));

  const std::string manifest = serialize_manifest(Manifest{
      .plugin_toml_sha256 = sha256_hex(plugin_toml->bytes()),
      .main_wasm_sha256 = sha256_hex(main_wasm->bytes()),
  });

  auto signature = signature_text(manifest);
  if (!signature) return fail(std::move(signature.error()));
  if (auto written = write_signature_file(dir, *signature); !written)
    return fail(std::move(written.error()));

  // Parsed only now, so that an invalid plugin.toml still leaves a fresh signature.sig.
  auto package = read_package_name_version(plugin_toml->bytes());
  if (!package) return fail("invalid plugin.toml: " + package.error());

  const std::string output_path = arguments.output_path.value_or(default_archive_name(*package));
  const std::array entries = {
      ArchiveEntry{.name = kPluginTomlName, .content = plugin_toml->bytes()},
      ArchiveEntry{.name = kMainWasmName, .content = main_wasm->bytes()},
      ArchiveEntry{.name = kSignatureName, .content = as_bytes(*signature)},
  };
  if (auto archived = write_package_archive(output_path, entries); !archived)
    return std::unexpected(ErrorExit{.message = std::move(archived.error().message),
                                     .preamble = std::move(archived.error().drop_report)});
  return output_path;
}

}  // namespace plugin_sign
