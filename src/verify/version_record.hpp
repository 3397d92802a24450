// version_record.hpp — the version record as verification uses it: its lines checked in place,
// the rules that refuse a rollback, and the locked read-check-update of the file.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io/file_io.hpp"
#include "plugin_sign/revocations.hpp"
#include "plugin_sign/verify.hpp"

namespace plugin_sign {

/// One entry of a record's text, as views into it; `name` and `version` still escaped.
struct RecordLine {
  std::string_view line;  ///< without its line feed
  std::string_view name;
  std::string_view key_id;
  std::string_view version;
  std::string_view manifest_sha256;
};

/// The entries of `text` (version_record.hpp's format), or "line N: ..." for the first fault.
[[nodiscard]] std::expected<std::vector<RecordLine>, std::string> parse_record_lines(
    std::string_view text);

/// The entries of one name, and where an entry for it goes when it has none from a key: the
/// offset of the first line of a later name, or the text's end.
struct NameLines {
  std::vector<RecordLine> lines;
  std::size_t insert_at = 0;
};

/// The entries of `name` in `text`, once every line is checked as parse_record_lines checks
/// it: without keeping the others, so that a large record costs one pass and no more memory.
[[nodiscard]] std::expected<NameLines, std::string> find_name_lines(std::string_view text,
                                                                    std::string_view name);

/// What a package that verified would put in the record.
struct RecordCandidate {
  std::string_view name;
  std::string_view version;
  std::string_view key_id;
  std::string_view manifest_sha256;
};

/// Refuses `candidate` (kRollback) when a recorded version of its name, from a key that
/// `revocations` (may be null) does not revoke, is higher, cannot be ordered before it, or is
/// the same version with another manifest. Versions are ordered by Semantic Versioning 2.0.0
/// precedence; a version that is not a semantic version ranks below every one that is, and two
/// such versions are ordered only when they are the same text.
[[nodiscard]] std::expected<void, VerifyError> check_record_lines(
    const std::vector<RecordLine>& lines, const RecordCandidate& candidate,
    const Revocations* revocations);

/// The record `text` with `candidate` in: a new entry for its name and key ID, or the one there
/// replaced by a higher version. `lines` are entries of `text` in order, among them every entry
/// of the candidate's name (all of them, or find_name_lines's); `insert_at` is where a line
/// goes that sorts after all of `lines` (find_name_lines's, or the text's end when empty). An
/// empty `text` is a record that does not exist yet. Empty when nothing changes.
[[nodiscard]] std::optional<std::string> record_text_with(
    std::string_view text, const std::vector<RecordLine>& lines, const RecordCandidate& candidate,
    std::optional<std::size_t> insert_at = std::nullopt);

/// The version record at a path, read and checked under an exclusive lock (flock on "PATH.lock"
/// beside it), which is held until this object is destroyed: a check and the update after it
/// see no other process's change in between. A record that does not exist yet reads as empty.
class LockedVersionRecord {
 public:
  /// Locks and reads the record at `path`, keeping the entries of the package name `name`. Every
  /// failure is kUnreadable and names the record: "version record PATH: ...".
  [[nodiscard]] static std::expected<LockedVersionRecord, VerifyError> open(std::string_view path,
                                                                            std::string_view name);

  [[nodiscard]] std::expected<void, VerifyError> check(const RecordCandidate& candidate,
                                                       const Revocations* revocations) const;

  /// Writes the record with `candidate` in, when that changes it: a temporary file flushed and
  /// renamed over the record, then the directory flushed, so that a crash leaves the old
  /// record or the new one.
  [[nodiscard]] std::expected<void, VerifyError> add(const RecordCandidate& candidate);

 private:
  LockedVersionRecord() = default;
  [[nodiscard]] std::string_view text() const;

  std::string path_;
  FileDescriptor lock_;
  ByteBuffer text_;
  NameLines lines_;
};

}  // namespace plugin_sign
