// trust_files.hpp — key files and revocation files loaded by path, as plugin_verify loads
// them: read whole within a size bound, refused when someone else could change them, parsed.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "plugin_sign/keys.hpp"
#include "plugin_sign/revocations.hpp"

namespace plugin_sign {

/// The largest key file and revocation file loaded; a larger one is refused unread.
inline constexpr std::uint64_t kMaxKeyFileSize = std::uint64_t{1} << 20;
inline constexpr std::uint64_t kMaxRevocationFileSize = std::uint64_t{4} << 20;

/// Why a key or revocation file was not loaded. `message` names the file: "PATH: refused,
/// every user can write to it (chmod o-w PATH)" or another reason someone else could change
/// it, "PATH: failed to read: ...", or "PATH: line 3: ..." for its text.
///
/// A file is refused (kWorldWritable) unless it and every directory above it, up to "/", are
/// safe from other users, as OpenSSH's StrictModes checks them: each owned by the user or
/// root, and writable neither by others nor by a group other than the user's own private
/// group (their primary group with no other member); a directory with the sticky bit (as
/// /tmp) passes whoever may write to it. The reason names the offending path and the fix:
/// "every user can write to directory DIR (chmod go-w DIR)", "group 100 can write to it
/// (chmod go-w PATH)", "directory DIR is owned by user 1000, neither you nor root (chown 0
/// DIR)".
struct TrustFileError {
  enum class Kind {
    kUnreadable,     ///< missing, not a regular file, or a read failed
    kWorldWritable,  ///< someone other than the user or root could change or replace it
    kTooLarge,       ///< larger than its bound
    kOutOfMemory,
    kInvalid,  ///< read, but its text was refused
  };
  Kind kind = Kind::kUnreadable;
  std::string message;
};

/// The keys of the key file at `path` (parse_trusted_keys), at most kMaxKeyFileSize bytes.
[[nodiscard]] std::expected<std::vector<TrustedKey>, TrustFileError> load_key_file(
    std::string_view path);

/// The entries of the revocation file at `path` (parse_revocations), at most
/// kMaxRevocationFileSize bytes.
[[nodiscard]] std::expected<Revocations, TrustFileError> load_revocation_file(
    std::string_view path);

}  // namespace plugin_sign
