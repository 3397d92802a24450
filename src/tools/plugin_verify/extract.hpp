// extract.hpp — writes a verified package's three files into a directory, all or none.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "plugin_sign/verify.hpp"

namespace plugin_sign {

/// Writes the verified bytes of plugin.toml, main.wasm and signature.sig into `dir` under
/// these names, creating `dir` (0755 less the umask) when it does not exist. A `dir` that
/// exists must be a directory (not a symbolic link to one), owned by the effective user and
/// writable by neither group nor others; otherwise nothing is written. An existing file
/// or link of one of the names is an error; on any failure none of the three is left, nor a
/// directory this call created. The error is the whole message, e.g. "failed to extract
/// out/main.wasm: File exists (os error 17)".
[[nodiscard]] std::expected<void, std::string> extract_package(std::string_view dir,
                                                               const VerifiedPackage& package);

}  // namespace plugin_sign
