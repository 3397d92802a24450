// commands.hpp — the commands of plugin_key, each one run that yields its output text.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace plugin_sign {

/// Makes a new key: the secret in `secret_file` (mode 0600), the public key in
/// `secret_file`.pub; existing files are replaced only with `force`. The output is
/// "public-key: BASE64\nkey-id: HEX\n". The error is the message without the tool's name.
[[nodiscard]] std::expected<std::string, std::string> generate_key(std::string_view secret_file,
                                                                   bool force);

/// The public key of the secret key in `secret_file` ("-": standard input), or without a file
/// of KAVENTA_PLUGIN_SIGNING_KEY: Base64 and a line feed, or the PEM block with `pem`.
[[nodiscard]] std::expected<std::string, std::string> show_public_key(
    std::optional<std::string_view> secret_file, bool pem);

/// The revocation statement of the secret key, taken as show_public_key takes it: one line
/// "key PUBLICKEY SIGNATURE".
[[nodiscard]] std::expected<std::string, std::string> revoke_key(
    std::optional<std::string_view> secret_file);

/// The key ID of `key_or_file`: a Base64 public key, or else a key file, one line for each
/// key it holds.
[[nodiscard]] std::expected<std::string, std::string> show_key_id(std::string_view key_or_file);

}  // namespace plugin_sign
