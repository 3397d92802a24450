// version_record.hpp — the version record: a host's memory of the highest version it accepted
// of each package name from each key, so that an older signed release offered again is
// refused as a rollback.
//
// The file is text. Its first line is "plugin_sign version record 1"; each line after it is
// one entry, four fields separated by one space and ended by a line feed:
//   NAME KEYID VERSION MANIFEST_SHA256
// NAME and VERSION escaped so that each is one word (a space as "%20", "%" as "%25", bytes
// outside printable ASCII as "%HH" in uppercase hexadecimal, the empty text as "-", the text
// "-" as "%2D"), KEYID 16 and MANIFEST_SHA256 64 lowercase hexadecimal digits. At most one
// entry per name and key ID, sorted by the escaped NAME and then KEYID byte by byte. Nothing
// else is accepted: a record that does not read exactly so
// is damaged, and a host refuses to verify with it rather than start from nothing.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plugin_sign {

/// The largest version record read; a larger one is refused unread.
inline constexpr std::uint64_t kMaxVersionRecordSize = std::uint64_t{16} << 20;

/// The first line of every version record, without its line feed.
inline constexpr std::string_view kVersionRecordHeader = "plugin_sign version record 1";

/// One entry: the highest version of `name` accepted with the key `key_id`.
struct RecordedVersion {
  std::string name;
  std::string key_id;
  std::string version;
  std::string manifest_sha256;
};

/// The entries of a version record's text in file order, or why it is damaged: "line 3: ...".
[[nodiscard]] std::expected<std::vector<RecordedVersion>, std::string> parse_version_record(
    std::string_view text);

/// The text of a record holding `entries`, which must differ by name or key ID: sorted as the
/// file keeps them, so that parse_version_record reads them back.
[[nodiscard]] std::string format_version_record(std::span<const RecordedVersion> entries);

}  // namespace plugin_sign
