// plugin_dir.hpp — the files of a plugin directory: the two inputs read, signature.sig written.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "io/file_io.hpp"

namespace plugin_sign {

inline constexpr std::string_view kPluginTomlName = "plugin.toml";
inline constexpr std::string_view kMainWasmName = "main.wasm";
inline constexpr std::string_view kSignatureName = "signature.sig";

/// The whole content of `name` (plugin.toml or main.wasm) in `dir`, which must be a regular
/// file or a symbolic link to one. The error is the complete message, "failed to read
/// {dir}/{name}: {error text}", with `dir` quoted unchanged.
[[nodiscard]] std::expected<ByteBuffer, std::string> read_plugin_input(std::string_view dir,
                                                                       std::string_view name);

/// Writes `text` as signature.sig in `dir`, in place, truncating an older file. A symbolic
/// link there is not followed and anything but a regular file is left untouched. The error
/// is the complete message, "failed to write signature.sig: {error text}", also when only
/// closing the file failed.
[[nodiscard]] std::expected<void, std::string> write_signature_file(std::string_view dir,
                                                                    std::string_view text);

}  // namespace plugin_sign
