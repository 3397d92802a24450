#include "tools/plugin_key/commands.hpp"

#include <cerrno>
#include <cstdio>
#include <span>
#include <utility>

#include "io/file_io.hpp"
#include "io/new_file.hpp"
#include "io/secret_file.hpp"
#include "io/utf8.hpp"
#include "plugin_sign/keys.hpp"
#include "signing/revocation.hpp"
#include "signing/signing_key.hpp"
#include "tools/common/public_key_text.hpp"

namespace plugin_sign {
namespace {

// A key file is a few lines; anything much larger is not one.
constexpr std::uint64_t kMaxKeyFileSize = std::uint64_t{1} << 20;

std::string display_name(std::string_view path) {
  return path == "-" ? "standard input" : std::string(path);
}

std::string octal_mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string public_key_text(const PublicKey& key, bool pem) {
  return pem ? public_key_pem(key) : public_key_base64(key) + "\n";
}

// The key in a secret key file, decoded by the signer's rules. The file's text is the value
// KAVENTA_PLUGIN_SIGNING_KEY would take, but the message names the file, which is what was
// read: the signer's words, with the file's name for the variable's.
std::expected<SigningKey, std::string> read_signing_key(std::string_view path) {
  const std::string name = display_name(path);
  SecretBuffer text;
  auto mode = read_secret_file(path, text);
  if (!mode) return std::unexpected("failed to read " + name + ": " + io_error_text(mode.error()));
  // A secret others can read is no longer secret, and one others can change is no longer
  // ours: say so before using it. Standard input is whatever the caller piped in.
  if (path != "-" && (*mode & 077) != 0)
    return std::unexpected(name + " may be read or changed by group or others (mode " +
                           octal_mode(*mode) +
                           "): a secret key file must be private; run chmod 600 " + name);
  if (text.text().find('\0') != std::string_view::npos)
    return std::unexpected(name + ": contains a NUL byte, not a secret key file");
  if (!is_valid_utf8(text.text())) return std::unexpected(name + ": not valid UTF-8");
  auto key = signing_key_from_text(text.text());
  if (key) return std::move(*key);
  if (key.error().kind == KeyTextError::Kind::kNotBase64)
    return std::unexpected(name + ": not valid base64: " + to_text(key.error().base64));
  return std::unexpected(name + ": must decode to exactly 32 bytes");
}

std::string ids_of(const std::vector<TrustedKey>& keys) {
  std::string out;
  for (const TrustedKey& trusted : keys) out += key_id(trusted.key) + "\n";
  return out;
}

}  // namespace

std::expected<std::string, std::string> generate_key(std::string_view secret_file, bool force) {
  const SigningKey key = generate_signing_key();
  SecretBuffer secret_text;
  write_secret_key_text(key, secret_text);
  const PublicKey public_key = public_key_of(key);
  // The comment line makes the file useless as KAVENTA_PLUGIN_SIGNING_KEY ("$(cat k.pub)"
  // fails to decode), where a bare key would sign with a "secret" anyone can compute; key
  // files allow comments, so the verifier reads the file as it is.
  const std::string public_text = "# plugin_sign public key, key ID " + key_id(public_key) + "\n" +
                                  public_key_base64(public_key) + "\n";
  const NewFile files[] = {
      {std::string(secret_file), std::as_bytes(std::span(secret_text.text())), 0600},
      {std::string(secret_file) + ".pub", std::as_bytes(std::span(public_text)), 0644},
  };
  auto written = write_new_files(files, force ? ExistingFile::kReplace : ExistingFile::kRefuse);
  if (!written) {
    const NewFileError& error = written.error();
    if (!force && error.error.os_error == EEXIST)
      return std::unexpected(error.path + " already exists; --force replaces it");
    std::string message = "failed to write " + error.path + ": " + io_error_text(error.error);
    // Only when putting an old key back failed too: say where it is rather than lose it.
    for (const DisplacedFile& kept : error.displaced)
      message +=
          "; the previous " + kept.path + " could not be put back and is kept as " + kept.kept_as;
    return std::unexpected(message);
  }
  return "public-key: " + public_key_base64(public_key) + "\nkey-id: " + key_id(public_key) + "\n";
}

std::expected<std::string, std::string> show_public_key(std::optional<std::string_view> secret_file,
                                                        bool pem) {
  auto key = secret_file ? read_signing_key(*secret_file) : signing_key_from_environment();
  if (!key) return std::unexpected(key.error());
  return public_key_text(public_key_of(*key), pem);
}

std::expected<std::string, std::string> revoke_key(std::optional<std::string_view> secret_file) {
  auto key = secret_file ? read_signing_key(*secret_file) : signing_key_from_environment();
  if (!key) return std::unexpected(key.error());
  return revocation_statement(*key);
}

// A text that is a valid key is a key, whatever files exist: "./NAME" names a file of that
// name. Everything else is a file, and a missing file, which may have been meant as a key,
// gets both reasons.
std::expected<std::string, std::string> show_key_id(std::string_view key_or_file) {
  auto key = parse_public_key(key_or_file);
  if (key) return key_id(*key) + "\n";
  const std::string name(key_or_file);
  auto bytes = read_plugin_file("", key_or_file, kMaxKeyFileSize);
  if (!bytes) {
    if (bytes.error().os_error == ENOENT)
      return std::unexpected(name + " is not a public key (" + key.error() +
                             ") nor an existing file; " + std::string(kExpectedPublicKey));
    return std::unexpected("failed to read " + name + ": " + io_error_text(bytes.error()));
  }
  const auto content = bytes->bytes();
  auto keys = parse_trusted_keys(
      std::string_view(reinterpret_cast<const char*>(content.data()), content.size()));
  if (!keys)
    return std::unexpected(name + ": " + keys.error() + "; " + std::string(kExpectedPublicKey));
  return ids_of(*keys);
}

}  // namespace plugin_sign
