// public_key_text.hpp — what plugin_key and plugin_verify tell someone whose public key they
// refuse, so that the two tools describe the same thing the same way.
#pragma once

#include <string_view>

namespace plugin_sign {

/// Follows the reason when a public key or a key file is refused: "...; expected ...".
inline constexpr std::string_view kExpectedPublicKey =
    "expected a 44-character Base64 Ed25519 public key, as plugin_key generate writes to FILE.pub";

}  // namespace plugin_sign
