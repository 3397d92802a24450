// revocations.hpp — keys and packages that must not verify, whoever trusts them: the
// revocation files that hosts share, parsed from their text.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "plugin_sign/keys.hpp"

namespace plugin_sign {

/// A version floor: every package named `name` whose version is lower than `version` is
/// refused, whoever signed it.
struct VersionFloor {
  std::string name;
  std::string version;  ///< a Semantic Versioning 2.0.0 version
};

/// What a host refuses although a trusted key verifies it. Entries may repeat; a key that no
/// host trusts may be revoked all the same (a file is shared by hosts that trust different
/// keys).
struct Revocations {
  std::vector<PublicKey> keys;        ///< keys whose own statement revoked them
  std::vector<std::string> key_ids;   ///< 16 lowercase hexadecimal digits, as key_id gives
  std::vector<std::string> packages;  ///< manifest_sha256 values, 64 lowercase hex digits
  std::vector<VersionFloor> floors;   ///< "below" entries

  /// Adds every entry of `other`, as when a host loads several files.
  void add(const Revocations& other) {
    keys.insert(keys.end(), other.keys.begin(), other.keys.end());
    key_ids.insert(key_ids.end(), other.key_ids.begin(), other.key_ids.end());
    packages.insert(packages.end(), other.packages.begin(), other.packages.end());
    floors.insert(floors.end(), other.floors.begin(), other.floors.end());
  }
};

/// The entries of a revocation file, one a line:
///   "key PUBLICKEY SIGNATURE"  a statement as `plugin_key revoke` prints it, checked here;
///   "key-id KEYID"             a key revoked without its statement (its secret may be lost);
///   "package MANIFEST_SHA256"  one package, whoever signed it;
///   "below NAME VERSION"       every package named NAME with a version lower than VERSION
///                              by Semantic Versioning 2.0.0 precedence (and every one whose
///                              version is not a semantic version); NAME written as the
///                              version record writes it: a space as "%20", "%" as "%25",
///                              bytes outside printable ASCII as "%HH", an empty name as "-";
/// "#" comment lines and blank lines; words separated by spaces or tabs; a line may not begin
/// or end with white space; lines end in LF or CRLF. Hexadecimal digits are lowercase, as
/// `plugin_key id` and `plugin_verify --json` print them. A file without entries is valid.
/// Any fault, a statement whose signature does not verify among them, refuses the whole file;
/// the error names the line: "line 3: ...".
[[nodiscard]] std::expected<Revocations, std::string> parse_revocations(std::string_view text);

}  // namespace plugin_sign
