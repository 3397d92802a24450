#include "tools/plugin_key/commands.hpp"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <span>
#include <utility>
#include <vector>

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

// Whether `name` is a hidden temporary name that writing `base` uses: "." BASE "." and 12
// hexadecimal digits ".tmp" (BASE cut to 200 bytes).
bool is_temporary_of(std::string_view name, std::string_view base) {
  const std::string prefix = "." + std::string(base.substr(0, 200)) + ".";
  if (!name.starts_with(prefix) || !name.ends_with(".tmp")) return false;
  const std::string_view digits = name.substr(prefix.size(), name.size() - prefix.size() - 4);
  return digits.size() == 12 && std::all_of(digits.begin(), digits.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// The hidden files that an interrupted generate leaves beside SECRET_FILE and its .pub, sorted:
// killed between its two exchanges, `--force` leaves the new secret key as SECRET_FILE, the
// old public key as SECRET_FILE.pub, and the old secret key under one of these names.
std::vector<std::string> leftovers_of(std::string_view secret_file) {
  const std::size_t slash = secret_file.rfind('/');
  const std::string dir = slash == std::string_view::npos ? "."
                          : slash == 0                    ? "/"
                                       : std::string(secret_file.substr(0, slash));
  const std::string_view base =
      slash == std::string_view::npos ? secret_file : secret_file.substr(slash + 1);
  const std::string public_base = std::string(base) + ".pub";
  std::vector<std::string> found;
  const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.c_str()), ::closedir);
  if (!listing) return found;
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string_view name = entry->d_name;
    if (is_temporary_of(name, base) || is_temporary_of(name, public_base))
      found.emplace_back(slash == std::string_view::npos ? std::string(name)
                                                         : dir + "/" + std::string(name));
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::string ids_of(const std::vector<TrustedKey>& keys) {
  std::string out;
  for (const TrustedKey& trusted : keys) out += key_id(trusted.key) + "\n";
  return out;
}

}  // namespace

std::expected<std::string, std::string> generate_key(std::string_view secret_file, bool force) {
  // A forced run killed midway may have left the previous secret key under a hidden name:
  // replacing the pair now could lose track of which secret key goes with which public key.
  // (Without --force the visible files it left are refused anyway.)
  if (const std::vector<std::string> leftovers =
          force ? leftovers_of(secret_file) : std::vector<std::string>{};
      !leftovers.empty()) {
    std::string names;
    for (const std::string& name : leftovers) names += (names.empty() ? "" : ", ") + name;
    const std::string file(secret_file);
    return std::unexpected(
        "found " + names + " beside " + file + ": an earlier generate was interrupted, and " +
        file + " and " + file + ".pub may not be a pair; `plugin_key public FILE` shows the " +
        "public key of each secret key file: keep the pair you want as " + file + " and " + file +
        ".pub, delete the other files, then run generate again");
  }
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
  // Read as plugin_verify reads a key file: an ID of a key that others could have put there
  // would vouch for a key nobody trusts.
  auto bytes = read_trust_file(key_or_file, kMaxKeyFileSize);
  if (!bytes) {
    if (bytes.error().os_error == ENOENT)
      return std::unexpected(name + " is not a public key (" + key.error() +
                             ") nor an existing file; " + std::string(kExpectedPublicKey));
    if (bytes.error().kind == IoErrorKind::kWorldWritable)
      return std::unexpected(name + ": refused, " + io_error_text(bytes.error()));
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
